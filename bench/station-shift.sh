#!/usr/bin/env bash
# An emulated shift at a station: four sockets behind one hub, every command taking 300 us, 16
# units arriving over time, four per socket one after the other (one with a fault plan, one of
# another product, one pulled out in the middle of its update). burnwell-tool station runs the
# shift with --json and --log; burnwell-sim's plug log gives each unit's arrival and its first and
# last commands. Prints:
#   - units per hour over the shift;
#   - the station's overhead: for every unit whose update ran, the time from its arrival to its
#     last command against the update's own time, summed over the sockets (goal <= 5 %);
#   - the largest time from a unit's arrival to its first vendor command, and to its first memory
#     command, the start of its update (goal <= 1 s);
#   - the counters, checked against what the units are.
# Usage: bench/station-shift.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/default}
source "$here/bench/emulated-programs.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The first unit of each socket arrives at once (the sockets 0.3 s apart); every unit is taken out
# two seconds after its last command (longer than any wait for the chip within an update), as
# an operator takes a finished unit out, and the next
# one is plugged in half a second later. The pulled-out unit is the first of socket 4, taken out
# 2.5 s after it arrived, in the middle of its update.
{
  echo "hub 1-1 ports=4"
  echo "plug-log $work/plug.log"
  first=("" "arrive=0 leave-idle=2" "arrive=0.3 leave-idle=2" "arrive=0.6 leave-idle=2"
         "arrive=0.9 leave=3.4")  # socket 4's first unit is the one pulled out
  for socket in 1 2 3 4; do
    for unit in 0 1 2 3; do
      when="arrive-after=0.5 leave-idle=2"
      if [ $unit -eq 0 ]; then when=${first[socket]}; fi
      extra=""
      if [ $socket -eq 2 ] && [ $unit -eq 1 ]; then extra="fault=fail-opcode:0xD6"; fi  # fails
      if [ $socket -eq 3 ] && [ $unit -eq 2 ]; then extra="pid=0x5801"; fi              # refused
      echo "bridge 1-1.$socket serial=S${socket}U${unit} latency-us=300 $when $extra"
    done
  done
} > "$work/shift"

start=$(date +%s%N)
set +e
"$sim" --machine "$work/shift" -- "$tool" station "$firmware" --product 0x2501 --count 16 --json \
  --log "$work/units.log" --history "$work/units.db" > "$work/events.jsonl" 2> "$work/station.err"
status=$?
set -e
end=$(date +%s%N)
if [ $status -ne 1 ]; then
  cat "$work/station.err" >&2
  echo "the station exited $status; with a failure and a refusal in the shift it ends with 1" >&2
  exit 1
fi

python3 - "$work" $(( (end - start) / 1000000 )) "$(nproc)" <<'PY'
import json, sys
work, wall_ms, cores = sys.argv[1], int(sys.argv[2]), sys.argv[3]
events = [json.loads(line) for line in open(work + "/events.jsonl")]
records = [json.loads(line) for line in open(work + "/units.log")]
plug = {}
for line in open(work + "/plug.log"):
    ms, what, socket, serial = line.split()
    plug.setdefault(serial, {})[what] = float(ms)

counters = events[-1]
expected = {"passed": 13, "failed": 2, "refused": 1, "up_to_date": 0}
got = {k: counters[k] for k in expected}
ran = [r for r in records if r["result"] in ("updated", "up-to-date", "failed") and r["seconds"] > 0]
own = sum(r["seconds"] for r in ran)
spent = sum((plug[r["bridge"]["serial"]]["last-command"] - plug[r["bridge"]["serial"]]["arrive"]) / 1000
            for r in ran)
to_first = max(p["first-command"] - p["arrive"] for p in plug.values() if "first-command" in p)
to_memory = max(p["first-memory-command"] - p["arrive"] for p in plug.values()
                if "first-memory-command" in p)
shift_s = max(p["last-command"] for p in plug.values()) / 1000

print("cores: %s" % cores)
print("units: %d in %.1f s of shift (%d ms with start and stop)" % (len(records), shift_s, wall_ms))
print("units per hour: %.0f (the station's own count: %.0f)" % (len(records) / shift_s * 3600,
                                                                 counters["units_per_hour"]))
print("station overhead: %.1f %% (arrival to last command %.1f s against the updates' own %.1f s, "
      "%d units; goal <= 5 %%)" % (100 * (spent / own - 1), spent, own, len(ran)))
print("largest arrival to first vendor command: %.0f ms (goal <= 1000 ms)" % to_first)
print("largest arrival to first memory command (the update starts): %.0f ms (goal <= 1000 ms)"
      % to_memory)
print("counters: passed %(passed)d  failed %(failed)d  refused %(refused)d  up to date %(up_to_date)d" % got)
print("counters match the units: %s" % ("yes" if got == expected else "NO, expected %s" % expected))
sys.exit(0 if got == expected else 1)
PY
