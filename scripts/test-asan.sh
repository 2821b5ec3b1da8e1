#!/usr/bin/env bash
# The whole native suite under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh build test
cmake --preset asan ${BURNWELL_CMAKE_ARGS:-}
cmake --build --preset asan -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j2
