#!/usr/bin/env bash
# Builds with warnings as errors and runs every test twice: a normal build
# and an AddressSanitizer + UndefinedBehaviorSanitizer build; the plug-ins
# and unit tests once more with g++-11; a build against the stand-in laid
# out as the SDK installs itself; an arm64 cross build with its tests under
# qemu; then each fuzz target for FUZZ_SECONDS (60) and every stored
# regression case.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh || exit 1

passed=0
failed=0
status=0

# run_build DIR [SETUP_OPTIONS...]; MESON (the meson command), TEST_RUN (a
# command the tests run under) and TEST_ARGS (more options of meson test)
# may be set for one call.
run_build() {
  local dir=$1
  shift
  local meson_cmd=(${MESON:-meson})
  if [ ! -f "$dir/build.ninja" ]; then
    "${meson_cmd[@]}" setup "$dir" -Dwerror=true "$@" || return 1
  fi
  ninja -C "$dir" || return 1
  local log="$dir/meson-test.out"
  # shellcheck disable=SC2086
  ${TEST_RUN:-} "${meson_cmd[@]}" test -C "$dir" --print-errorlogs ${TEST_ARGS:-} 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local ok fail
  ok=$(awk '/^Ok:/ {print $2}' "$log")
  fail=$(awk '/^(Fail|Timeout|Unexpected Pass):/ {s += $NF} END {print s + 0}' "$log")
  passed=$((passed + ${ok:-0}))
  failed=$((failed + ${fail:-0}))
  return "$rc"
}

# Each part's wall-clock time, for the summary.
times=()
section_start=$SECONDS
section_name=
section() {
  [ -n "$section_name" ] && times+=("$section_name $((SECONDS - section_start)) s")
  section_name=$1
  section_start=$SECONDS
  [ -n "$1" ] && echo "== $1"
  true
}

section "normal build"
run_build _build/test || status=1

section "sanitizer build (address, undefined)"
# b_lundef=false: sanitized shared modules leave the runtime's symbols to
# the executable.
run_build _build/test-asan -Db_sanitize=address,undefined -Db_lundef=false || status=1

section "oldest compiler Debian 12 has (g++-11), plug-ins and unit tests"
# The boards have GCC 7: this keeps the code within an older compiler's
# C++17 than the default one, short of GCC 7 itself.
CXX=g++-11 run_build _build/test-gcc11 -Ddemo=disabled || status=1

section "against an SDK laid out as the SDK installs it"
# The stand-in's headers and libraries where the SDK has them and under its
# library names, built through the real-SDK branch of the build with no
# undefined symbols; every test that needs none of the stand-in's own
# elements runs, with the libraries where the loader finds them, as
# ldconfig has the SDK's on a board.
sdk_root=$PWD/_build/sdk-root
if bash scripts/sdk-layout.sh "$sdk_root"; then
  LD_LIBRARY_PATH="$sdk_root/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    run_build _build/test-sdk -Ddeepstream_path="$sdk_root" -Dcpp_link_args=-Wl,--no-undefined \
    --prefix="$PWD/_build/sdk-install" || status=1
  if LD_LIBRARY_PATH="$sdk_root/lib" bash tests/sdk/check_sdk_build.sh _build/test-sdk; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    status=1
  fi
else
  echo "sdk: the SDK layout could not be made"
  status=1
fi

section "arm64, the boards' architecture: cross-built, tests under qemu"
# As the boards build: meson 0.56.2, the oldest the build supports, and
# simdjson from its wrap, whose tarball comes through apt. The tests that
# start GStreamer's programs run where arm64 programs can start directly;
# those across network namespaces (with valgrind), those of the H.264 codecs
# and the documentation's live examples stay with the native build.
arm64_tools=$PWD/_build/arm64-tools
arm64_meson=$PWD/_build/meson-0.56.2
arm64_dev=$PWD/_build/arm64-dev
if bash scripts/deps-arm64.sh "$arm64_tools" "$arm64_meson" "$arm64_dev" &&
    bash scripts/wrap-sources.sh; then
  arm64_args="--timeout-multiplier 4 --no-suite hosts --no-suite h264 --no-suite examples"
  arm64_run="bash scripts/with-binfmt.sh"
  if ! bash scripts/with-binfmt.sh true; then
    echo "arm64: only the tests that need no program started from the PATH"
    arm64_args="--timeout-multiplier 4 --no-suite processes"
    arm64_run=
  fi
  arm64_meson_cmd="python3 $arm64_meson/usr/bin/meson"
  if [ ! -f "$arm64_meson/usr/bin/meson" ]; then
    echo "arm64: WARNING: built with the system's meson, not the oldest the build supports"
    arm64_meson_cmd=meson
  fi
  PATH="$arm64_tools/usr/bin:$PATH" PYTHONPATH="$arm64_meson/usr/lib/python3/dist-packages" \
    MESON="$arm64_meson_cmd" TEST_RUN="$arm64_run" TEST_ARGS="$arm64_args" \
    run_build _build/test-arm64 --cross-file scripts/cross/aarch64-linux-gnu.txt \
    -Dpkg_config_path="$arm64_dev/pkgconfig" || status=1
else
  echo "arm64: the cross build's packages could not be installed"
  status=1
fi

section "fuzz targets, briefly, and the stored regression cases"
if bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi

section ""
printf 'time: %s\n' "${times[@]}"

if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then
  failed=1
fi
echo "tests: $passed passed, $failed failed"
exit "$status"
