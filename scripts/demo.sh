#!/usr/bin/env bash
# The demo: builds the plug-ins, then runs a sender and a receiver as two
# gst-launch-1.0 processes joined only by a TCP byte stream on loopback
# (gdppay framing), and prints what came back. Options go to
# demo/run_demo.sh: --frames N, --objects K, --width W, --height H,
# --stage tcp|udp|rtp|ts|srt|shm|file, --out DIR, --relay, --hosts 2|3,
# --fault KIND, --memcheck (see demo/run_demo.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
[ -f _build/demo/build.ninja ] || meson setup _build/demo -Dtests=disabled
ninja -C _build/demo
exec bash demo/run_demo.sh --build _build/demo "$@"
