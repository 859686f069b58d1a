#!/usr/bin/env bash
# Builds a Release binary in build-release/ and runs tabrix the way a migration controller does:
# one command per run, judged by its log lines and exit code. Installs missing Debian packages
# first. Run it from anywhere: scripts/demo.sh
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

tabrix_ensure_packages
tabrix_build build-release -DCMAKE_BUILD_TYPE=Release -DTABRIX_SANITIZE=OFF \
  -DTABRIX_TESTS=OFF -DTABRIX_BENCH=OFF
TABRIX=$TABRIX_ROOT/build-release/tabrix
[ -x "$TABRIX" ] || tabrix_die "the build did not produce $TABRIX"

work=$(mktemp -d "${TMPDIR:-/tmp}/tabrix-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

# run_tabrix TITLE CMD...: runs one command, shows its output and leaves its exit code in $rc.
run_tabrix() {
  tabrix_say "$1"
  shift
  tabrix_note "\$ $*"
  rc=0
  "$@" || rc=$?
  tabrix_note "exit code: $rc"
}

run_tabrix "Usage text (no command; exit code 5 means usage)" "$TABRIX"
((rc == 5)) || tabrix_die "the usage text ended with exit code $rc instead of 5"

# ---------------------------------------------------------------------------------------------
# MAIN JOB: database check on SQLite.
# For now this only runs `dbping` against a fresh SQLite file and reports its exit code; until
# the command exists it ends with 20 (fatal), which does not fail the demo. This section becomes
# the table check: fill a table on both sides, crctable there and back, crceval, and fail the
# demo on any exit code other than the expected one.
# ---------------------------------------------------------------------------------------------
export dbs_sqlite_db=$work/demo.db
tabrix_say "Creating the SQLite database $dbs_sqlite_db"
/usr/bin/python3 - "$dbs_sqlite_db" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("CREATE TABLE SVERS (VERSION VARCHAR(28) NOT NULL)")
db.execute("INSERT INTO SVERS VALUES ('demo')")
db.commit()
db.close()
EOF
run_tabrix "dbping on SQLite (dbs_sqlite_db=$dbs_sqlite_db)" "$TABRIX" dbping sleep=0.1 3
if ((rc == 0)); then
  tabrix_note "dbping succeeded"
else
  tabrix_note "dbping failed with exit code $rc (expected while the command is not built yet)"
fi
# ------------------------------------ end of MAIN JOB ---------------------------------------

tabrix_say "Demo finished"
