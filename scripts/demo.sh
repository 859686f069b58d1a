#!/usr/bin/env bash
# Builds a Release binary in build-release/ and checks two SQLite databases, a source and the
# target a migration made of it, with tabrix-tablecheck, which runs tabrix the way a migration
# controller does: one command per run, judged by its exit code. Fails unless exactly the
# planted differences are reported. Installs missing Debian packages first. Run it from
# anywhere: scripts/demo.sh
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
# MAIN JOB: the table check. A source database and the target that a migration made of it, four
# tables and some 280,000 rows, with planted differences: tabrix-tablecheck runs crctable on
# both sides in turn, then crceval, and must report exactly the planted differences.
# ---------------------------------------------------------------------------------------------
TABLECHECK=$TABRIX_ROOT/build-release/tabrix-tablecheck
[ -x "$TABLECHECK" ] || tabrix_die "the build did not produce $TABLECHECK"
source_db=$work/source.db
target_db=$work/target.db
tabrix_say "Creating the source database $source_db"
/usr/bin/python3 - "$source_db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.executescript("""
PRAGMA journal_mode = WAL;
CREATE TABLE CUSTOMERS (CUST_ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(40),
                        CITY VARCHAR(30), BALANCE DECIMAL(15,2));
CREATE TABLE ORDERS (REGION VARCHAR(10) NOT NULL, ORDER_NO INTEGER NOT NULL,
                     CUST_ID INTEGER, AMOUNT DECIMAL(15,2), STATUS CHAR(1),
                     PRIMARY KEY (REGION, ORDER_NO));
CREATE TABLE DOCUMENTS (DOC_ID INTEGER NOT NULL PRIMARY KEY, TITLE VARCHAR(80), BODY TEXT);
CREATE TABLE PRODUCTS (PRODUCT_ID INTEGER NOT NULL PRIMARY KEY, NAME VARCHAR(40),
                       PRICE DECIMAL(11,2));
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 50000)
INSERT INTO CUSTOMERS SELECT 2 * i, 'Customer ' || i, 'City ' || (i % 311), (i % 9973) * 1.25
  FROM c;
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 200000)
INSERT INTO ORDERS SELECT CASE i % 4 WHEN 0 THEN 'EAST' WHEN 1 THEN 'NORTH' WHEN 2 THEN 'SOUTH'
                          ELSE 'WEST' END, i, 1 + i % 50000, (i % 100003) * 0.5,
                          substr('NPSC', 1 + i % 4, 1) FROM c;
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 20000)
INSERT INTO DOCUMENTS SELECT i, 'Document ' || i,
       replace(hex(zeroblob(100 + i % 300)), '00', 'lorem ipsum ' || (i % 97) || ' ') FROM c;
WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < 10000)
INSERT INTO PRODUCTS SELECT i, 'Product ' || i, (i % 777) + 0.99 FROM c;
""")
db.commit()
db.close()
PY
tabrix_note "CUSTOMERS 50000 rows (even keys), ORDERS 200000, DOCUMENTS 20000 (texts of 1.5 to 6 KB),"
tabrix_note "PRODUCTS 10000"

tabrix_say "Creating the target database $target_db: a copy with four planted differences"
cp "$source_db" "$target_db"
/usr/bin/python3 - "$target_db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.executescript("""
DELETE FROM ORDERS WHERE REGION = 'NORTH' AND ORDER_NO = 4709;
INSERT INTO CUSTOMERS VALUES (25001, 'Customer 25001', 'City 1', 0);
UPDATE ORDERS SET AMOUNT = AMOUNT + 0.01 WHERE REGION = 'WEST' AND ORDER_NO = 123455;
UPDATE DOCUMENTS SET BODY = substr(BODY, 1, 1000) || 'L' || substr(BODY, 1002) WHERE DOC_ID = 777;
""")
db.commit()
db.close()
PY
tabrix_note "a missing row ORDERS 'NORTH' 4709, an extra row CUSTOMERS 25001, a changed AMOUNT of"
tabrix_note "ORDERS 'WEST' 123455 and one changed letter in the long BODY text of DOCUMENTS 777"

# check TITLE EXPECTED-EXIT-CODE TABLECHECK-ARGS...: runs tabrix-tablecheck on the two
# databases, shows its report (kept in $report) and fails the demo on another exit code.
report=$work/report.txt
check() {
  local title=$1 expected=$2
  shift 2
  tabrix_say "$title"
  tabrix_note "\$ tabrix-tablecheck --source ... --target ... $*"
  rc=0
  "$TABLECHECK" --source "dbms_type=SQLITE,dbs_sqlite_db=$source_db" \
    --target "dbms_type=SQLITE,dbs_sqlite_db=$target_db" "$@" >"$report" || rc=$?
  sed 's/^/      /' "$report" >&2
  tabrix_note "exit code: $rc"
  ((rc == expected)) || tabrix_die "unexpected exit code $rc (expected $expected)"
}

check "tabrix-tablecheck: four tables, 2 processes, ORDERS cut into key ranges of 60000 rows" 1 \
  --workdir "$work/check" -j 2 --split-rows 60000 CUSTOMERS ORDERS DOCUMENTS PRODUCTS
planted=$(
  cat <<'TXT'
  only in target  key '25001'
  only in source  key 'NORTH' '4709'
  differs         key 'WEST' '123455'  field AMOUNT: '11726.00' <> '11726.01'
  differs         key '777'  field BODY: 'lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lo...' <> 'lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lorem ipsum 1 lo...'
TXT
)
mapfile -t planted_lines <<<"$planted"
if [ "$(grep '^  ' "$report" | sort)" != "$(sort <<<"$planted")" ]; then
  tabrix_note "the planted differences:"
  printf '      %s\n' "${planted_lines[@]}" >&2
  tabrix_die "the reported differences are not exactly the planted ones"
fi
grep -qx 'PRODUCTS: no differences' "$report" || tabrix_die "PRODUCTS is not reported clean"
tabrix_note "exactly the planted differences. The CRC files and logs of every run stay in the work"
tabrix_note "directory (here $work/check, removed when the demo ends);"
tabrix_note "a rerun on it continues a check that was stopped"

check "tabrix-tablecheck: the same check on a table without differences" 0 \
  --workdir "$work/clean" PRODUCTS
# ------------------------------------ end of MAIN JOB ---------------------------------------

tabrix_say "Demo finished"
