#!/usr/bin/env bash
# Throwaway MariaDB server for tests: a fresh data directory in a new directory under /tmp, a
# unix socket in that directory and no TCP port, a database tabrix_test, root without password
# (reachable only through the socket), table names without case (lower_case_table_names=1, as
# the tool's names ignore case on every engine) and a binary UTF-8 collation.
#
#   scripts/mariadbtest.sh start            start a server; prints shell export lines on standard
#                                           output (use: env=$(scripts/mariadbtest.sh start) && eval "$env")
#   scripts/mariadbtest.sh stop DIR         stop the server in DIR and remove DIR
#   scripts/mariadbtest.sh run CMD [ARG...] start, run CMD with the variables, stop
#   scripts/mariadbtest.sh clean            stop and remove servers whose owning process is gone
#
# The exported variables are TABRIX_MARIADBTEST_DIR, TABRIX_MARIADB_SOCKET and
# TABRIX_ODBC_MARIADB (an ODBC connection string for the server without a database: append
# ";Database=tabrix_test" or another database for dbs_odbc_conninfo).
# A server started with TABRIX_MARIADBTEST_OWNER=PID belongs to that process: once it is gone,
# `clean` (which every `start` runs first) removes it.
set -euo pipefail

PREFIX=/tmp/tabrix-mariadbtest.
DB=tabrix_test

say() { printf '[mariadbtest] %s\n' "$*" >&2; }
die() {
  printf '[mariadbtest] ERROR: %s\n' "$*" >&2
  exit 1
}

alive() { [ -n "$1" ] && [ -d "/proc/$1" ]; }

check_dir() {
  case "$1" in
    "$PREFIX"??????) [ -d "$1" ] || die "no such server directory: $1" ;;
    *) die "not a server directory of this script: '$1'" ;;
  esac
}

stop_server() {
  local dir=$1 pid
  [ -f "$dir/server.pid" ] || return 0
  pid=$(cat "$dir/server.pid" 2>/dev/null) || return 0
  alive "$pid" || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 300); do
    alive "$pid" || return 0
    sleep 0.1
  done
  say "server $pid did not stop; killing it"
  kill -9 "$pid" 2>/dev/null || true
}

cmd_stop() {
  [ $# -eq 1 ] || die "usage: mariadbtest.sh stop DIR"
  local dir=${1%/}
  check_dir "$dir"
  say "Stopping the server in $dir"
  stop_server "$dir"
  rm -rf "$dir"
}

cmd_clean() {
  local dir owner
  for dir in "$PREFIX"??????; do
    [ -d "$dir" ] || continue
    ((EUID == 0)) || [ -O "$dir/owner.pid" ] || continue
    owner=$(cat "$dir/owner.pid" 2>/dev/null) || owner=
    case "$owner" in
      none) continue ;;
      "") [ -n "$(find "$dir" -maxdepth 0 -mmin +30)" ] || continue ;;
      *) alive "$owner" && continue ;;
    esac
    say "Removing leftover server $dir (owner ${owner:-unknown} is gone)"
    stop_server "$dir"
    rm -rf "$dir" || say "could not remove $dir"
  done
}

emit_env() {
  local dir=$1
  printf 'export TABRIX_MARIADBTEST_DIR=%q\n' "$dir"
  printf 'export TABRIX_MARIADB_SOCKET=%q\n' "$dir/mysqld.sock"
  printf 'export TABRIX_ODBC_MARIADB=%q\n' \
    "Driver=MariaDB Unicode;Socket=$dir/mysqld.sock;User=root;Password="
}

cmd_start() {
  local owner=${TABRIX_MARIADBTEST_OWNER:-none} dir run_as=()
  command -v mariadbd >/dev/null 2>&1 || [ -x /usr/sbin/mariadbd ] ||
    die "no MariaDB server found (package mariadb-server)"
  cmd_clean
  dir=$(mktemp -d "${PREFIX}XXXXXX")
  trap 'stop_server "$dir"; rm -rf "$dir"' EXIT
  printf '%s\n' "$owner" >"$dir/owner.pid"
  if ((EUID == 0)); then
    chown mysql: "$dir"
    run_as=(--user=mysql)
  fi
  chmod 755 "$dir"
  cat >"$dir/my.cnf" <<EOF
[mariadbd]
datadir=$dir/data
socket=$dir/mysqld.sock
pid-file=$dir/server.pid
log-error=$dir/server.log
skip-networking
lower_case_table_names=1
character-set-server=utf8mb4
collation-server=utf8mb4_bin
innodb_buffer_pool_size=64M
innodb_log_file_size=16M
innodb_flush_log_at_trx_commit=0
skip-log-bin
EOF
  say "Creating a data directory in $dir"
  mariadb-install-db --defaults-file="$dir/my.cnf" "${run_as[@]}" \
    --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1 || {
    cat "$dir/install.log" >&2
    die "mariadb-install-db failed"
  }
  local server=mariadbd
  command -v mariadbd >/dev/null 2>&1 || server=/usr/sbin/mariadbd
  "$server" --defaults-file="$dir/my.cnf" "${run_as[@]}" </dev/null >/dev/null 2>&1 &
  local i
  for i in $(seq 1 600); do
    mariadb-admin --socket="$dir/mysqld.sock" -uroot ping >/dev/null 2>&1 && break
    [ "$i" -eq 600 ] && {
      tail -n 20 "$dir/server.log" >&2 || true
      die "the server did not start"
    }
    sleep 0.1
  done
  mariadb --socket="$dir/mysqld.sock" -uroot -e "CREATE DATABASE $DB" ||
    die "creating database $DB failed"
  say "Server on socket $dir/mysqld.sock, database $DB"
  emit_env "$dir" >"$dir/env.sh"
  trap - EXIT
  emit_env "$dir"
}

# shellcheck source-path=SCRIPTDIR source=throwaway.sh
source "$(dirname "${BASH_SOURCE[0]}")/throwaway.sh"
throwaway_main mariadbtest.sh TABRIX_MARIADBTEST_OWNER TABRIX_MARIADBTEST_DIR "$@"
