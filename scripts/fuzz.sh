#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build/fuzz and runs
# each for SECONDS (default 10) on its seed corpus. New inputs go to
# build/fuzz/corpus/<name>/ (the seeds in fuzz/corpus/ stay as they are),
# crashes to build/fuzz/artifacts/. Exit status 1 when any target failed.
#   scripts/fuzz.sh [SECONDS] [NAME...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
[ $# -gt 0 ] && shift
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in fuzz/*_fuzz.cpp; do
    n=$(basename "$f" _fuzz.cpp)
    names+=("$n")
  done
fi

cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNCTL_FUZZ=ON -DTARNCTL_BUILD_TESTS=OFF -DTARNCTL_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz --target fuzz_all -j "$(nproc)"

mkdir -p build/fuzz/artifacts
failed=()
for n in "${names[@]}"; do
  mkdir -p "build/fuzz/corpus/$n"
  echo "== $n: ${seconds} s"
  # -close_fd_mask=2: the targets' own messages on stderr are dropped; the
  # fuzzer's and the sanitizers' reports still come.
  if ! build/fuzz/bin/"${n}"_fuzz -max_total_time="$seconds" -timeout=10 -print_final_stats=1 -close_fd_mask=2 \
       -artifact_prefix="build/fuzz/artifacts/$n-" "build/fuzz/corpus/$n" "fuzz/corpus/$n"; then
    failed+=("$n")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]} (inputs in build/fuzz/artifacts/)" >&2
  exit 1
fi
