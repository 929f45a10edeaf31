#!/usr/bin/env bash
# For a build made with -Ddeepstream_path: the build declares the GStreamer
# libraries the SDK's headers include, and an element built on the
# installed records library through zarnmeta.pc alone compiles, links and
# runs. BUILD_DIR's prefix must be writable; the SDK's libraries must be on
# the loader's path.
# Usage: check_sdk_build.sh BUILD_DIR
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)

deps=$(meson introspect --dependencies "$build" |
  python3 -c 'import json, sys; print(" ".join(d["name"] for d in json.load(sys.stdin)))')
for wanted in gstreamer-video-1.0 gstreamer-base-1.0; do
  if [[ " $deps " != *" $wanted "* ]]; then
    echo "check-sdk-build: the build does not declare $wanted (it declares: $deps)" >&2
    exit 1
  fi
done

meson install -C "$build" >/dev/null
prefix=$(meson introspect --buildoptions "$build" |
  python3 -c 'import json, sys; print(next(o["value"] for o in json.load(sys.stdin) if o["name"] == "prefix"))')
pc_dir=$(dirname "$(find "$prefix" -name zarnmeta.pc | head -n 1)")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# shellcheck disable=SC2046
${CC:-cc} -std=c99 -Wall -Wextra -Werror -o "$out/consumer" "$here/zarnmeta_consumer.c" \
  $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs zarnmeta) -lstdc++
"$out/consumer"
echo "check-sdk-build: gstreamer-video-1.0 and gstreamer-base-1.0 declared; an element built through zarnmeta.pc runs"
