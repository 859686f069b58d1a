#!/usr/bin/env bash
# End-to-end table check on two PostgreSQL databases against the peer tool pg_comparator, in
# the same run and on the same data: a table of ROWS rows (default 1,000,000) and 6 columns on
# a source database and a copy on a target database with 10 planted differences (3 rows missing,
# 3 extra rows, 4 rows with one changed field). Times tabrix-tablecheck with -j 1, 2 and 4 and
# pg_comparator (each the best of REPEAT runs, default 2), prints the times and the ratios and
# fails unless both tools report exactly the planted keys. Installs what is missing
# (postgresql-comparator among it), builds build-release/ and runs one throwaway cluster.
#
#   bench/tablecheck_bench.sh [ROWS]
#
# TABLECHECK_OPTS="OPTION..." passes each word as "-o OPTION" to tabrix-tablecheck, e.g.
# TABLECHECK_OPTS=sqloptions=nocrcquickrun (no quick pass over the whole table first: faster
# where tables are known to differ, slower where they are equal).
#
# Targets: tabrix-tablecheck -j 1 within 1.5 times pg_comparator's time, the best -j no slower.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"

ROWS=${1:-1000000}
REPEAT=${REPEAT:-2}
if ! [[ $ROWS =~ ^[0-9]+$ ]] || ((ROWS < 1000)); then
  tabrix_die "ROWS must be a number of at least 1000"
fi

TABRIX_PACKAGES+=(postgresql-comparator)
tabrix_ensure_packages
tabrix_build build-release -DCMAKE_BUILD_TYPE=Release -DTABRIX_SANITIZE=OFF \
  -DTABRIX_TESTS=OFF -DTABRIX_BENCH=OFF
TABLECHECK=$TABRIX_ROOT/build-release/tabrix-tablecheck
[ -x "$TABLECHECK" ] || tabrix_die "the build did not produce $TABLECHECK"
command -v pg_comparator >/dev/null || tabrix_die "pg_comparator is not installed"

work=$(mktemp -d "${TMPDIR:-/tmp}/tabrix-tcbench.XXXXXX")
tabrix_pg_start_until_exit
trap 'bash "$TABRIX_ROOT/scripts/pgtest.sh" stop "$TABRIX_PGTEST_DIR"; rm -rf "$work"' EXIT

psql_do() { psql -X -q -v ON_ERROR_STOP=1 "$@"; }

# Keys of the planted differences, spread over the table: rows missing on the target, extra
# rows on the target, rows whose one field differs (text, integer, decimal, long text).
step=$((ROWS / 10))
missing_keys="$((step)) $((3 * step)) $((5 * step))"
extra_keys="$((ROWS + 1)) $((ROWS + 2)) $((ROWS + 3))"
changed_keys="$((2 * step)) $((4 * step)) $((6 * step)) $((8 * step))"
read -r c1 c2 c3 c4 <<<"$changed_keys"

tabrix_say "Creating the databases bench_src and bench_tgt with $ROWS rows each"
for db in bench_src bench_tgt; do
  psql_do -d "$PGDATABASE" -c "CREATE DATABASE $db"
  psql_do -d "$db" <<SQL
CREATE EXTENSION pgcmp;
CREATE TABLE bench (k INTEGER PRIMARY KEY, name VARCHAR(40), qty INTEGER,
                    price NUMERIC(15,2), ratio DOUBLE PRECISION, note TEXT);
INSERT INTO bench SELECT i, 'name ' || i, i % 1000, (i % 100003) * 0.25, i / 7.0,
                         repeat('note ' || (i % 89) || ' ', 1 + i % 8)
  FROM generate_series(1, $ROWS) i;
SQL
done
psql_do -d bench_tgt <<SQL
DELETE FROM bench WHERE k IN (${missing_keys// /, });
INSERT INTO bench SELECT i, 'name ' || i, 1, 1.00, 1.5, 'extra' FROM unnest(ARRAY[${extra_keys// /, }]) i;
UPDATE bench SET name = name || 'x' WHERE k = $c1;
UPDATE bench SET qty = qty + 1 WHERE k = $c2;
UPDATE bench SET price = price + 0.01 WHERE k = $c3;
UPDATE bench SET note = note || 'changed' WHERE k = $c4;
SQL
for db in bench_src bench_tgt; do psql_do -d "$db" -c "VACUUM ANALYZE bench"; done
planted=$(tr ' ' '\n' <<<"$missing_keys $extra_keys $changed_keys" | sort -n)

src_env="dbms_type=PGSQL,dbs_pgsql_namecase=lower,dbs_pgsql_conninfo=host=$PGHOST port=$PGPORT dbname=bench_src user=$PGUSER"
tgt_env="dbms_type=PGSQL,dbs_pgsql_namecase=lower,dbs_pgsql_conninfo=host=$PGHOST port=$PGPORT dbname=bench_tgt user=$PGUSER"

# seconds CMD...: runs CMD with its output in $work/out, prints the wall time in seconds.
seconds() {
  local start end rc=0
  start=$(date +%s.%N)
  "$@" >"$work/out" 2>"$work/err" || rc=$?
  end=$(date +%s.%N)
  if ((rc > 1)); then
    cat "$work/out" "$work/err" >&2
    tabrix_die "$1 ended with exit code $rc"
  fi
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

# best TOOL: the smallest time of the tool's runs.
best() {
  local runs
  read -r -a runs <<<"${times[$1]}"
  printf '%s\n' "${runs[@]}" | sort -g | head -n 1
}

read -r -a extra_opts <<<"${TABLECHECK_OPTS:-}"
crc_opts=()
for o in "${extra_opts[@]}"; do crc_opts+=(-o "$o"); done

run_tablecheck() {
  rm -rf "$work/check"
  "$TABLECHECK" --source "$src_env" --target "$tgt_env" --workdir "$work/check" -j "$1" \
    --split-rows $((ROWS / 4 + 1)) "${crc_opts[@]}" BENCH
}

run_comparator() {
  pg_comparator "pgsql://$PGUSER@127.0.0.1:$PGPORT/bench_src/public.bench?k:name,qty,price,ratio,note" \
    "pgsql://$PGUSER@127.0.0.1:$PGPORT/bench_tgt/public.bench?k:name,qty,price,ratio,note"
}

# The keys each tool reported, one a line, sorted.
keys_tablecheck() { grep -E '^  (only in|differs)' "$work/out" | grep -oE "key '?[0-9]+" | grep -oE '[0-9]+' | sort -n; }
keys_comparator() { grep -E '^(UPDATE|INSERT|DELETE) ' "$work/out" | awk '{print $2}' | sort -n; }

declare -A times
for ((r = 1; r <= REPEAT; r++)); do
  for tool in comparator 1 2 4; do
    if [ "$tool" = comparator ]; then
      t=$(seconds run_comparator)
      found=$(keys_comparator)
    else
      t=$(seconds run_tablecheck "$tool")
      found=$(keys_tablecheck)
    fi
    [ "$found" = "$planted" ] || {
      cat "$work/out" >&2
      tabrix_die "$tool did not report exactly the planted keys: ${found//$'\n'/ }"
    }
    times[$tool]="${times[$tool]:-} $t"
    tabrix_note "run $r: $tool $(printf '%.2f' "$t") s, all 10 planted differences found"
  done
done

cmp=$(best comparator)
tabrix_say "Table check of $ROWS rows with 10 differences, best of $REPEAT${TABLECHECK_OPTS:+, options $TABLECHECK_OPTS}"
tabrix_note "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '  %-28s %8.2f s\n' "pg_comparator" "$cmp"
for j in 1 2 4; do
  t=$(best "$j")
  printf '  %-28s %8.2f s  ratio %.2f\n' "tabrix-tablecheck -j $j" "$t" "$(awk -v a="$t" -v b="$cmp" 'BEGIN { print a / b }')"
done
