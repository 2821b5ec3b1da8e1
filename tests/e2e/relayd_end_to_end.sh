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
    while ! grep -q "serving the relay" "$work/relayd.out" && [ $i -lt 2400 ]; do
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
  against_relayd "--max-connections 24 --max-per-user 24 --idle-timeout 30" 1024 limits \
    --max-connections 24 || fail "connection limit"
  # A user's share: a quarter of the limit by default; the refusal names the uid.
  against_relayd "--max-connections 24 --idle-timeout 30" 1024 limits \
    --max-connections 24 --max-per-user 6 || fail "a user's share"
  grep -q "uid 0: refused: this user holds 6 connections, its share of 24" "$work/relayd.err" ||
    fail "the refusal does not name the uid"
  against_relayd "--idle-timeout 1 --max-connections 300 --max-per-user 300" 1024 idle --count 200 ||
    fail "idle time-out"
  # Out of descriptors: the relay waits and goes on accepting. The connection limits are set
  # above what 40 descriptors allow, so that descriptors run out first however many the relay
  # inherits. (Not in a sanitizer build: the sanitizers' own checks need descriptors too, and
  # report false errors without them.)
  if [ "${BURNWELL_SANITIZED:-OFF}" != ON ]; then
    against_relayd "--max-connections 300 --max-per-user 300" 40 exhaust --count 100 ||
      fail "descriptor limit"
    grep -q "cannot accept a client" "$work/relayd.err" || fail "the shortage is not told"
  fi
  ;;
fair-share)
  # No member can shut out another: the relay (and the emulated machine behind it) runs as uid
  # 65534, a member of its own; root holds as many connections of each hostile kind as it
  # can while uid 65534 opens the bridge and sends a command.
  if [ "$(id -u)" -ne 0 ]; then echo "skip: needs root to run two users"; exit 0; fi
  share="$work/share"
  mkdir "$share" && chown 65534:65534 "$share" && chmod 755 "$work"
  setpriv --reuid=65534 --regid=65534 --clear-groups -- "$sim" --machine "$work/machine" -- sh -c '
    "$1" --socket "$2/relayd/relay" >"$2/relayd.out" 2>"$2/relayd.err" &
    pid=$!
    i=0
    while ! grep -q "serving the relay" "$2/relayd.out" && [ $i -lt 2400 ]; do sleep 0.05; i=$((i + 1)); done
    echo $pid > "$2/ready"
    i=0
    while [ ! -e "$2/done" ] && [ $i -lt 3000 ]; do sleep 0.1; i=$((i + 1)); done
    kill -TERM $pid
    wait $pid' sh "$relayd" "$share" &
  machine=$!
  i=0
  while [ ! -s "$share/ready" ] && [ $i -lt 2400 ]; do sleep 0.05; i=$((i + 1)); done
  # bench/relay-fair-share.sh asks for more rounds, a pause apart.
  "$python" "$here/relay_hostile_client.py" share --socket "$share/relayd/relay" \
    --relayd-output "$share/relayd.out" --relayd-pid "$(cat "$share/ready")" --count 128 \
    --vid "$vid" --rounds "${SHARE_ROUNDS:-1}" --pause "${SHARE_PAUSE:-0}"
  status=$?
  touch "$share/done"
  wait $machine || status=1
  cat "$share/relayd.out" "$share/relayd.err"
  [ $status -eq 0 ] || fail "a member was shut out"
  grep -q "uid 0: refused: this user holds 32 connections" "$share/relayd.err" ||
    fail "refusals do not name the uid"
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
  # A fresh output file each time: the wait below must not find an earlier run's "serving".
  rm -f "$work/out"
  "$sim" serve --socket "$work/new/relay" > "$work/out" 2>&1 &
  pid=$!
  i=0
  while ! grep -qs serving "$work/out" && [ $i -lt 2400 ]; do sleep 0.05; i=$((i + 1)); done
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
  # Missing folders above it get 0755 whatever the umask.
  rm -f "$work/out"
  ( umask 000 && exec "$relayd" --socket "$work/up/down/relay" > "$work/out" 2>&1 ) &
  pid=$!
  i=0
  while ! grep -qs serving "$work/out" && [ $i -lt 2400 ]; do sleep 0.05; i=$((i + 1)); done
  kill -TERM $pid
  wait $pid
  [ "$(stat -c %a "$work/up")" = 755 ] || fail "a missing parent folder: $(stat -c %a "$work/up")"
  # A folder in which others could put a link where the socket goes is refused: writable by
  # others (sticky or not), or another user's.
  mkdir "$work/open" "$work/sticky" "$work/theirs"
  chmod 0777 "$work/open"
  chmod 1777 "$work/sticky"
  chmod 0775 "$work/theirs"
  refused="$work/open $work/sticky $work/theirs"
  if [ "$(id -u)" -eq 0 ]; then
    mkdir "$work/other" && chown 65534:65534 "$work/other" && chmod 0755 "$work/other"
    refused="$refused $work/other"
  fi
  for folder in $refused; do
    "$relayd" --socket "$folder/relay" > "$work/out" 2>&1 && fail "relayd served in $folder"
    grep -q "not serving in $folder: " "$work/out" || fail "no reason given: $(cat "$work/out")"
    [ ! -e "$folder/relay" ] || fail "a socket was made in $folder"
  done
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo ok
