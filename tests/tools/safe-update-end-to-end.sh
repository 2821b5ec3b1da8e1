#!/usr/bin/env bash
# End to end: an update that must never leave a bridge silently broken. burnwell-tool updates an
# emulated bridge that burnwell-sim serves over the relay while the bridge is unplugged, while a
# read of its configuration block is spoiled, and while the operator presses Ctrl-C once or twice.
set -euo pipefail
sim="$1"; tool="$2"; examples="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
hex="$examples/ZQ5x8x.hex"

# Unplugged while programming: the first failed command ends the update, no further pass.
set +e
"$sim" --latency-us 0 --fault disconnect:3000 --trace-scsi gone.trace -- "$tool" update "$hex" --yes >gone.log 2>&1
status=$?
set -e
[ $status -eq 12 ] || { cat gone.log; fail "a disconnect should exit 12, not $status"; }
grep -q "The bridge was disconnected during programming." gone.log || { cat gone.log; fail "disconnect message"; }
# One erase of the first sector (0x20 at address 0: the update erases only what it writes) in
# the whole trace: no second pass.
[ "$(grep -c '| out 20 00 00 00 |' gone.trace)" -eq 1 ] || { cat gone.log; fail "a gone bridge was retried"; }

# One spoiled read of the configuration block: read again, the bridge's own block is kept.
"$sim" --latency-us 0 --image spoiled.bin --fault corrupt-read:7 -- "$tool" update "$hex" --yes >spoiled.log 2>&1 \
  || { cat spoiled.log; fail "update with one spoiled block read"; }
python3 -c "f=open('spoiled.bin','rb').read(); assert f[0]==0x55, hex(f[0])" || fail "a spoiled block read was written back"

# Ctrl-C while the memory changes. $1: how many signals, $2: log, $3: trace, $4: image.
interrupt() {
  local count=$1 log=$2 trace=$3 image=$4
  "$sim" --latency-us 400 --image "$image" --trace-scsi "$trace" -- "$tool" update "$hex" --yes >"$log" 2>&1 &
  local sim_pid=$!
  local tool_pid=""
  for _ in $(seq 1 600); do
    tool_pid=$(cat /proc/"$sim_pid"/task/*/children 2>/dev/null | tr -s ' ' '\n' | head -1 || true)
    [ -n "$tool_pid" ] && grep -q "progress: program" "$log" && break
    sleep 0.05
  done
  [ -n "$tool_pid" ] || fail "the update did not reach programming"
  for _ in $(seq 1 "$count"); do kill -INT "$tool_pid"; sleep 0.3; done
  wait "$sim_pid"  # the caller has errexit off: this is the function's status
}

set +e
interrupt 1 once.log once.trace once.bin
status=$?
set -e
[ $status -eq 0 ] || { cat once.log; fail "one Ctrl-C should only warn, exit was $status"; }
grep -q "Press Ctrl-C again within 5 seconds" once.log || { cat once.log; fail "no warning"; }
grep -q "Programming completed" once.log || fail "the update did not go on after one Ctrl-C"

set +e
interrupt 2 twice.log twice.trace twice.bin
status=$?
set -e
[ $status -eq 13 ] || { cat twice.log; fail "two Ctrl-C should exit 13, not $status"; }
grep -q "partly programmed, with no validity marker" twice.log || { cat twice.log; fail "state message"; }
grep -q "Run the update again before the bridge is power-cycled" twice.log || fail "advice"
python3 -c "f=open('twice.bin','rb').read(); assert f[11:14]==b'\xff\xff\xff', f[11:14].hex()" || fail "a stopped update left a marker"
# The flash routine's own clean-up ends the trace: chip deselect (D4), then write disable (0x04).
tail -n 4 twice.trace >tail.trace
grep -q "^D4" tail.trace || { cat tail.trace; fail "no deselect after the stop"; }
# A node the user may not open: told as list tells it (node, USB ID, what to do), status 11.
# Without the relay, as a user without rights (root opens any node: it runs the tool as nobody).
as_user=""
if [ "$(id -u)" -eq 0 ]; then as_user="setpriv --reuid=65534 --regid=65534 --clear-groups --"; fi
chmod 755 "$work"
set +e
"$sim" -- sh -c 'chmod 755 "$BURNWELL_SYSROOT"; rm -f "$BURNWELL_SYSROOT/run/burnwell/DeviceIoControlPipe"
                 chmod 000 "$BURNWELL_SYSROOT"/dev/sg*; exec '"$as_user"' "$0" update "$1" --yes' "$tool" "$hex" >denied.log 2>&1
status=$?
set -e
[ $status -eq 11 ] || { cat denied.log; fail "no permission should exit 11, not $status"; }
grep -q "permission denied on /dev/sg0 (USB 7e55:" denied.log || { cat denied.log; fail "permission message"; }
! grep -q "Device not found" denied.log || fail "a permission problem reported as no device"

# A FIFO given as the firmware file is refused at once, never waited on.
mkfifo fifo.hex
set +e
timeout 20 "$tool" update fifo.hex --yes >fifo.log 2>&1
status=$?
set -e
[ $status -eq 4 ] || { cat fifo.log; fail "a FIFO firmware file should exit 4 at once, not $status"; }
echo "safe update end to end: ok"
