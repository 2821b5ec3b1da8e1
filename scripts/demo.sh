#!/usr/bin/env bash
# Installs what building and running need (none of the test tools), builds, and runs the
# updater the way a technician does: in a folder holding Config.ini and the firmware file. With no bridge attached, the update runs
# against an emulated bridge (burnwell-sim), and the emulated flash is shown afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh build
cmake --preset default -DBURNWELL_TESTS=OFF ${BURNWELL_CMAKE_ARGS:-} >/dev/null
cmake --build --preset default -j"$(nproc)" --target burnwell burnwell-tool burnwell-sim

bin=$PWD/build/default/tools
run=$PWD/build/demo-run
rm -rf "$run" && mkdir -p "$run"
cp examples/Config.ini examples/ZQ5x8x.hex "$run"/
cd "$run"

view=()
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then view=(--terminal); fi

if "$bin/burnwell-tool/burnwell-tool" list >/dev/null 2>&1; then
  echo "== A bridge is attached: running the updater on it (answer the warning yourself)"
  exec "$bin/burnwell/burnwell" "${view[@]}"
fi

echo "== No bridge attached: updating an emulated bridge (firmware \"ZQ5x\", serial flash MX25L1005)"
echo "== in $run; the backup warning is answered with y"
status=0
echo y | "$bin/burnwell-sim/burnwell-sim" --firmware 0x5A513578 --latency-us 50 --image flash.bin \
  --trace-spi spi-trace.txt -- "$bin/burnwell/burnwell" "${view[@]}" || status=$?
echo "== burnwell exited with status $status (0: updated and verified)"
echo "== The emulated flash afterwards (flash.bin): validity marker and checksum at offset 11:"
od -A d -t x1 -j 11 -N 3 flash.bin | head -1
echo "== The loaded file's checksum for comparison:"
"$bin/burnwell-tool/burnwell-tool" info ZQ5x8x.hex | grep -E '^(checksum|marker)'
echo "== $(wc -l <spi-trace.txt) serial-flash transactions are in $run/spi-trace.txt"
exit $status
