#!/bin/sh
# End to end: the real burnwell-relayd in front of an emulated machine (burnwell-sim builds the
# machine and serves its relay at the relay's place; burnwell-relayd, on a socket of its own,
# finds the bridges through it and forwards what it allows), attacked by a hostile local client
# (relay_hostile_client.py).
# Usage: relayd_end_to_end.sh CASE BURNWELL_SIM BURNWELL_RELAYD PYTHON VID
set -u
case_name=$1
sim=$2
relayd=$3
python=$4
vid=$5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cat > "$work/machine" <<'MACHINE'
sata-disks 1
stick 1-1 serial=NOTABRIDGE
bridge 1-2 pid=0x5801 serial=FIRST
MACHINE

# Runs burnwell-relayd with the given options inside the machine, then the hostile client's
# CHECK against it with the given options; stops the relay and leaves its output in $work.
# Usage: against_relayd "RELAYD OPTIONS" "ULIMIT" CHECK [CLIENT OPTIONS...]
against_relayd() {
  options=$1
  descriptors=$2
  shift 2
  "$sim" --machine "$work/machine" -- sh -c '
    relayd=$1 options=$2 descriptors=$3 work=$4 python=$5 client=$6
    shift 6
    ( ulimit -n "$descriptors" && exec "$relayd" --socket "$work/relayd/relay" $options ) \
      >"$work/relayd.out" 2>"$work/relayd.err" &
    pid=$!
    i=0
    while ! grep -q "serving the relay" "$work/relayd.out" && [ $i -lt 400 ]; do
      sleep 0.05; i=$((i + 1))
    done
    "$python" "$client" "$@" --socket "$work/relayd/relay" --root "$BURNWELL_SYSROOT" \
      --relayd-output "$work/relayd.out"
    status=$?
    kill -TERM $pid
    wait $pid || status=1
    exit $status
  ' sh "$relayd" "$options" "$descriptors" "$work" "$python" "$here/relay_hostile_client.py" "$@"
  status=$?
  cat "$work/relayd.out" "$work/relayd.err"
  return $status
}

case "$case_name" in
hostile-client)
  against_relayd "" 1024 commands --vid "$vid" || fail "hostile client"
  grep -q "refused to open /dev/" "$work/relayd.err" || fail "refused opens are not told"
  grep -q "opens and [1-9][0-9]* commands refused" "$work/relayd.out" || fail "refusals not counted"
  against_relayd "" 1024 other-user || fail "another user's client"
  ;;
bounded-connections)
  against_relayd "--max-connections 24 --idle-timeout 30" 1024 limits --max-connections 24 ||
    fail "connection limit"
  against_relayd "--idle-timeout 1 --max-connections 300" 1024 idle --count 200 ||
    fail "idle time-out"
  # Out of descriptors: the relay waits and goes on accepting. (Not in a sanitizer build: the
  # sanitizers' own checks need descriptors too, and report false errors without them.)
  if [ "${BURNWELL_SANITIZED:-OFF}" != ON ]; then
    against_relayd "" 40 exhaust --count 100 || fail "descriptor limit"
    grep -q "cannot accept a client" "$work/relayd.err" || fail "the shortage is not told"
  fi
  ;;
socket-place)
  # Whatever is at the socket's place and is not a socket is left alone.
  echo "precious" > "$work/file"
  ln -s "$work/file" "$work/link"
  for place in "$work/file" "$work/link"; do
    "$relayd" --socket "$place" > "$work/out" 2>&1 && fail "relayd served at $place"
    grep -q "is not a socket" "$work/out" || fail "no reason given: $(cat "$work/out")"
    "$sim" serve --socket "$place" > "$work/out" 2>&1 && fail "burnwell-sim served at $place"
    grep -q "is not a socket" "$work/out" || fail "no reason given: $(cat "$work/out")"
  done
  [ "$(cat "$work/file")" = "precious" ] || fail "the file was changed"
  [ -L "$work/link" ] || fail "the link was removed"
  # A missing folder is made with the socket's ownership: the owner and the group burnwell
  # (0750, socket 0660) where the system has that group, the owner alone (0700, 0600) if not.
  "$sim" serve --socket "$work/new/relay" > "$work/out" 2>&1 &
  pid=$!
  i=0
  while ! grep -q serving "$work/out" && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
  folder=$(stat -c '%a %G' "$work/new")
  socket=$(stat -c '%a %G' "$work/new/relay")
  kill -TERM $pid
  wait $pid
  if getent group burnwell > /dev/null && [ "$(id -u)" -eq 0 ]; then
    [ "$folder" = "750 burnwell" ] || fail "folder: $folder"
    [ "$socket" = "660 burnwell" ] || fail "socket: $socket"
  elif ! getent group burnwell > /dev/null; then
    [ "${folder% *}" = 700 ] || fail "folder: $folder"
    [ "${socket% *}" = 600 ] || fail "socket: $socket"
  fi
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo ok
