#!/usr/bin/env bash
# Line coverage of upglib/ and dbif/ under the whole test suite.
#
#   scripts/coverage.sh [--files] [--tree DIR] [--no-run] [-- CTEST-ARGS...]
#
# Builds the tree with --coverage in build-cov/ (no sanitizers, ccache when installed), clears
# the counters, starts a throwaway PostgreSQL cluster (scripts/pgtest.sh; without it the script
# stops, so the database tests always run), runs the tests through CTest and prints the share of
# instrumented source lines of upglib/ and dbif/ that ran: one total line per folder and one for
# both together. Skipped tests are listed (in this build without sanitizers the tests that need
# them skip by design; TABRIX_TESTS_NO_SKIP would turn those skips into failures).
#
# Do not run it while scripts/mutants.sh mutates the same tree: the build would pick up a mutant.
#
#   --files      also one line per source file (.cpp and .h), sorted by name
#   --tree DIR   the source tree to measure (default: the git work tree of the current folder,
#                so a copy of this script in /tmp measures the worktree it is run from)
#   --no-run     only print the report from the counters the last run left in build-cov/
#   -- ARGS      passed to ctest, e.g. -- -R 'ulstring|ulsqlutil' for a subset of the tests
#
# Counts come from gcov (ships with gcc) in its JSON form; a line counts as covered when any
# object file that holds it (a header's inline code may sit in many) executed it. Exit status:
# 0 when every test passed, 1 when a test failed or the build failed (the report is printed
# all the same when counters exist).
set -euo pipefail

files=0
run=1
tree=
ctest_args=()
while (($#)); do
  case "$1" in
    --files) files=1 ;;
    --no-run) run=0 ;;
    --tree)
      [ $# -ge 2 ] || { echo "coverage.sh: --tree needs a folder" >&2; exit 2; }
      tree=$2
      shift
      ;;
    --) shift; ctest_args=("$@"); break ;;
    -h | --help)
      sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0" >&2
      exit 0
      ;;
    *) echo "coverage.sh: unknown option '$1' (try --help)" >&2; exit 2 ;;
  esac
  shift
done

if [ -z "$tree" ]; then
  tree=$(git rev-parse --show-toplevel 2>/dev/null) ||
    { echo "coverage.sh: not inside a git work tree; use --tree DIR" >&2; exit 2; }
fi
tree=$(cd "$tree" && pwd)
[ -f "$tree/scripts/lib.sh" ] && [ -d "$tree/upglib" ] ||
  { echo "coverage.sh: $tree is not a tabrix source tree" >&2; exit 2; }

# shellcheck source=lib.sh
source "$tree/scripts/lib.sh"
build=$TABRIX_ROOT/build-cov

command -v gcov >/dev/null 2>&1 || tabrix_die "gcov not found (it ships with gcc)"
command -v python3 >/dev/null 2>&1 || tabrix_die "python3 not found"

rc=0
if ((run)); then
  tabrix_ensure_packages
  if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  fi
  tabrix_build build-cov -DCMAKE_BUILD_TYPE=Debug -DTABRIX_SANITIZE=OFF -DTABRIX_TESTS=ON \
    -DTABRIX_BENCH=OFF -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage
  # Counters of earlier runs would add to this run's.
  find "$build" -name '*.gcda' -delete

  # A coverage build has no sanitizers, so the tests that only make sense under them skip by
  # design; TABRIX_TESTS_NO_SKIP=1 would fail them. The cluster below is mandatory instead, and
  # every skipped test is listed after the run, so the database tests cannot drop out unseen.
  unset TABRIX_TESTS_NO_SKIP CI
  tabrix_say "Starting a throwaway PostgreSQL cluster and MariaDB server"
  tabrix_pg_start_until_exit
  tabrix_mariadb_start_until_exit

  tabrix_say "Running the tests (ctest -j$TABRIX_JOBS ${ctest_args[*]})"
  (cd "$build" && ctest --no-tests=error --timeout 600 -j "$TABRIX_JOBS" "${ctest_args[@]}" \
    >"$build/coverage-ctest.log" 2>&1) || rc=1
  tail -n 3 "$build/coverage-ctest.log" >&2
  skipped=$(grep -E '^\s*[0-9]+ - .*\((Skipped|Not Run|Disabled)\)' "$build/coverage-ctest.log" || true)
  if [ -n "$skipped" ]; then
    tabrix_say "Skipped tests ($(printf '%s\n' "$skipped" | wc -l)): their lines count as not covered"
    printf '%s\n' "$skipped" >&2
  fi
  if ((rc)); then
    tabrix_say "Tests FAILED (log: $build/coverage-ctest.log); the figures below are of a failing run"
    grep -E '^\s+[0-9]+ - ' "$build/coverage-ctest.log" | head -n 20 >&2 || true
  fi
fi

[ -d "$build" ] || tabrix_die "no build-cov/ in $TABRIX_ROOT: run without --no-run first"

tabrix_say "Line coverage of upglib/ and dbif/ ($TABRIX_ROOT)"
python3 - "$TABRIX_ROOT" "$build" "$files" <<'EOF' || rc=1
import gzip, json, os, subprocess, sys
from collections import defaultdict

root, build, per_file = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
folders = ("upglib", "dbif")

# Objects with counters, grouped by the folder gcov must read them from.
by_dir = defaultdict(list)
for d, _, names in os.walk(build):
    for n in names:
        if n.endswith(".gcda"):
            by_dir[d].append(n)
if not by_dir:
    sys.exit("coverage.sh: no counters (.gcda) in %s: did the tests run?" % build)

lines = defaultdict(dict)  # source path -> line number -> executed (bool)
for d, names in sorted(by_dir.items()):
    out = subprocess.run(["gcov", "--json-format", "--stdout", *sorted(names)], cwd=d,
                         capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit("coverage.sh: gcov failed in %s: %s" % (d, out.stderr.strip()))
    for doc in out.stdout.splitlines():
        doc = doc.strip()
        if not doc:
            continue
        data = json.loads(doc)
        cwd = data.get("current_working_directory", d)
        for f in data.get("files", []):
            path = os.path.realpath(os.path.join(cwd, f["file"]))
            rel = os.path.relpath(path, root)
            if rel.split(os.sep)[0] not in folders:
                continue
            seen = lines[rel]
            for ln in f.get("lines", []):
                n = ln["line_number"]
                seen[n] = seen.get(n, False) or ln["count"] > 0

def pct(hit, total):
    return 100.0 * hit / total if total else 0.0

totals = {}
if per_file:
    print("%-36s %8s %8s %7s" % ("file", "lines", "covered", "%"))
for rel in sorted(lines):
    total = len(lines[rel])
    hit = sum(lines[rel].values())
    folder = rel.split(os.sep)[0]
    t = totals.setdefault(folder, [0, 0])
    t[0] += hit
    t[1] += total
    if per_file:
        print("%-36s %8d %8d %6.1f%%" % (rel, total, hit, pct(hit, total)))
if per_file:
    print()
all_hit = sum(t[0] for t in totals.values())
all_total = sum(t[1] for t in totals.values())
for folder in folders:
    hit, total = totals.get(folder, [0, 0])
    print("%-8s %6d of %6d lines  %5.1f%%" % (folder + "/", hit, total, pct(hit, total)))
print("%-8s %6d of %6d lines  %5.1f%%" % ("both", all_hit, all_total, pct(all_hit, all_total)))
EOF
exit "$rc"
