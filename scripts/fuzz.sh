#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and
# runs each for a bounded time on its seed corpus, then on every stored
# regression case. A crash, a leak or a round-trip difference fails.
#
#   scripts/fuzz.sh [SECONDS-PER-TARGET] [TARGET...]
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_demux fuzz_demux_sei fuzz_deserialize fuzz_roundtrip fuzz_differential)

build=_build/fuzz
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ meson setup "$build" -Dfuzzing=true -Dtests=disabled \
    -Db_sanitize=address,undefined -Db_lundef=false || exit 1
fi
ninja -C "$build" || exit 1

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1
status=0
for target in "${targets[@]}"; do
  binary="$build/tests/fuzz/$target"
  work=$(mktemp -d "/tmp/zarn-$target-XXXXXX")
  cp tests/fuzz/corpus/"$target"/* "$work"/ 2>/dev/null || true
  dict=()
  case $target in fuzz_demux|fuzz_demux_sei|fuzz_differential) dict=(-dict=tests/fuzz/demux.dict) ;; esac
  echo "== $target: ${seconds}s"
  if ! "$binary" "${dict[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/" "$work" > "$work.log" 2>&1; then
    echo "$target FAILED; log $work.log, crash input in $work/"
    tail -30 "$work.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|DONE' "$work.log" | tail -2
  fi
  regressions=(tests/fuzz/regressions/"$target"/*)
  regressions=("${regressions[@]/*\/.keep/}")
  for case in "${regressions[@]}"; do
    [ -f "$case" ] || continue
    "$binary" "$case" > /dev/null 2>&1 || { echo "regression $case FAILED"; status=1; }
  done
done
exit "$status"
