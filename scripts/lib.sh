# shellcheck shell=bash
# Shared helpers of the scripts in this folder. Source it from bash; it defines functions and
# variables only and changes no shell options.

TABRIX_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TABRIX_JOBS=${TABRIX_JOBS:-2}

# Debian packages that building, testing and the demo need. libdfp-dev carries decNumber,
# libzstd-dev the compression of cluster records and long fields, unixodbc-dev the ODBC engine;
# the ODBC drivers and the MariaDB server serve its tests.
TABRIX_PACKAGES=(
  build-essential g++ cmake pkg-config
  libgtest-dev libsqlite3-dev libpq-dev libicu-dev libdfp-dev libzstd-dev unixodbc-dev
  postgresql python3
  odbc-postgresql libsqliteodbc mariadb-server odbc-mariadb
)

tabrix_say() { printf '\n==> %s\n' "$*" >&2; }
tabrix_note() { printf '    %s\n' "$*" >&2; }
tabrix_die() {
  printf 'ERROR: %s\n' "$*" >&2
  exit 1
}

# Prints the names of the packages of TABRIX_PACKAGES that are not installed, one a line.
tabrix_missing_packages() {
  local pkg status
  for pkg in "${TABRIX_PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null) || status=
    [ "$status" = installed ] || printf '%s\n' "$pkg"
  done
}

# Installs the missing packages. Touches apt only when something is missing, so a second run
# neither updates the package lists nor installs anything.
tabrix_ensure_packages() {
  local missing=() sudo=()
  mapfile -t missing < <(tabrix_missing_packages)
  if ((${#missing[@]} == 0)); then
    tabrix_say "All ${#TABRIX_PACKAGES[@]} required packages are installed"
    return 0
  fi
  tabrix_say "Installing missing packages: ${missing[*]}"
  if ((EUID != 0)); then
    command -v sudo >/dev/null 2>&1 ||
      tabrix_die "not root and no sudo: install these packages first: ${missing[*]}"
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=300 update ||
    tabrix_die "apt-get update failed"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 \
    install -y --no-install-recommends "${missing[@]}" </dev/null ||
    tabrix_die "apt-get install failed for: ${missing[*]}"
  mapfile -t missing < <(tabrix_missing_packages)
  ((${#missing[@]} == 0)) || tabrix_die "still not installed: ${missing[*]}"
}

# tabrix_build DIR CMAKE-ARGS...: configures DIR (relative to the repository root) and builds it.
tabrix_build() {
  local dir=$1
  shift
  tabrix_say "Configuring $dir ($*)"
  cmake -S "$TABRIX_ROOT" -B "$TABRIX_ROOT/$dir" "$@" || tabrix_die "cmake configure of $dir failed"
  tabrix_say "Building $dir with -j$TABRIX_JOBS"
  cmake --build "$TABRIX_ROOT/$dir" -j "$TABRIX_JOBS" || tabrix_die "build of $dir failed"
}

# Starts a throwaway PostgreSQL cluster owned by this script (scripts/pgtest.sh) and exports its
# connection environment (PGHOST, PGPORT, ..., dbs_pgsql_conninfo, TABRIX_PGTEST_DIR).
tabrix_pg_start() {
  local pgenv
  pgenv=$(TABRIX_PGTEST_OWNER=$$ bash "$TABRIX_ROOT/scripts/pgtest.sh" start) ||
    tabrix_die "the PostgreSQL cluster did not start"
  eval "$pgenv"
}

# tabrix_pg_start, and the cluster is stopped when the script ends, also on Ctrl-C or TERM.
tabrix_pg_start_until_exit() {
  tabrix_pg_start
  trap 'tabrix_stop_servers' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# Starts a throwaway MariaDB server owned by this script (scripts/mariadbtest.sh), exports its
# variables (TABRIX_ODBC_MARIADB, ...) and stops it when the script ends, with the PostgreSQL
# cluster if there is one.
tabrix_mariadb_start_until_exit() {
  local env
  env=$(TABRIX_MARIADBTEST_OWNER=$$ bash "$TABRIX_ROOT/scripts/mariadbtest.sh" start) ||
    tabrix_die "the MariaDB server did not start"
  eval "$env"
  trap 'tabrix_stop_servers' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

tabrix_stop_servers() {
  if [ -n "${TABRIX_MARIADBTEST_DIR:-}" ]; then
    bash "$TABRIX_ROOT/scripts/mariadbtest.sh" stop "$TABRIX_MARIADBTEST_DIR"
  fi
  if [ -n "${TABRIX_PGTEST_DIR:-}" ]; then
    bash "$TABRIX_ROOT/scripts/pgtest.sh" stop "$TABRIX_PGTEST_DIR"
  fi
}
