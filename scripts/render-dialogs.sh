#!/bin/sh
# Renders the updater's main dialog, as it asks for the backup warning, into PNG files: the Qt
# window (Linux) and the Win32 window (under Wine), each on its own Xvfb screen, using the
# shipped example Config.ini and firmware file. No bridge is touched: the picture is taken while
# the warning waits for an answer, and the program is then stopped.
# Then the Qt window through a whole update of an emulated bridge (burnwell-sim): the warning is
# answered with Return, one picture is taken while the update runs (dialog-qt-updating.png) and
# one when the result box is up (dialog-qt-done.png).
#
#   scripts/render-dialogs.sh [OUTDIR]        (default: docs/screenshots)
#
# BURNWELL_BUILD / BURNWELL_WIN_BUILD name the native and Windows build folders (default
# build-render, build-render-win); `burnwell` is built there when it is missing.
# BURNWELL_RENDER_WAIT is the seconds to wait before the picture (default 3, Wine gets 4 more).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-debian.sh" build render windows
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/screenshots}
case $out in /*) ;; *) out=$(pwd)/$out ;; esac
native=${BURNWELL_BUILD:-$root/build-render}
windows=${BURNWELL_WIN_BUILD:-$root/build-render-win}
wait_s=${BURNWELL_RENDER_WAIT:-3}
im=$(command -v convert-im6.q16 || command -v magick || echo convert)
mkdir -p "$out"

build() {  # folder, targets, extra cmake arguments...
  dir=$1
  targets=$2
  shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBURNWELL_TESTS=OFF "$@" >/dev/null
  fi
  cmake --build "$dir" --target $targets -j2 >/dev/null
}

# Runs a command on a private X screen, photographs the screen after a wait, stops the command
# and trims the picture to the windows.
shoot() {  # picture, seconds, command...
  picture=$1
  seconds=$2
  shift 2
  work=$(mktemp -d)
  cp "$root/examples/Config.ini" "$root/examples/ZQ5x8x.hex" "$work/"
  # Wine's prefix is made inside the X session: a prefix booted without a display shows no windows.
  (cd "$work" && xvfb-run -a -s '-screen 0 1024x768x24' sh -c '
      picture=$1; seconds=$2; root=$3; shift 3
      if [ "$1" = wine ]; then . "$root/scripts/wine-env.sh"; fi
      "$@" >/dev/null 2>&1 &
      pid=$!
      sleep "$seconds"
      import -window root "$picture"
      kill "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
      if [ "$1" = wine ]; then wine_env_cleanup; fi
    ' shoot "$picture.raw.png" "$seconds" "$root" "$@")
  "$im" "$picture.raw.png" -trim +repage "$picture"
  rm -f "$picture.raw.png"
  rm -rf "$work"
  echo "wrote $picture"
}

# The Qt window through an update of an emulated bridge, slowed down so that the pictures catch
# it: one once the flash is being programmed, one when the result box has opened.
shoot_update() {  # picture while updating, picture at the end
  work=$(mktemp -d)
  cp "$root/examples/Config.ini" "$root/examples/ZQ5x8x.hex" "$work/"
  (cd "$work" && xvfb-run -a -s '-screen 0 1024x768x24' sh -c '
      updating=$1; done=$2; sim=$3; updater=$4
      "$sim" --firmware 0x5A513578 --latency-us 100 --image flash.bin --trace-spi spi.txt -- "$updater" >/dev/null 2>&1 &
      pid=$!
      press_return_in() {  # window name
        window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$1\$" | head -1)
        [ -n "$window" ] || return 1
        xdotool windowfocus --sync "$window" key Return
      }
      press_return_in Warning || exit 1
      # Programming has begun once the chip has taken a few hundred transactions.
      for i in $(seq 600); do [ "$(wc -l <spi.txt 2>/dev/null || echo 0)" -gt 800 ] && break; sleep 0.1; done
      import -window root "$updating"
      timeout 600 xdotool search --sync --onlyvisible --name "^Burnwell\$" >/dev/null || exit 1
      sleep 1
      import -window root "$done"
      press_return_in Burnwell && sleep 1 && press_return_in Burnwell
      wait "$pid"
    ' shoot "$1.raw.png" "$2.raw.png" "$native/tools/burnwell-sim/burnwell-sim" "$native/tools/burnwell/burnwell") || status=1
  for picture in "$1" "$2"; do
    if [ -f "$picture.raw.png" ]; then
      "$im" "$picture.raw.png" -trim +repage "$picture"
      rm -f "$picture.raw.png"
      echo "wrote $picture"
    fi
  done
  rm -rf "$work"
}

status=0

build "$native" "burnwell burnwell-sim" -DBURNWELL_QT=ON
if ldd "$native/tools/burnwell/burnwell" | grep -q Qt6; then
  shoot "$out/dialog-qt.png" "$wait_s" "$native/tools/burnwell/burnwell"
  shoot_update "$out/dialog-qt-updating.png" "$out/dialog-qt-done.png"
else
  echo "render-dialogs: this build has no Qt backend (BURNWELL_QT off or Qt 6 missing)" >&2
  status=1
fi

build "$windows" burnwell -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DBURNWELL_QT=OFF
shoot "$out/dialog-win32.png" "$((wait_s + 6))" wine "$windows/tools/burnwell/burnwell.exe" || status=1

exit $status
