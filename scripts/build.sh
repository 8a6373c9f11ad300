#!/usr/bin/env bash
# Configures and builds one preset (default, asan or tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
extra=()
[ "${CI:-}" = "true" ] && extra+=(-DTARNCTL_WERROR=ON)
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
