#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL cluster: initdb in a temporary folder, a
# server on a free loopback port (as the postgres user when run as root, since PostgreSQL
# refuses to run as root), ORDAX_TEST_PG naming it, then the cluster stopped by its PID and
# the folder removed. Exits 77 (skipped) only when PostgreSQL is not installed.
#   tests/server/pgcluster.sh COMMAND [ARGS...]
set -uo pipefail
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "SKIPPED: PostgreSQL is not installed (scripts/deps.sh --test installs it)"
  exit 77
fi
as=()
if [ "$(id -u)" -eq 0 ]; then as=(runuser -u postgres --); fi
dir=$(mktemp -d /tmp/ordax_pg.XXXXXX)
chmod 755 "$dir"
[ ${#as[@]} -gt 0 ] && chown postgres "$dir"
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill -INT "$pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
"${as[@]}" "$bin/initdb" -D "$dir/data" -U postgres -A trust >"$dir/initdb.log" 2>&1 ||
  { cat "$dir/initdb.log"; exit 1; }
# A free port from the kernel; if another process takes it first, the start fails and the
# next port is tried (five times at most).
for attempt in 1 2 3 4 5; do
  port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
    -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null && break
  port=
done
[ -n "$port" ] || { cat "$dir/server.log"; exit 1; }
pid=$(head -1 "$dir/data/postmaster.pid")
export ORDAX_TEST_PG="postgresql://postgres@127.0.0.1:$port/postgres"
"$@"
