#!/usr/bin/env bash
# A throwaway PostgreSQL server for tests and benchmarks, on a Unix socket only.
#   eval "$(bash scripts/pg-server.sh start DIR)"   # makes a cluster in DIR, starts it, creates database kq,
#                                                   # prints PGHOST, PGPORT, PGUSER and PGDATABASE to export
#   bash scripts/pg-server.sh restart DIR [SECONDS] # stops it (fast: sessions are ended), leaves it down
#                                                   # SECONDS (default 0), starts it again on the same data
#   bash scripts/pg-server.sh stop DIR              # stops it and removes DIR
# The server refuses to run as root, so under root (as in CI) it runs as the unprivileged user kqpg,
# made on first use. Diagnostics go to DIR/server.log and to standard error, never to standard output.
set -euo pipefail

die() {
  echo "pg-server: $*" >&2
  exit 1
}
[ $# -eq 2 ] || [ $# -eq 3 ] || die "usage: pg-server.sh start|restart|stop DIR [SECONDS]"
action=$1
dir=$2
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -n "$bindir" ] && [ -x "$bindir/initdb" ] || die "no PostgreSQL server here (Debian package postgresql)"

as_owner=()
owner=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  owner=kqpg
  id -u "$owner" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$owner"
  as_owner=(runuser -u "$owner" --)
fi

# Starts the cluster in $1/data on its socket folder; the log is appended to.
run_server() {
  "${as_owner[@]}" "$bindir/pg_ctl" --pgdata="$1/data" --log="$1/server.log" --wait --silent \
    -o "-c listen_addresses='' -c unix_socket_directories='$1' -c fsync=off -k '$1'" start >&2 ||
    { cat "$1/server.log" >&2; die "the server did not start"; }
}

case $action in
  start)
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    if [ "$(id -u)" -eq 0 ]; then
      chown "$owner" "$dir"
      # A private temporary parent (mktemp -d is 0700) must let the server's user pass through it.
      parent=$(dirname "$dir")
      [ "$(stat -c %U "$parent")" != root ] || chmod a+x "$parent"
      "${as_owner[@]}" test -x "$dir" || die "user $owner cannot reach $dir: choose a folder it can pass through"
    fi
    chmod 0755 "$dir"
    "${as_owner[@]}" "$bindir/initdb" --pgdata="$dir/data" --auth=trust --username="$owner" --no-sync \
      --encoding=UTF8 --locale=C >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; die "initdb failed"; }
    run_server "$dir"
    "${as_owner[@]}" "$bindir/createdb" --host="$dir" --username="$owner" kq >&2 || die "createdb failed"
    echo "export PGHOST='$dir' PGPORT=5432 PGUSER='$owner' PGDATABASE=kq"
    ;;
  restart)
    [ -d "$dir/data" ] || die "no cluster in $dir"
    "${as_owner[@]}" "$bindir/pg_ctl" --pgdata="$dir/data" --mode=fast --wait --silent stop >&2 ||
      die "the server did not stop"
    sleep "${3:-0}"
    run_server "$dir"
    ;;
  stop)
    if [ -d "$dir/data" ]; then
      "${as_owner[@]}" "$bindir/pg_ctl" --pgdata="$dir/data" --mode=immediate --wait --silent stop >&2 || true
    fi
    rm -rf "$dir"
    ;;
  *) die "usage: pg-server.sh start|restart|stop DIR [SECONDS]" ;;
esac
