#!/usr/bin/env bash
# End to end: burnwell-tool station on emulated machines whose units come and go.
#   shift   four sockets; units that pass, fail, are refused, are up to date, are pulled out
#           mid-update (one whose update takes half a minute, pulled out after four seconds),
#           and follow each other in one socket (the next plugged in once the first, finished,
#           is taken out); counters, records, JSON events and --count
#   config  the job from the station folder's Config.ini (file, power, version check, product
#           list), and the ways out before anything is attached to
# Usage: station-end-to-end.sh SIM TOOL EXAMPLES PART
set -euo pipefail
sim="$1"; tool="$2"; examples="$3"; part="$4"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
hex="$examples/ZQ5x8x.hex"

shift_part() {
  # A memory that already holds what the update writes, for the unit found up to date.
  "$sim" --latency-us 20 --image done.bin -- "$tool" update "$hex" --yes > prepare.log 2>&1 ||
    { cat prepare.log; fail "preparing the up-to-date memory"; }
  cp done.bin next.bin
  md5sum next.bin > next.md5
  cat > shift <<'MACHINE'
hub 1-1 ports=4
plug-log plug.log
bridge 1-1.1 serial=FIRST latency-us=20 image=first.bin leave-idle=3
bridge 1-1.1 serial=NEXT latency-us=20 image=next.bin arrive-after=0.3
bridge 1-1.2 serial=FAULTY latency-us=20 fault=fail-opcode:0xD6 arrive=0.5
bridge 1-1.3 pid=0x5801 serial=OTHER latency-us=20 arrive=1
bridge 1-1.4 serial=PULLED latency-us=5000 arrive=1 leave=5
stick 1-1.4 serial=STICK arrive=5
MACHINE
  set +e
  "$sim" --machine shift -- "$tool" station "$hex" --product 0x2501 --count 5 --json \
    --log units.log --history units.db > events.jsonl 2> station.err
  status=$?
  set -e
  [ $status -eq 1 ] || { cat station.err events.jsonl; fail "the shift exited $status, not 1"; }
  python3 - <<'PY' || { cat station.err events.jsonl plug.log; fail "the shift's events and records"; }
import json
events = [json.loads(line) for line in open("events.jsonl")]
records = [json.loads(line) for line in open("units.log")]
assert events[0]["event"] == "job", events[0]
by_serial = {}
for e in events[1:-1]:
    serial = e.get("serial") or e.get("bridge", {}).get("serial") or e["record"]["bridge"]["serial"]
    by_serial.setdefault(serial, []).append(e["event"])
results = {r["bridge"]["serial"]: r["result"] for r in records}
assert results == {"FIRST": "updated", "NEXT": "up-to-date", "FAULTY": "failed",
                   "OTHER": "refused", "PULLED": "disconnected"}, results
# Each unit is written at most once, whatever stays plugged in; refused ones never start.
for serial, kinds in by_serial.items():
    assert kinds[0] == "arrived", (serial, kinds)
    assert kinds.count("started") == (0 if serial == "OTHER" else 1), (serial, kinds)
    assert kinds.count("finished") == 1, (serial, kinds)
assert "progress" in by_serial["FIRST"], by_serial["FIRST"]
assert by_serial["FIRST"][-1] == "removed" and by_serial["PULLED"][-1] == "removed", by_serial
assert "STICK" not in by_serial, "a stick is no unit"
finished = {e["record"]["bridge"]["serial"]: e for e in events if e["event"] == "finished"}
assert finished["PULLED"]["removed"] and not finished["FIRST"]["removed"], finished["PULLED"]
counters = events[-1]
assert counters["event"] == "counters", counters
assert (counters["passed"], counters["failed"], counters["refused"], counters["up_to_date"]) == (1, 2, 1, 1), counters
for r in records:
    assert r["command"] == "station" and r["file"]["checksum"] and r["time"], r
    assert (r["error"] is None) == (r["result"] in ("updated", "up-to-date")), r
    assert r == finished[r["bridge"]["serial"]]["record"], "the log's line is the event's record"
assert [r for r in records if r["bridge"]["serial"] == "FIRST"][0]["bridge"]["usb"] == "1-1.1"
PY
  # Nothing reached the refused unit's memory, and the up-to-date one was not written.
  ! grep -q "first-memory-command 1-1.3 OTHER" plug.log || fail "the refused unit's memory was touched"
  md5sum -c --quiet next.md5 || fail "the up-to-date unit was written"
  objcopy -I ihex -O binary "$hex" code.bin
  cmp -s <(head -c "$(stat -c %s code.bin)" <(tail -c +257 first.bin)) code.bin ||
    fail "the first unit's flash does not hold the file"
  grep -q "^station stopped: passed 1  failed 2  refused 1  up to date 1" station.err ||
    { cat station.err; fail "the counters on standard error"; }
  # The history holds the same five units.
  "$tool" history --history units.db --json > history.json || fail "history of the shift"
  python3 -c "
import json, sys
rows = json.load(open('history.json'))
rows = rows['units'] if isinstance(rows, dict) else rows
assert sorted(r['bridge']['serial'] for r in rows) == ['FAULTY', 'FIRST', 'NEXT', 'OTHER', 'PULLED'], rows
" || { cat history.json; fail "the history of the shift"; }
}

config_part() {
  mkdir -p fw
  cp "$hex" fw/
  cat > Config.ini <<'INI'
[Configuration]
DevCount=2
[Update_Device]
VID1=7E55
PID1=5801
VID2=7e55
PID2=2501
[Hex_FileName]
HEXNAME=fw/ZQ5x8x.hex
[Cmp_Ver]
CMPLEN=4
CMPSTR=0102
[Self_Powered]
SELFPOWERON=0
INI
  cat > station <<'MACHINE'
plug-log plug.log
bridge 1-1 pid=0x5801 firmware=0x01020304 serial=GOOD latency-us=20 image=good.bin
bridge 1-2 pid=0x5801 firmware=0x09090909 serial=OLDVER latency-us=20
bridge 1-3 pid=0x3333 firmware=0x01020304 serial=UNLISTED latency-us=20
MACHINE
  set +e
  "$sim" --machine station -- "$tool" station --count 3 --log units.log --no-history > station.out 2>&1
  status=$?
  set -e
  [ $status -eq 1 ] || { cat station.out; fail "the Config.ini station exited $status, not 1"; }
  grep -q "^job: ./fw/ZQ5x8x.hex (hex, checksum .*), from Config.ini" station.out || { cat station.out; fail "the job"; }
  grep -q "^for: products 7e55:5801 7e55:2501" station.out || { cat station.out; fail "the products"; }
  grep -q "^writes: bus-powered" station.out || { cat station.out; fail "the power setting"; }
  python3 - <<'PY' || { cat station.out units.log; fail "the Config.ini records"; }
import json
records = {r["bridge"]["serial"]: r for r in map(json.loads, open("units.log"))}
assert records["GOOD"]["result"] == "updated", records["GOOD"]
assert records["OLDVER"]["result"] == "refused" and "CMPSTR" in records["OLDVER"]["error"]["text"], records["OLDVER"]
assert records["UNLISTED"]["result"] == "refused" and "3333" in records["UNLISTED"]["error"]["text"], records["UNLISTED"]
flash = open("good.bin", "rb").read()
assert flash[9] == 250 and not flash[8] & 0x40, "bus-powered block"
PY
  ! grep -q "first-memory-command 1-[23] " plug.log || fail "a refused unit's memory was touched"

  # The ways out before anything is attached to: no Config.ini, an unusable one, a file that does
  # not load (4); a log that cannot be written (2).
  expect() {  # STATUS ARGS...: runs the station on the machine, expects the status, no command sent
    local expected=$1
    shift
    rm -f plug.log
    set +e
    "$sim" --machine station -- "$tool" station --no-history "$@" > case.log 2>&1
    local got=$?
    set -e
    [ $got -eq "$expected" ] || { cat case.log; fail "'station $*' exited $got, not $expected"; }
    ! grep -q "first-command" plug.log || fail "'station $*' sent a command"
  }
  expect 2 --log "$work/no-such-dir/units.log"
  expect 4 missing.hex
  mv Config.ini Config.saved
  expect 4
  sed 's/^DevCount=2/DevCount=4/' Config.saved > Config.ini
  expect 4
  sed 's/^VID1=7E55/VID1=7X55/' Config.saved > Config.ini
  expect 4
  mv Config.saved Config.ini
}

case $part in
  shift) shift_part ;;
  config) config_part ;;
  *) fail "unknown part $part" ;;
esac
echo "station $part: ok"
