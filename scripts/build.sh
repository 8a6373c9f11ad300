#!/usr/bin/env bash
# Configures and builds one preset (default, asan or tsan), saying what it
# does before each step; the compiler's progress is ninja's own. Everything
# goes to standard error, so a caller's standard output stays its own.
#   scripts/build.sh [PRESET]         everything, the tests and benchmarks too
#   scripts/build.sh --run [PRESET]   only the programs tarnctl and tarnctl-sim
#                                     and what installing them needs: no test
#                                     tooling needed
set -euo pipefail
cd "$(dirname "$0")/.."
run_only=false
if [ "${1:-}" = "--run" ]; then
  run_only=true
  shift
fi
preset=${1:-default}
extra=()
[ "${CI:-}" = "true" ] && extra+=(-DTARNCTL_WERROR=ON)
targets=()
if $run_only; then
  extra+=(-DTARNCTL_BUILD_TESTS=OFF -DTARNCTL_BUILD_BENCH=OFF)
  # With the compressed man pages and package documents, so that an install
  # or the packages can be made from this tree too.
  targets=(--target tarnctl tarnctl-sim manpages package_docs)
  what="tarnctl and tarnctl-sim"
else
  extra+=(-DTARNCTL_BUILD_TESTS=ON)
  what="everything, with the tests"
fi
{
  echo "== build: configuring the $preset preset in build/$preset"
  # Only CMake's warnings and errors: its status lines say nothing new.
  cmake --preset "$preset" --log-level=NOTICE "${extra[@]}" >/dev/null
  echo "== build: compiling $what on $(nproc) cores (the first time takes minutes)"
  cmake --build --preset "$preset" -j "$(nproc)" "${targets[@]}"
} >&2
