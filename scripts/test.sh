#!/usr/bin/env bash
# Installs what is missing, the test tooling too, builds one preset (default
# if none is given) and runs the whole test suite on it.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/deps.sh --tests
scripts/build.sh "$preset"
echo "== test: the $preset suite on $(nproc) cores" >&2
ctest --preset "$preset" -j "$(nproc)"
