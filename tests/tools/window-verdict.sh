#!/bin/sh
# The updater's window on a private X screen in front of an emulated bridge: the backup warning
# and the result box are answered with Return as an operator would, and once the window has
# closed the verdict is on standard output. Then a run refused before any writing (two bridges).
# Usage: window-verdict.sh BURNWELL_SIM BURNWELL EXAMPLES
set -u
sim=$(realpath "$1")
updater=$(realpath "$2")
examples=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
  echo "skip: needs Xvfb and xdotool (scripts/setup-debian.sh render)"; exit 0
fi
if ! ldd "$updater" | grep -q Qt6; then echo "skip: this build has no window"; exit 0; fi
cp "$examples/Config.ini" "$examples/ZQ5x8x.hex" "$work/"

# A private X screen; Xvfb picks a free display number itself (two runs at once never share one).
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.err" &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
i=0
while [ ! -s "$work/display" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
[ -s "$work/display" ] || { cat "$work/xvfb.err"; fail "Xvfb did not start"; }
export DISPLAY=":$(cat "$work/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

# Runs the updater with the given machine options; presses Return in each box of the given names
# in turn; leaves the updater's output in $work/out and its status in $work/status.
run_window() {  # "SIM OPTIONS" BOX...
  options=$1
  shift
  cd "$work" || exit 1
  BURNWELL_HISTORY="$work/history.db" "$sim" $options -- "$updater" >out 2>err &
  pid=$!
  for box in "$@"; do
    # The box, or the updater ending without it (up to five minutes on a loaded machine).
    window=""
    i=0
    while [ -z "$window" ] && kill -0 $pid 2>/dev/null && [ $i -lt 3000 ]; do
      window=$(xdotool search --onlyvisible --name "^$box\$" 2>/dev/null | head -1)
      [ -n "$window" ] || sleep 0.1
      i=$((i + 1))
    done
    [ -n "$window" ] || { echo "no box named $box" >>err; break; }
    xdotool windowfocus --sync "$window" key Return
    # The next box may carry the same name: wait until this one is gone.
    i=0
    while xdotool getwindowname "$window" >/dev/null 2>&1 && [ $i -lt 600 ]; do
      sleep 0.1; i=$((i + 1))
    done
  done
  wait $pid
  echo $? >status
}

show() { cat "$work/out" "$work/err" >&2; }

# One bridge, updated: the warning, then the result boxes.
run_window "--latency-us 0 --firmware 0x5A513578" Warning Burnwell Burnwell
[ "$(cat "$work/status")" = 0 ] || { show; fail "the update did not succeed"; }
grep -q "^burnwell: updated and verified: the bridge at 1-1 (serial [^)]*) holds checksum [0-9A-F]\{4\}; power-cycle it$" \
  "$work/out" || { show; fail "no verdict after an update"; }
cat "$work/out"

# Two bridges: refused in a box before the warning; the verdict says why.
cat > "$work/machine" <<'MACHINE'
bridge 1-1 pid=0x5801 serial=FIRST
bridge 1-2 pid=0x5801 serial=SECOND
MACHINE
run_window "--machine $work/machine" Error
[ "$(cat "$work/status")" = 14 ] || { show; fail "two bridges were not refused"; }
grep -q "^burnwell: not updated: more than one bridge attached" "$work/out" ||
  { show; fail "no verdict after a refusal"; }
cat "$work/out"
