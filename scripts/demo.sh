#!/usr/bin/env bash
# Builds the project and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
[ -f _build/demo/build.ninja ] || meson setup _build/demo -Dtests=false
ninja -C _build/demo
./_build/demo/demo/zarn-records-demo
