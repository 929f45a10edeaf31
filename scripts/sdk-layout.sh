#!/usr/bin/env bash
# Lays the SDK stand-in out as the DeepStream SDK installs itself, for a
# build with -Ddeepstream_path=ROOT: the SDK's headers in
# ROOT/sources/includes/, and its two metadata libraries under the SDK's
# names in ROOT/lib/: libnvds_meta.so (batches, pools, lists) and
# libnvdsgst_meta.so (the GStreamer meta), which links the first.
# CXX (c++) builds them, with warnings as errors and no undefined symbols.
# Usage: sdk-layout.sh ROOT
set -euo pipefail
standin=$(cd "$(dirname "$0")/../sdk-standin" && pwd)
root=$1

rm -rf "$root"
mkdir -p "$root/sources/includes" "$root/lib"
# The stand-in's own helpers are no part of the SDK.
for header in "$standin"/include/*.h; do
  [ "$(basename "$header")" = nvds_standin.h ] || cp "$header" "$root/sources/includes/"
done

flags=(-std=c++17 -O2 -g -fPIC -shared -Wall -Wextra -Werror
       -DGLIB_VERSION_MIN_REQUIRED=GLIB_VERSION_2_56 -DGLIB_VERSION_MAX_ALLOWED=GLIB_VERSION_2_56
       -I"$standin/include" -Wl,--no-undefined)
# shellcheck disable=SC2046
${CXX:-c++} "${flags[@]}" -Wl,-soname,libnvds_meta.so -o "$root/lib/libnvds_meta.so" \
  "$standin/nvdsmeta_standin.cpp" $(pkg-config --cflags --libs glib-2.0 gmodule-2.0)
# shellcheck disable=SC2046
${CXX:-c++} "${flags[@]}" -Wl,-soname,libnvdsgst_meta.so -o "$root/lib/libnvdsgst_meta.so" \
  "$standin/gstnvdsmeta_standin.cpp" \
  $(pkg-config --cflags --libs gstreamer-1.0 gstreamer-video-1.0 gstreamer-base-1.0) \
  -L"$root/lib" -lnvds_meta
