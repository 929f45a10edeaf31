#!/usr/bin/env bash
# Builds with warnings as errors and runs every test twice: a normal build
# and an AddressSanitizer + UndefinedBehaviorSanitizer build; the plug-ins
# and unit tests once more with g++-11; then each fuzz target for
# FUZZ_SECONDS (60) and every stored regression case.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh || exit 1

passed=0
failed=0
status=0

run_build() {
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    meson setup "$dir" -Dwerror=true "$@" || return 1
  fi
  ninja -C "$dir" || return 1
  local log="$dir/meson-test.out"
  meson test -C "$dir" --print-errorlogs 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local ok fail
  ok=$(awk '/^Ok:/ {print $2}' "$log")
  fail=$(awk '/^(Fail|Timeout|Unexpected Pass):/ {s += $NF} END {print s + 0}' "$log")
  passed=$((passed + ${ok:-0}))
  failed=$((failed + ${fail:-0}))
  return "$rc"
}

echo "== normal build"
run_build _build/test || status=1

echo "== sanitizer build (address, undefined)"
# b_lundef=false: sanitized shared modules leave the runtime's symbols to
# the executable.
run_build _build/test-asan -Db_sanitize=address,undefined -Db_lundef=false || status=1

echo "== oldest compiler Debian 12 has (g++-11), plug-ins and unit tests"
# The boards have GCC 7: this keeps the code within an older compiler's
# C++17 than the default one, short of GCC 7 itself.
CXX=g++-11 run_build _build/test-gcc11 -Ddemo=disabled || status=1

echo "== fuzz targets, briefly, and the stored regression cases"
if bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi

if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
  failed=1
fi
echo "tests: $passed passed, $failed failed"
exit "$status"
