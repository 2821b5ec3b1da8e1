#!/usr/bin/env bash
# How well `burnwell-tool update --all` runs bridges side by side: the wall time of updating four
# emulated bridges at once divided by the wall time of updating one, both through burnwell-sim's
# machine mode with every command taking 300 us, measured in one run. 1.0 is perfect overlap,
# 4.0 none. Usage: bench/parallel-update.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/default}
source "$here/bench/emulated-programs.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A tray of N bridges behind one hub, each at 300 us per command.
machine() {
  echo "hub 1-1 ports=4"
  for i in $(seq 1 "$1"); do echo "bridge 1-1.$i pid=0x5801 serial=TRAY$i latency-us=300"; done
}
machine 1 > "$work/one"
machine 4 > "$work/four"

# Wall time in milliseconds of one update --all on the machine file.
run() {
  local start end
  start=$(date +%s%N)
  "$sim" --machine "$1" -- "$tool" update "$firmware" --all --yes --reinstall > "$work/log" 2>&1 \
    || { cat "$work/log" >&2; echo "update failed on $1" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

one=$(run "$work/one")
four=$(run "$work/four")
printf 'cores: %s\n' "$(nproc)"
printf 'one bridge:   %d ms\n' "$one"
printf 'four bridges: %d ms\n' "$four"
python3 -c "print('ratio four/one: %.2f (goal <= 1.25)' % ($four / $one))"
