#!/usr/bin/env bash
# Installs what is missing, builds one preset (default if none is given) and
# runs the whole test suite on it.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/deps.sh --tests
scripts/build.sh "$preset"
ctest --preset "$preset" -j "$(nproc)"
