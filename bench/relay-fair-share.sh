#!/usr/bin/env bash
# Whether one member of the group burnwell can shut the others out of burnwell-relayd: root
# holds 128 connections of each hostile kind (silent; a one-byte keep-alive every 4.5 s; sending
# requests and never reading the replies) while uid 65534, the relay's own user, opens the
# bridge and sends a command, three times 6 s apart (the last after the relay's 10 s bound on an
# untaken reply has passed). Prints how long each took and the relay's resident memory and
# threads then. The relay and the emulated machine behind it run as uid 65534.
# Usage: bench/relay-fair-share.sh [BUILD_DIR]   (default build/default; needs root)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/default}
sim="$build/tools/burnwell-sim/burnwell-sim"
relayd="$build/tools/burnwell-relayd/burnwell-relayd"
for program in "$sim" "$relayd"; do
  [ -x "$program" ] || { echo "missing $program: build burnwell-sim and burnwell-relayd first" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "relay-fair-share: needs root, to run two users" >&2; exit 1; }
work=$(mktemp -d)
trap 'touch "$work/share/done" 2>/dev/null || true; rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/share" && chown 65534:65534 "$work/share"
printf 'bridge 1-2 pid=0x5801 serial=FIRST\n' > "$work/machine"

setpriv --reuid=65534 --regid=65534 --clear-groups -- "$sim" --machine "$work/machine" -- sh -c '
  "$1" --socket "$2/relayd/relay" >"$2/relayd.out" 2>"$2/relayd.err" &
  pid=$!
  i=0
  while ! grep -q "serving the relay" "$2/relayd.out" && [ $i -lt 400 ]; do sleep 0.05; i=$((i + 1)); done
  echo $pid > "$2/ready"
  while [ ! -e "$2/done" ]; do sleep 0.1; done
  kill -TERM $pid
  wait $pid' sh "$relayd" "$work/share" &
machine=$!
i=0
while [ ! -s "$work/share/ready" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i + 1)); done
pid=$(cat "$work/share/ready")
grep "serving the relay" "$work/share/relayd.out"
python3 "$here/tests/e2e/relay_hostile_client.py" share --socket "$work/share/relayd/relay" \
  --relayd-output "$work/share/relayd.out" --relayd-pid "$pid" --count 128 --rounds 3 --pause 6 || true
touch "$work/share/done"
wait $machine || true
grep "stopped after" "$work/share/relayd.out"
echo "refusal lines in the relay's log: $(wc -l < "$work/share/relayd.err"), for example:"
head -3 "$work/share/relayd.err"
