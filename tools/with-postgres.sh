#!/bin/sh
# Runs a command beside a throw-away PostgreSQL server and stops the server
# afterwards, even when the command fails or is interrupted:
#   tools/with-postgres.sh COMMAND [ARGUMENTS...]
# The server's cluster lives in a new temporary directory, listens only on a
# Unix socket in that directory and trusts every local user; when this runs as
# root, the server runs as the unprivileged user "nobody". The command finds
# the connection string in KORVI_TEST_POSTGRES (a libpq key=value string for
# the database korvi_test) and the socket directory in KORVI_POSTGRES_DIR.
set -eu
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGUMENTS...]" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
if ! ls -d /usr/lib/postgresql/*/bin >/dev/null 2>&1; then
  KORVI_EXTRA_PACKAGES=postgresql tools/setup-deps.sh
fi
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)

dir=$(mktemp -d /tmp/korvi-pg.XXXXXX)
if [ "$(id -u)" -eq 0 ]; then
  chown nobody "$dir"
  as_server() { runuser -u nobody -- "$@"; }
else
  as_server() { "$@"; }
fi
stop() {
  as_server "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM

as_server "$bin/initdb" -D "$dir/data" -U korvi --auth=trust --encoding=UTF8 --no-locale \
  >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
if ! as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
  -o "-c listen_addresses='' -k $dir -p 5432 -c fsync=off -c max_connections=200" \
  start >/dev/null; then
  cat "$dir/server.log" >&2
  exit 1
fi
"$bin/createdb" -h "$dir" -p 5432 -U korvi korvi_test

export KORVI_POSTGRES_DIR="$dir"
export KORVI_TEST_POSTGRES="host=$dir port=5432 user=korvi dbname=korvi_test"
status=0
"$@" || status=$?
exit "$status"
