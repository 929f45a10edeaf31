#!/usr/bin/env bash
# Installs, through apt-get, what the arm64 cross build and its tests under
# qemu need, beside the native packages (Debian 12, run as root):
# - the cross compiler, qemu's user-mode emulator and the arm64 libraries
#   and GStreamer plug-ins (multiarch);
# - what cannot be installed beside the native packages, since those are
#   not Multi-Arch: same, only unpacked: GStreamer's command-line tools for
#   arm64 in TOOLS_DIR, and gstreamer-plugins-base's development files in
#   DEV_DIR, whose pkg-config files (DEV_DIR/pkgconfig, for meson's
#   pkg_config_path) point at the arm64 libraries that the plug-in packages
#   install and at the native package's headers, which are the same (of
#   its dependencies, orc's pkg-config file is the one they need);
# - meson 0.56.2, the oldest the build supports (the boards install it with
#   Python 3.6's pip), from Debian 11's package, in MESON_DIR, and git,
#   which meson 0.56 needs to use a wrap.
# simdjson is left out on purpose: its arm64 -dev package would replace the
# native one, so the cross build takes it from its meson wrap, as a board
# without the package does.
# Usage: deps-arm64.sh TOOLS_DIR MESON_DIR DEV_DIR
set -euo pipefail

tools_dir=$1
meson_dir=$2
dev_dir=$3

packages=(
  git crossbuild-essential-arm64 qemu-user-static
  libgstreamer1.0-dev:arm64 liborc-0.4-dev:arm64 libgtest-dev:arm64 libcairo2-dev:arm64
  gstreamer1.0-plugins-base:arm64 gstreamer1.0-plugins-good:arm64
  gstreamer1.0-plugins-bad:arm64
)

dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
bash "$(dirname "$0")/deps.sh" "${packages[@]}"

source "$(dirname "$0")/apt-private.sh"

# unpack PACKAGE DIR: the package's files under DIR, not installed.
unpack() {
  local dir
  dir=$(mktemp -d)
  # apt-get download writes into the current directory, as root: the
  # unprivileged _apt user may not write into the build tree.
  (cd "$dir" && apt-get -q -o APT::Sandbox::User=root download "$1" >/dev/null)
  rm -rf "$2" && mkdir -p "$2"
  dpkg -x "$dir"/*.deb "$2"
  rm -rf "$dir"
}

[ -x "$tools_dir/usr/bin/gst-launch-1.0" ] || unpack gstreamer1.0-tools:arm64 "$tools_dir"

if [ ! -f "$dev_dir/pkgconfig/gstreamer-video-1.0.pc" ]; then
  unpack libgstreamer-plugins-base1.0-dev:arm64 "$dev_dir/package"
  mkdir -p "$dev_dir/pkgconfig" "$dev_dir/lib"
  arm64_lib=/usr/lib/aarch64-linux-gnu
  for link in "$dev_dir/package$arm64_lib"/*.so; do
    ln -sfn "$arm64_lib/$(readlink "$link")" "$dev_dir/lib/$(basename "$link")"
  done
  for pc in "$dev_dir/package$arm64_lib"/pkgconfig/*.pc; do
    sed "s|^libdir=.*|libdir=$dev_dir/lib|" "$pc" > "$dev_dir/pkgconfig/$(basename "$pc")"
  done
  rm -rf "$dev_dir/package"
fi

# meson 0.56.2 from Debian 11 on the archive this machine's apt is
# configured with.
if [ ! -f "$meson_dir/usr/bin/meson" ]; then
  apt_dir=$(mktemp -d)
  mkdir "$apt_dir/download"
  if apt_private_init "$apt_dir" deb bullseye &&
      (cd "$apt_dir/download" && apt_private "$apt_dir" -q download meson=0.56.2-1 >/dev/null); then
    rm -rf "$meson_dir" && mkdir -p "$meson_dir"
    dpkg -x "$apt_dir"/download/meson_0.56.2-1_all.deb "$meson_dir"
  else
    echo "deps-arm64: meson 0.56.2 is not to be had from Debian 11 on the configured archive" >&2
  fi
  rm -rf "$apt_dir"
fi
