#!/usr/bin/env bash
# Throwaway PostgreSQL cluster for tests: a fresh cluster in a new directory under /tmp, listening
# on 127.0.0.1 and on a unix socket in that directory, on a free port, trust authentication,
# C collation, a database tabrix_test and a superuser role named as the calling user.
#
#   scripts/pgtest.sh start            start a cluster; prints shell export lines on standard
#                                      output (use: env=$(scripts/pgtest.sh start) && eval "$env")
#   scripts/pgtest.sh stop DIR         stop the cluster in DIR and remove DIR
#   scripts/pgtest.sh run CMD [ARG...] start, run CMD with the connection variables, stop;
#                                      e.g. scripts/pgtest.sh run psql
#   scripts/pgtest.sh clean            stop and remove clusters whose owning process is gone
#
# The exported variables are PGHOST (the socket directory), PGPORT, PGDATABASE, PGUSER,
# dbs_pgsql_conninfo and TABRIX_PGTEST_DIR; DIR/env.sh holds the same lines for `source`.
# The server refuses to run as root, so as root the cluster belongs to the postgres user.
# A cluster started with TABRIX_PGTEST_OWNER=PID belongs to that process: once it is gone,
# `clean` (which every `start` runs first) removes the cluster, so killed runs leave nothing
# behind. Without it the cluster stays until `stop`.
set -euo pipefail

PGTEST_PREFIX=/tmp/tabrix-pgtest.
PGTEST_DB=tabrix_test

say() { printf '[pgtest] %s\n' "$*" >&2; }
die() {
  printf '[pgtest] ERROR: %s\n' "$*" >&2
  exit 1
}

find_bindir() {
  if [ -n "${PG_BINDIR:-}" ]; then
    [ -x "$PG_BINDIR/initdb" ] || die "PG_BINDIR=$PG_BINDIR has no initdb"
    printf '%s\n' "$PG_BINDIR"
    return
  fi
  local dirs
  dirs=$(printf '%s\n' /usr/lib/postgresql/*/bin | sort -V)
  local dir best=
  for dir in $dirs; do
    [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ] && best=$dir
  done
  [ -n "$best" ] || die "no PostgreSQL server found under /usr/lib/postgresql/*/bin (package postgresql)"
  printf '%s\n' "$best"
}

# Runs a command as the user the server runs as, from inside DIR so that an unreadable working
# directory (root's home) does not bother the server tools.
as_pguser() {
  local dir=$1
  shift
  if ((EUID == 0)); then
    (cd "$dir" && runuser -u postgres -- "$@")
  else
    (cd "$dir" && "$@")
  fi
}

# True when a process with this pid exists (also when it belongs to another user).
alive() { [ -n "$1" ] && [ -d "/proc/$1" ]; }

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

pick_port() {
  local port tries
  for ((tries = 0; tries < 100; tries++)); do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_in_use "$port" || {
      printf '%s\n' "$port"
      return
    }
  done
  die "no free port found"
}

# Accepts only directories that `start` creates, so that `stop` cannot remove anything else.
check_dir() {
  case "$1" in
    "$PGTEST_PREFIX"??????) [ -d "$1" ] || die "no such cluster directory: $1" ;;
    *) die "not a cluster directory of this script: '$1'" ;;
  esac
}

stop_server() {
  local dir=$1 mode=$2
  [ -f "$dir/data/postmaster.pid" ] || return 0
  local bindir
  bindir=$(find_bindir)
  as_pguser "$dir" "$bindir/pg_ctl" -D "$dir/data" -m "$mode" -w -t 60 stop >&2 ||
    say "pg_ctl stop failed for $dir (server log: $dir/server.log)"
}

cmd_stop() {
  [ $# -eq 1 ] || die "usage: pgtest.sh stop DIR"
  local dir=${1%/}
  check_dir "$dir"
  say "Stopping the cluster in $dir"
  stop_server "$dir" fast
  rm -rf "$dir"
}

cmd_clean() {
  local dir owner
  for dir in "$PGTEST_PREFIX"??????; do
    [ -d "$dir" ] || continue
    # Other users' clusters are theirs to clean; root may clean any.
    ((EUID == 0)) || [ -O "$dir/owner.pid" ] || continue
    owner=$(cat "$dir/owner.pid" 2>/dev/null) || owner=
    case "$owner" in
      none) continue ;;
      "")
        # A `start` may be between mktemp and writing the owner; an old one died there.
        [ -n "$(find "$dir" -maxdepth 0 -mmin +30)" ] || continue
        ;;
      *) alive "$owner" && continue ;;
    esac
    say "Removing leftover cluster $dir (owner ${owner:-unknown} is gone)"
    stop_server "$dir" immediate
    rm -rf "$dir" || say "could not remove $dir"
  done
}

sql_quote_ident() { printf '"%s"' "${1//\"/\"\"}"; }

emit_env() {
  local dir=$1 port=$2 user=$3
  local conninfo="host=$dir port=$port dbname=$PGTEST_DB user=$user"
  printf 'export TABRIX_PGTEST_DIR=%q\n' "$dir"
  printf 'export PGHOST=%q\n' "$dir"
  printf 'export PGPORT=%q\n' "$port"
  printf 'export PGDATABASE=%q\n' "$PGTEST_DB"
  printf 'export PGUSER=%q\n' "$user"
  printf 'export dbs_pgsql_conninfo=%q\n' "$conninfo"
}

cmd_start() {
  local owner=${TABRIX_PGTEST_OWNER:-none}
  local bindir user bootstrap dir port attempt
  bindir=$(find_bindir)
  user=$(id -un)
  if ((EUID == 0)); then
    id postgres >/dev/null 2>&1 || die "user postgres missing (package postgresql)"
    bootstrap=postgres
  else
    bootstrap=$user
  fi
  cmd_clean

  dir=$(mktemp -d "${PGTEST_PREFIX}XXXXXX")
  # Until the cluster is handed over, any failure removes it again.
  trap 'stop_server "$dir" immediate; rm -rf "$dir"' EXIT
  printf '%s\n' "$owner" >"$dir/owner.pid"
  if ((EUID == 0)); then chown postgres:postgres "$dir"; fi

  say "Creating a cluster in $dir with $bindir"
  as_pguser "$dir" "$bindir/initdb" -D "$dir/data" -U "$bootstrap" --auth=trust \
    -E UTF8 --locale=C --no-sync >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    die "initdb failed"
  }
  cat >>"$dir/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
fsync = off
synchronous_commit = off
full_page_writes = off
EOF

  # Another process may take the port between the check and the start: try a few ports.
  for attempt in 1 2 3 4 5; do
    port=$(pick_port)
    printf 'port = %s\n' "$port" >>"$dir/data/postgresql.conf"
    if as_pguser "$dir" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >&2; then
      break
    fi
    if [ "$attempt" -eq 5 ]; then
      tail -n 20 "$dir/server.log" >&2 || true
      die "the server did not start"
    fi
    say "start on port $port failed, trying another port"
  done

  say "Server on port $port; creating database $PGTEST_DB for superuser $user"
  {
    if [ "$user" != "$bootstrap" ]; then
      printf 'CREATE ROLE %s SUPERUSER LOGIN;\n' "$(sql_quote_ident "$user")"
    fi
    printf 'CREATE DATABASE %s OWNER %s;\n' "$PGTEST_DB" "$(sql_quote_ident "$user")"
  } | "$bindir/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U "$bootstrap" -d postgres >&2 ||
    die "creating role and database failed"

  emit_env "$dir" "$port" "$user" >"$dir/env.sh"
  trap - EXIT
  emit_env "$dir" "$port" "$user"
}

# shellcheck source-path=SCRIPTDIR source=throwaway.sh
source "$(dirname "${BASH_SOURCE[0]}")/throwaway.sh"
throwaway_main pgtest.sh TABRIX_PGTEST_OWNER TABRIX_PGTEST_DIR "$@"
