#!/usr/bin/env bash
# Sets up a fresh Debian machine for every build and test (the native suite, the sanitizers, fuzzing,
# the Windows build under Wine, the packages), builds natively and runs every unit and end-to-end test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh all
cmake --preset default ${BURNWELL_CMAKE_ARGS:-}
cmake --build --preset default -j"$(nproc)"
ctest --preset default -j2
