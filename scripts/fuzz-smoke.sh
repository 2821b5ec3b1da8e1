#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded number of inputs from its seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh build fuzz
runs="${FUZZ_RUNS:-20000}"
cmake --preset fuzz ${BURNWELL_CMAKE_ARGS:-}
cmake --build --preset fuzz -j"$(nproc)"
shopt -s nullglob
status=0
for target in build/fuzz/fuzz/*/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  seeds="fuzz/$(basename "$(dirname "$target")")/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  echo "== $name ($runs runs)"
  if [ -d "$seeds" ]; then cp -r "$seeds"/. "$work"/; fi
  if ! "$target" -runs="$runs" -max_len=4096 -timeout=10 "$work" >"$work.log" 2>&1; then
    tail -40 "$work.log"; status=1
  else
    tail -1 "$work.log"
  fi
  rm -rf "$work" "$work.log"
done
exit $status
