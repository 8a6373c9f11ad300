#!/usr/bin/env bash
# Installs what building and running need (not the test tooling), builds
# the programs, and runs the console against a simulated box: firmware
# identification, the link test, the wake-up line and the start-up
# configuration stored in the box's EEPROM. With arguments, runs tarnctl-sim
# with them instead (the TARNCTL_SIM_* variables choose boxes, timing,
# faults). Progress goes to standard error, the console's output to
# standard output.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh --run default
sim=build/default/bin/tarnctl-sim

if [ $# -gt 0 ]; then
  exec "$sim" "$@"
fi

echo "== run: tarnctl-sim against a simulated box (real line timing)" >&2
code="kvrl.Pembrix-Ubo42"
echo "\$ tarnctl-sim -l"
"$sim" -U "$code" -l
echo "\$ tarnctl-sim -V -p -w get"
"$sim" -V -p -w get
echo "\$ tarnctl-sim -U <access code> -i   (date, blversion, blstring, cfg read)"
printf 'date\nblversion\nblstring\ncfg read\n' | "$sim" -U "$code" -i
echo
