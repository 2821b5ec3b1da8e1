#!/usr/bin/env bash
# End to end: every unit burnwell-tool and burnwell work on is a row in the history, whatever
# its result, the same record as the log's line; `history` answers by serial and by file; a
# history that cannot be used, or a server that cannot be reached, never changes an update's
# result; a program killed with SIGKILL in the middle of a tray leaves whole rows only.
set -euo pipefail
sim="$1"; tool="$2"; examples="$3"; updater="$4"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
hex="$examples/ZQ5x8x.hex"; image="$examples/ZQ5x8x-image.bin"  # the image is for product 2501
db="$work/history.db"
rows() { python3 - "$db" "$@" <<'PY'
import sqlite3, sys
db = sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True)
for row in db.execute("SELECT serial, command, result, passes, flash_before, flash_after, "
                      "station FROM units ORDER BY id"):
    print(" ".join("-" if v is None else str(v) for v in row))
PY
}
on() { "$sim" --latency-us 0 "$@"; }

# Each result kind, one bridge each (a bridge's serial names what happens to it).
cat > tray <<'MACHINE'
hub 1-2 ports=4
bridge 1-2.1 pid=0x5801 serial=GOOD latency-us=0 image=good.bin
bridge 1-2.2 pid=0x5801 serial=BUSY latency-us=0 fault=stuck-busy
bridge 1-2.3 pid=0x5801 serial=GONE latency-us=0 fault=disconnect:3000
bridge 1-2.4 pid=0x5801 serial=OTHER latency-us=0
MACHINE
set +e
"$sim" --machine tray -- "$tool" update "$hex" --yes --port 1-2.1 --history "$db" --station line-a --log log.jsonl >good.log 2>&1 || fail "update GOOD"
"$sim" --machine tray -- "$tool" update "$hex" --yes --port 1-2.1 --history "$db" --station line-a >again.log 2>&1 || fail "update GOOD again"
"$sim" --machine tray -- "$tool" update "$image" --yes --port 1-2.4 --history "$db" --station line-a >refused.log 2>&1
[ $? -eq 6 ] || { cat refused.log; fail "a refusal should exit 6"; }
"$sim" --machine tray -- "$tool" update "$hex" --yes --port 1-2.2 --history "$db" --station line-a >busy.log 2>&1
[ $? -eq 1 ] || { cat busy.log; fail "a stuck chip should exit 1"; }
"$sim" --machine tray -- "$tool" update "$hex" --yes --port 1-2.3 --history "$db" --station line-a >gone.log 2>&1
[ $? -eq 12 ] || { cat gone.log; fail "a disconnect should exit 12"; }
"$sim" --machine tray -- "$tool" verify "$hex" --port 1-2.1 --history "$db" --station line-a >match.log 2>&1 || fail "verify GOOD"
python3 -c "f=bytearray(open('good.bin','rb').read()); f[0x1234]^=1; open('good.bin','wb').write(f)"
"$sim" --machine tray -- "$tool" verify "$hex" --port 1-2.1 --history "$db" --station line-a >differs.log 2>&1
[ $? -eq 1 ] || fail "verify of a changed byte should exit 1"
"$sim" --machine tray -- "$tool" update "$hex" --yes --port 1-2.1 --no-history --history "$db" >/dev/null 2>&1 || fail "--no-history update"
set -e

# A second Ctrl-C mid-update: stopped.
"$sim" --latency-us 400 --image stop.bin -- "$tool" update "$hex" --yes --history "$db" --station line-a >stop.log 2>&1 &
sim_pid=$!
tool_pid=""
for _ in $(seq 1 600); do
  tool_pid=$(cat /proc/"$sim_pid"/task/*/children 2>/dev/null | tr -s ' ' '\n' | head -1 || true)
  [ -n "$tool_pid" ] && grep -q "progress: program" stop.log && break
  sleep 0.05
done
[ -n "$tool_pid" ] || { cat stop.log; fail "the update did not reach programming"; }
kill -INT "$tool_pid"; sleep 0.3; kill -INT "$tool_pid"
set +e; wait "$sim_pid"; status=$?; set -e
[ $status -eq 13 ] || { cat stop.log; fail "two Ctrl-C should exit 13, not $status"; }

rows > rows.txt
cat > expected.txt <<'ROWS'
GOOD update updated 1 a388 65da line-a
GOOD update up-to-date 0 65da 65da line-a
OTHER update refused 0 - - line-a
BUSY update failed 0 - - line-a
GONE update disconnected 1 a388 - line-a
GOOD verify match 0 65da 65da line-a
GOOD verify differs 0 65da 65da line-a
ZQ5X8X00000001 update stopped 1 d188 - line-a
ROWS
diff expected.txt rows.txt || fail "the rows are not one per attempt with its result"

# The log's line is the history's row: the same record.
"$tool" history --history "$db" --serial GOOD --result updated --json >good.json
python3 - <<'PY' || fail "the log line and the history row differ"
import json
row = json.load(open("good.json"))["units"]
line = [json.loads(l) for l in open("log.jsonl")]
assert len(row) == 1 and len(line) == 1, (row, line)
assert row[0] == line[0], (row[0], line[0])
assert line[0]["bridge"]["usb"] == "1-2.1" and line[0]["file"]["checksum"] == "65da"
PY
# A unit's whole story, newest first; every attempt at a file, by its checksum or the file.
"$tool" history --history "$db" --serial GOOD >story.txt
[ "$(awk 'NR > 1 {print $8}' story.txt | tr '\n' ' ')" = "differs match up-to-date updated " ] \
  || { cat story.txt; fail "history --serial"; }
"$tool" history --history "$db" --file "$hex" >file.txt; [ "$(wc -l < file.txt)" -eq 8 ] || { cat file.txt; fail "history --file"; }
[ "$("$tool" history --history "$db" --file "$image" --result refused | wc -l)" -eq 2 ] || fail "history --file --result"
[ "$("$tool" history --history "$db" --checksum 65DA --result up-to-date | wc -l)" -eq 2 ] || fail "history --checksum --result"
"$tool" history --history "$db" --summary >summary.txt
grep -Eq "line-a +65DA +7 +4 +1 +25.0%" summary.txt || { cat summary.txt; fail "summary: 4 bridges tried with the HEX file, 1 passed at once"; }

# The updater records its update too.
mkdir station && cp "$examples/Config.ini" "$hex" station/
(cd station && echo y | BURNWELL_HISTORY="$db" "$sim" --latency-us 0 --firmware 0x5A513578 -- "$updater" --terminal >run.log 2>&1) \
  || { cat station/run.log; fail "burnwell"; }
rows | tail -1 | grep -q "^ZQ5X8X00000001 dialog updated 1 " || { rows | tail -2; fail "burnwell's row"; }

# A history that cannot be used, a server that cannot be reached: a warning each, the update's
# result unchanged, the log's line still written.
mkdir not-a-file.db
on --image f.bin -- "$tool" update "$hex" --yes --history not-a-file.db --log bad.jsonl >bad.log 2>&1 || { cat bad.log; fail "an unusable history changed the update's result"; }
grep -q "warning: .*not-a-file.db" bad.log && grep -q "the record of bridge ZQ5X8X00000001 (updated) is missing from the history" bad.log \
  || { cat bad.log; fail "unusable history: no warning"; }
[ "$(wc -l < bad.jsonl)" -eq 1 ] || fail "the log lost its line"
on --image f.bin -- "$tool" update "$hex" --yes --reinstall --history "$db" --history "postgresql://nobody@/none?host=$work/no-server" >away.log 2>&1 \
  || { cat away.log; fail "an unreachable server changed the update's result"; }
grep -q "warning: the history server postgresql://nobody@/none?host=.* cannot be used" away.log || { cat away.log; fail "no word of the server"; }
grep -q "warning: 1 row(s) wait in $db" away.log || { cat away.log; fail "the waiting row is not said"; }
"$tool" history --history "$db" --pending | grep -q "updated for postgresql://nobody@/none?host=.*: waiting" || fail "history --pending"

# SIGKILL while a tray's bridges end one after the other: the rows in the file are whole ones.
cat > slow <<'MACHINE'
hub 1-3 ports=4
bridge 1-3.1 pid=0x5801 serial=K1 latency-us=0
bridge 1-3.2 pid=0x5801 serial=K2 latency-us=300
bridge 1-3.3 pid=0x5801 serial=K3 latency-us=600
bridge 1-3.4 pid=0x5801 serial=K4 latency-us=900
MACHINE
killed="$work/killed.db"
"$sim" --machine slow -- "$tool" update "$hex" --yes --all --history "$killed" >killed.log 2>&1 &
sim_pid=$!
for _ in $(seq 1 1200); do
  [ -f "$killed" ] && [ "$(python3 -c "import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute('SELECT count(*) FROM units').fetchone()[0])" "$killed" 2>/dev/null || echo 0)" -ge 1 ] && break
  sleep 0.05
done
tool_pid=$(cat /proc/"$sim_pid"/task/*/children 2>/dev/null | tr -s ' ' '\n' | head -1 || true)
[ -n "$tool_pid" ] || fail "the tray update ended before it could be killed"
kill -KILL "$tool_pid"
wait "$sim_pid" || true
python3 - "$killed" <<'PY' || fail "a killed program left a damaged history"
import json, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
assert db.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
rows = db.execute("SELECT serial, time, station, result, passes, phase_seconds, seconds FROM units").fetchall()
assert 1 <= len(rows) < 4, rows
for row in rows:
    assert all(v is not None for v in row), row
    assert len(json.loads(row[5])) == 7, row
PY
# The file takes rows again at once.
before=$("$tool" history --history "$killed" | wc -l)
on -- "$tool" verify "$hex" --history "$killed" >/dev/null 2>&1 || true
[ "$("$tool" history --history "$killed" | wc -l)" -eq $((before + 1)) ] || fail "recording after a kill"
echo "history end to end: ok"
