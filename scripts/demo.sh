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

# expect_exit CODE TITLE CMD...: runs one command like run_tabrix and fails the demo unless it
# ends with exit code CODE: a migration controller judges every run by its exit code.
expect_exit() {
  local expected=$1
  shift
  run_tabrix "$@"
  ((rc == expected)) || tabrix_die "unexpected exit code $rc (expected $expected) of: ${*:2}"
}

expect_exit 5 "Usage text (no command; exit code 5 means usage)" "$TABRIX"

# ---------------------------------------------------------------------------------------------
# MAIN JOB: what works on SQLite today: dbping, dumptable and splittable on a table of a few
# thousand rows, each judged by its exit code. This section becomes the table check: fill a
# table on both sides, crctable there and back, crceval.
# ---------------------------------------------------------------------------------------------
export dbms_type=SQLITE
export dbs_sqlite_db=$work/demo.db
tabrix_say "Creating the SQLite database $dbs_sqlite_db"
/usr/bin/python3 - "$dbs_sqlite_db" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("CREATE TABLE SVERS (VERSION VARCHAR(28) NOT NULL)")
db.execute("INSERT INTO SVERS VALUES ('demo')")
db.execute("CREATE TABLE ORDERS (REGION VARCHAR(10) NOT NULL, ORDER_NO INTEGER NOT NULL,"
           " AMOUNT DECIMAL(15,2), PRIMARY KEY (REGION, ORDER_NO))")
regions = ["EAST", "NORTH", "SOUTH", "WEST"]
db.executemany("INSERT INTO ORDERS VALUES (?, ?, ?)",
               ((regions[i % 4], i, round(i * 1.25, 2)) for i in range(1, 5001)))
db.commit()
db.close()
EOF
tabrix_note "tables SVERS (1 row) and ORDERS (5000 rows, key REGION, ORDER_NO)"

expect_exit 0 "dbping: connect and ping the database 3 times" "$TABRIX" dbping sleep=0.1 3
expect_exit 0 "dumptable: the version table" "$TABRIX" dumptable SVERS
expect_exit 0 "dumptable: ORDERS into a file" "$TABRIX" dumptable "outfile=$work/orders.txt" ORDERS
[ -s "$work/orders.txt" ] || tabrix_die "dumptable wrote no $work/orders.txt"
tabrix_note "the first lines of $work/orders.txt ($(wc -l <"$work/orders.txt") lines):"
head -n 4 "$work/orders.txt" | sed 's/^/      /' >&2
expect_exit 0 "splittable: ORDERS into 8 key ranges, each counted and checked" \
  "$TABRIX" splittable table=ORDERS nrsplits=8 count=check checkbounds "wherefile=$work/orders.whr"
[ -s "$work/orders.whr" ] || tabrix_die "splittable wrote no $work/orders.whr"
tabrix_note "the where file $work/orders.whr:"
sed 's/^/      /' "$work/orders.whr" >&2
expect_exit 20 "dumptable of a table that does not exist fails with exit code 20" \
  "$TABRIX" dumptable NO_SUCH_TABLE
# ------------------------------------ end of MAIN JOB ---------------------------------------

tabrix_say "Demo finished"
