#!/usr/bin/env bash
# Builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer in build-test/, starts a
# throwaway PostgreSQL cluster and a throwaway MariaDB server (reached through ODBC) for the
# database tests and runs every test through CTest.
# Installs missing Debian packages first. Exits with CTest's status.
# Extra arguments go to ctest, e.g. scripts/test.sh -R ulhashlist
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

tabrix_ensure_packages
tabrix_build build-test -DCMAKE_BUILD_TYPE=Debug -DTABRIX_SANITIZE=ON -DTABRIX_TESTS=ON

# Defaults first, so that options the caller already set win.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
# A skipped test fails here: the PostgreSQL and ODBC parts of the suite must run, not vanish as
# "skipped".
export TABRIX_TESTS_NO_SKIP=1
# Allocations kept inside third-party ODBC drivers are not ours to free (see the file).
export LSAN_OPTIONS="suppressions=$TABRIX_ROOT/tests/lsan-drivers.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

tabrix_say "Starting a throwaway PostgreSQL cluster"
tabrix_pg_start_until_exit
tabrix_note "PGHOST=$PGHOST PGPORT=$PGPORT PGDATABASE=$PGDATABASE PGUSER=$PGUSER"
# shellcheck disable=SC2154 # assigned by the eval above
tabrix_note "dbs_pgsql_conninfo=$dbs_pgsql_conninfo"

tabrix_say "Starting a throwaway MariaDB server"
tabrix_mariadb_start_until_exit
# shellcheck disable=SC2154 # assigned by the eval above
tabrix_note "TABRIX_ODBC_MARIADB=$TABRIX_ODBC_MARIADB"

tabrix_say "Running the tests (ctest -j$TABRIX_JOBS)"
rc=0
(cd "$TABRIX_ROOT/build-test" &&
  ctest --output-on-failure --no-tests=error --timeout 600 -j "$TABRIX_JOBS" "$@") || rc=$?
if ((rc == 0)); then
  tabrix_say "All tests passed"
else
  tabrix_say "Tests FAILED (ctest exit code $rc)"
fi
exit "$rc"
