#!/usr/bin/env bash
# What recording costs, on this machine: bench_history against a scratch PostgreSQL server of
# its own (stopped at the end). Usage: bench/history-bench.sh [BUILD_DIR] [ROWS]
# (default build/bench, 2000 rows)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/bench}
rows=${2:-2000}
bench="$build/bench/bench_history"
[ -x "$bench" ] || { echo "missing $bench: cmake --preset bench && cmake --build --preset bench --target bench_history" >&2; exit 1; }
work=$(mktemp -d /tmp/burnwell-history-bench.XXXXXX)
chmod 755 "$work"  # the server runs as nobody under root
trap '"$here/scripts/postgres-scratch.sh" stop "$work/pg" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
url=$("$here/scripts/postgres-scratch.sh" start "$work/pg")
printf 'cores: %s\n' "$(nproc)"
"$bench" "$work" "$url" "$rows"
