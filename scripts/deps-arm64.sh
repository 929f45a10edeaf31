#!/usr/bin/env bash
# Installs, through apt-get, what the arm64 cross build and its tests under
# qemu need, beside the native packages (Debian 12, run as root):
# - the cross compiler, qemu's user-mode emulator and the arm64 libraries
#   and GStreamer plug-ins (multiarch);
# - GStreamer's command-line tools for arm64 in TOOLS_DIR: their package
#   cannot be installed beside the native one, so it is only unpacked;
# - meson 0.56.2, the oldest the build supports (the boards install it with
#   Python 3.6's pip), from Debian 11's package, in MESON_DIR.
# simdjson is left out on purpose: its arm64 -dev package would replace the
# native one, so the cross build takes it from its meson wrap, as a board
# without the package does.
# Usage: deps-arm64.sh TOOLS_DIR MESON_DIR
set -euo pipefail

tools_dir=$1
meson_dir=$2

packages=(
  crossbuild-essential-arm64 qemu-user-static
  libgstreamer1.0-dev:arm64 libgtest-dev:arm64 libcairo2-dev:arm64
  gstreamer1.0-plugins-base:arm64 gstreamer1.0-plugins-good:arm64
  gstreamer1.0-plugins-bad:arm64
)

dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
bash "$(dirname "$0")/deps.sh" "${packages[@]}"

# apt-get download writes into the current directory; root's own, since
# the unprivileged _apt user may not write into the build tree.
download() {
  local dir
  dir=$(mktemp -d)
  if ! (cd "$dir" && apt-get -q -o APT::Sandbox::User=root "${@:2}" download "$1" >/dev/null); then
    rm -rf "$dir"
    return 1
  fi
  echo "$dir"
}

if [ ! -x "$tools_dir/usr/bin/gst-launch-1.0" ]; then
  dir=$(download gstreamer1.0-tools:arm64)
  rm -rf "$tools_dir" && mkdir -p "$tools_dir"
  dpkg -x "$dir"/gstreamer1.0-tools_*_arm64.deb "$tools_dir"
  rm -rf "$dir"
fi

# fetch_meson URI: meson 0.56.2 from Debian 11 at URI, with Debian 11's
# lists in a directory of their own: the system's sources and package
# cache stay as they are.
fetch_meson() {
  local apt_dir dir=""
  apt_dir=$(mktemp -d)
  mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  printf 'Types: deb\nURIs: %s\nSuites: bullseye\nComponents: main\nSigned-By: %s\n' \
    "$1" /usr/share/keyrings/debian-archive-keyring.gpg > "$apt_dir/parts/bullseye.sources"
  local apt_opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
                  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  if apt-get -qq -o APT::Sandbox::User=root "${apt_opts[@]}" update &&
      dir=$(download meson=0.56.2-1 "${apt_opts[@]}"); then
    rm -rf "$meson_dir" && mkdir -p "$meson_dir" &&
      dpkg -x "$dir"/meson_0.56.2-1_all.deb "$meson_dir"
  fi
  rm -rf "$apt_dir" ${dir:+"$dir"}
  [ -f "$meson_dir/usr/bin/meson" ]
}

if [ ! -f "$meson_dir/usr/bin/meson" ]; then
  # Debian 11 moves to archive.debian.org when its support ends.
  fetch_meson http://deb.debian.org/debian || fetch_meson http://archive.debian.org/debian ||
    echo "deps-arm64: meson 0.56.2 is not to be had from Debian 11's archive" >&2
fi
