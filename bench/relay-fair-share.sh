#!/usr/bin/env bash
# Whether one member of the group burnwell can shut the others out of burnwell-relayd: root
# holds 128 connections of each hostile kind (silent; a one-byte keep-alive every 4.5 s; sending
# requests and never reading the replies) while uid 65534, the relay's own user, opens the
# bridge and sends a command, three times 6 s apart (the last after the relay's 10 s bound on an
# untaken reply has passed). Prints how long each took and the relay's resident memory and
# threads then, the relay's counts and its log. The relay and the emulated machine behind it run
# as uid 65534. It is the fair-share case of tests/e2e/relayd_end_to_end.sh, with more rounds.
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
vid=$(sed -n 's/^BURNWELL_VID_MAKER:[A-Z]*=//p' "$build/CMakeCache.txt")
SHARE_ROUNDS=3 SHARE_PAUSE=6 sh "$here/tests/e2e/relayd_end_to_end.sh" fair-share "$sim" "$relayd" \
  python3 "${vid:-0x7E55}"
