#!/usr/bin/env bash
# Installs, through apt-get, whatever the build, the tests and the demo need
# and this machine lacks, or the packages given. Debian 12, run as root.
# Usage: deps.sh [PACKAGE...]
set -euo pipefail

packages=("$@")
((${#packages[@]})) || packages=(
  g++ g++-11 meson ninja-build pkg-config git
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad
  gstreamer1.0-plugins-ugly gstreamer1.0-libav
  nlohmann-json3-dev libsimdjson-dev libgtest-dev libcairo2-dev
  clang libclang-rt-14-dev
  iproute2 python3 python3-jsonschema nodejs node-ajv valgrind libgirepository1.0-dev
  ffmpeg python3-gi gir1.2-gst-rtsp-server-1.0
)

# A name without an architecture is the machine's own (or an "all"
# package): the arm64 packages of the cross build do not count for it.
native=$(dpkg --print-architecture)
installed() {
  local pattern="^install ok installed ($native|all)\$"
  [[ $1 == *:* ]] && pattern="^install ok installed "
  dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null | grep -Eq "$pattern"
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
