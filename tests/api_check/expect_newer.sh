#!/usr/bin/env bash
# The API check must fail on calls newer than the boards have, naming each
# with its version and file:line.
#   expect_newer.sh CHECK REFS FIXTURE
set -u
out=$(python3 "$1" --refs "$2" "$3")
status=$?
printf '%s\n' "$out"
[ "$status" -eq 1 ] || { echo "expected exit status 1, got $status"; exit 1; }
# The versions come from the introspection data; without it (a board) the
# calls are still reported, as missing from the reference lists.
newer_memdup="is new in 1.20"
newer_builder="is new in 2.68"
if [ ! -f /usr/share/gir-1.0/Gst-1.0.gir ] || [ ! -f /usr/share/gir-1.0/GLib-2.0.gir ]; then
  echo "no introspection data in /usr/share/gir-1.0: versions are not named"
  newer_memdup="is not in GStreamer 1.14 or GLib 2.56"
  newer_builder=$newer_memdup
fi
for line in "newer_calls.cpp:6: gst_buffer_new_memdup $newer_memdup" \
            "newer_calls.cpp:7: g_strv_builder_new $newer_builder" \
            "newer_calls.cpp:9: gst_clear_buffer is not in GStreamer 1.14 or GLib 2.56"; do
  grep -qF "$line" <<< "$out" || { echo "missing: $line"; exit 1; }
done
