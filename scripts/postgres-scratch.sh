#!/usr/bin/env bash
# A throw-away PostgreSQL server for tests and benchmarks, in a folder of its own:
#
#   scripts/postgres-scratch.sh start DIR     initdb and start; prints the server's URL
#   scripts/postgres-scratch.sh stop DIR      stop it (the folder stays; rm -rf it after)
#   scripts/postgres-scratch.sh restart DIR   start it again after a stop; prints the URL
#
# The server listens on a Unix socket in DIR only (no TCP port), trusts its one user, and runs
# as an unprivileged user: initdb refuses root, so under root it runs as nobody, who owns DIR.
# Needs Debian's postgresql package (scripts/setup-debian.sh test installs it).
set -euo pipefail
action=${1:-}; dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "postgres-scratch.sh: no PostgreSQL server (install the Debian package postgresql)" >&2; exit 1; }
as_user=()
if [ "$(id -u)" -eq 0 ]; then as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --); fi
url="postgresql://burnwell@/postgres?host=$dir&port=5432"
start() {
  "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-k $dir -c listen_addresses= -p 5432 -c fsync=on" start >/dev/null \
    || { cat "$dir/server.log" >&2; exit 1; }
  echo "$url"
}
case $action in
  start)
    mkdir -p "$dir"
    [ "$(id -u)" -ne 0 ] || chown nobody:nogroup "$dir"
    chmod 700 "$dir"
    "${as_user[@]}" "$bin/initdb" -D "$dir/data" -U burnwell --auth=trust -E UTF8 --no-instructions >"$dir/initdb.log" 2>&1 \
      || { cat "$dir/initdb.log" >&2; exit 1; }
    start ;;
  restart) start ;;
  stop) "${as_user[@]}" "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null ;;
  *) echo "postgres-scratch.sh: unknown action '$action' (start, stop, restart)" >&2; exit 2 ;;
esac
