#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs the main job on the shipped example.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
cmake --preset default -DBURNWELL_TESTS=OFF ${BURNWELL_CMAKE_ARGS:-} >/dev/null
cmake --build --preset default -j"$(nproc)"
./build/default/tools/burnwell-tool info examples/ZQ5x8x.hex
