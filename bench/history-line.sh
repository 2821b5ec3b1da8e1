#!/usr/bin/env bash
# A line of four stations recording into one PostgreSQL server, the server stopped for 30 s in
# the middle of the shift and started again: prints the units each station recorded, the rows
# the server holds, and how many are missing or twice (goal: none of either), and exits 1 when
# any is. Each station updates a tray of four emulated bridges again and again for the shift
# (burnwell-tool update --all under burnwell-sim, 300 us per command), keeping its own SQLite
# file and sending to the server.
#   Usage: bench/history-line.sh [BUILD_DIR] [SHIFT_SECONDS]   (default build/default, 100)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/default}
shift_seconds=${2:-100}
outage_start=30 outage_seconds=30
source "$here/bench/emulated-programs.sh"
work=$(mktemp -d /tmp/burnwell-history-line.XXXXXX)
chmod 755 "$work"  # the server runs as nobody under root
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$here/scripts/postgres-scratch.sh" stop "$work/pg" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
url=$("$here/scripts/postgres-scratch.sh" start "$work/pg")
server_rows() { psql -qtA -d "$url" -c "SELECT count(*) FROM burnwell_units" 2>/dev/null || echo "?"; }

# One station: updates its tray until the shift ends. To run the station command instead, make
# this one `burnwell-tool station FILE --count N --history ... --station ...` on the same machine.
run_station() {
  local n=$1 end=$2
  {
    echo "hub 1-$n ports=4"
    for port in 1 2 3 4; do echo "bridge 1-$n.$port pid=0x5801 serial=ST$n-$port latency-us=300"; done
  } > "$work/station$n.machine"
  while [ "$(date +%s)" -lt "$end" ]; do
    "$sim" --machine "$work/station$n.machine" -- "$tool" update "$firmware" --all --yes --reinstall \
      --history "$work/station$n.db" --history "$url" --station "station-$n" >>"$work/station$n.log" 2>&1 || true
  done
}

start=$(date +%s)
end=$((start + shift_seconds))
for n in 1 2 3 4; do
  run_station "$n" "$end" &
  pids+=($!)
done
sleep "$outage_start"
before_stop=$(server_rows)
"$here/scripts/postgres-scratch.sh" stop "$work/pg"
echo "server stopped at $(( $(date +%s) - start )) s with $before_stop rows"
sleep "$outage_seconds"
"$here/scripts/postgres-scratch.sh" restart "$work/pg" >/dev/null
echo "server started again at $(( $(date +%s) - start )) s"
for pid in "${pids[@]}"; do wait "$pid"; done
pids=()
echo "shift ended at $(( $(date +%s) - start )) s"

status=0
total=0
for n in 1 2 3 4; do
  local_rows=$(python3 -c "import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute('SELECT count(*) FROM units').fetchone()[0])" "$work/station$n.db")
  waiting=$(python3 -c "import sqlite3,sys; print(sqlite3.connect(sys.argv[1]).execute('SELECT count(*) FROM outbox').fetchone()[0])" "$work/station$n.db")
  on_server=$(psql -qtA -d "$url" -c "SELECT count(*) FROM burnwell_units WHERE station = 'station-$n'")
  printf 'station-%d: %d units recorded, %d on the server, %d still waiting\n' "$n" "$local_rows" "$on_server" "$waiting"
  total=$((total + local_rows))
  [ "$local_rows" -eq "$on_server" ] && [ "$waiting" -eq 0 ] || status=1
done
twice=$(psql -qtA -d "$url" -c "SELECT count(*) - count(DISTINCT (station, serial, time)) FROM burnwell_units")
held=$(server_rows)
missing=$((total - held + twice))
printf 'line: %d units, %d rows on the server, %d missing, %d twice (goal: 0 and 0)\n' "$total" "$held" "$missing" "$twice"
[ "$missing" -eq 0 ] && [ "$twice" -eq 0 ] || status=1
grep -h "cannot take rows\|answers again" "$work"/station*.log | sed 's/ (.*)//' | sort | uniq -c | sed 's/^/warnings: /' || true
exit $status
