#!/usr/bin/env bash
# Installs what is missing, builds, and runs the console's main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh default >/dev/null
exec build/default/bin/tarnctl -h
