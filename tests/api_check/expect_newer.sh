#!/usr/bin/env bash
# The API check must fail on calls newer than the boards have, naming each
# with its version and file:line.
#   expect_newer.sh CHECK REFS FIXTURE
set -u
out=$(python3 "$1" --refs "$2" "$3")
status=$?
printf '%s\n' "$out"
[ "$status" -eq 1 ] || { echo "expected exit status 1, got $status"; exit 1; }
for line in "newer_calls.cpp:6: gst_buffer_new_memdup is new in 1.20" \
            "newer_calls.cpp:7: g_strv_builder_new is new in 2.68" \
            "newer_calls.cpp:9: gst_clear_buffer is not in GStreamer 1.14 or GLib 2.56"; do
  grep -qF "$line" <<< "$out" || { echo "missing: $line"; exit 1; }
done
