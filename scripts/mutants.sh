#!/usr/bin/env bash
# Mutation run: measures which small source faults the test suite catches.
#
#   scripts/mutants.sh [OPTIONS]
#
# Takes the mutants of a fixed list (scripts/mutants.list, format described there), applies
# one at a time to the source tree, builds, runs the whole test suite and puts the source back.
# Each mutant ends as
#   killed          a test failed (the report names the first failing test program and test)
#   SURVIVED        every test passed: no test catches this fault
#   build-failed    the mutated source did not compile (an error of the list)
#   not-applicable  its original text is missing or not unique in the file (an error of the
#                   list: fix the entry)
#
# Options:
#   --tree DIR       source tree to mutate (default: the git work tree of the current folder,
#                    so a copy of this script in /tmp works on the worktree it is run from)
#   --list FILE      the list (default: mutants.list beside this script)
#   --id ID          only this mutant (repeatable; also a comma-separated list)
#   --module NAME    only the mutants of this module, i.e. of the file NAME.cpp (repeatable)
#   --report FILE    also write the report to FILE
#   --check          only check that every entry applies (exactly one match); no build
#   --timeout SEC    time limit of one mutant's test run (default: 3 x the clean run + 60 s)
#   --list-ids       print the ids with their files and exit
#
# The tests run fast, not through CTest's one process per test: one throwaway PostgreSQL
# cluster (scripts/pgtest.sh) serves the whole run, every GoogleTest program that CTest knows
# runs once in one process with --gtest_fail_fast, every other CTest entry runs as CTest would
# run it, and the first failure ends the mutant's run. Which programs and entries exist is
# read from CTest (ctest --show-only=json-v1), so test names do not matter. Before the
# mutants, the clean tree is built and tested once: a failing clean run stops everything. Skips
# are checked against the clean run (GoogleTest's JSON results): a test that skips under a mutant
# but ran in the clean run counts as a failure, so the database half cannot drop out unseen; the
# report header names the tests that skip even in the clean run (sanitizer-only tests).
# The build goes to build-mut/ (Debug, no sanitizers, ccache when installed).
#
# The source file is restored after every mutant and on every exit (also Ctrl-C): the script
# keeps a copy, writes it back and checks that the file is byte for byte the original, and at
# the end compares `git status` and `git diff` with the state before the run.
# Exit status: 0 run complete, 1 error (clean run failed, tree not restored), 2 usage,
# 3 run complete but some entries were not applicable or failed to build.
set -euo pipefail

script_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tree=
list=$script_dir/mutants.list
report=
check_only=0
list_ids=0
timeout=
ids=()
modules=()

usage() { sed -n '2,/^set -euo/{/^#/s/^# \{0,1\}//p}' "$0" >&2; }
die_usage() {
  echo "mutants.sh: $*" >&2
  exit 2
}

while (($#)); do
  case "$1" in
    --tree) [ $# -ge 2 ] || die_usage "--tree needs a folder"; tree=$2; shift ;;
    --list) [ $# -ge 2 ] || die_usage "--list needs a file"; list=$2; shift ;;
    --id) [ $# -ge 2 ] || die_usage "--id needs an id"; IFS=, read -r -a more <<<"$2"; ids+=("${more[@]}"); shift ;;
    --module) [ $# -ge 2 ] || die_usage "--module needs a name"; modules+=("$2"); shift ;;
    --report) [ $# -ge 2 ] || die_usage "--report needs a file"; report=$2; shift ;;
    --timeout) [ $# -ge 2 ] || die_usage "--timeout needs seconds"; timeout=$2; shift ;;
    --check) check_only=1 ;;
    --list-ids) list_ids=1 ;;
    -h | --help) usage; exit 0 ;;
    *) die_usage "unknown option '$1' (try --help)" ;;
  esac
  shift
done

if [ -z "$tree" ]; then
  tree=$(git rev-parse --show-toplevel 2>/dev/null) || die_usage "not inside a git work tree; use --tree DIR"
fi
tree=$(cd "$tree" && pwd)
[ -f "$tree/scripts/lib.sh" ] && [ -d "$tree/upglib" ] || die_usage "$tree is not a tabrix source tree"
[ -f "$list" ] || die_usage "no list file '$list'"
list=$(cd "$(dirname "$list")" && pwd)/$(basename "$list")
if [ -n "$report" ]; then
  mkdir -p "$(dirname "$report")"
  report=$(cd "$(dirname "$report")" && pwd)/$(basename "$report")
fi
[ -z "$timeout" ] || [[ "$timeout" =~ ^[0-9]+$ ]] || die_usage "--timeout needs whole seconds"
command -v python3 >/dev/null 2>&1 || die_usage "python3 not found"

# shellcheck source=lib.sh
source "$tree/scripts/lib.sh"
build=$TABRIX_ROOT/build-mut
work=$(mktemp -d /tmp/tabrix-mutants.XXXXXX)

# ---- the list: parsing, selection, applying (python, for exact text handling) ---------------
cat >"$work/mut.py" <<'EOF'
import os, sys

def parse(path):
    entries, cur, errors = [], None, []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            if line.startswith("- ") or line == "-":
                if not cur or "old" in cur:
                    errors.append("%s:%d: '-' line out of place" % (path, number))
                else:
                    cur["old"] = line[2:]
            elif line.startswith("+ ") or line == "+":
                if not cur or "old" not in cur or "new" in cur:
                    errors.append("%s:%d: '+' line out of place" % (path, number))
                else:
                    cur["new"] = line[2:]
            else:
                parts = line.split(None, 2)
                if len(parts) < 2:
                    errors.append("%s:%d: expected 'ID FILE [description]'" % (path, number))
                    cur = None
                    continue
                cur = {"id": parts[0], "file": parts[1], "what": parts[2] if len(parts) > 2 else "",
                       "line": number}
                entries.append(cur)
    seen = set()
    for e in entries:
        if "old" not in e or "new" not in e:
            errors.append("%s:%d: %s lacks its '-' or '+' line" % (path, e["line"], e["id"]))
        if e["old" if "old" in e else "id"] == "":
            errors.append("%s:%d: %s has an empty original" % (path, e["line"], e["id"]))
        if e.get("old") is not None and e.get("old") == e.get("new"):
            errors.append("%s:%d: %s changes nothing" % (path, e["line"], e["id"]))
        if e["id"] in seen:
            errors.append("%s:%d: id %s used twice" % (path, e["line"], e["id"]))
        seen.add(e["id"])
    return entries, errors

def module(e):
    return os.path.splitext(os.path.basename(e["file"]))[0]

def main():
    cmd, listfile, tree = sys.argv[1], sys.argv[2], sys.argv[3]
    entries, errors = parse(listfile)
    if errors:
        print("\n".join(errors), file=sys.stderr)
        sys.exit(1)
    if cmd == "select":
        ids = [x for x in sys.argv[4].split(",") if x]
        mods = [x for x in sys.argv[5].split(",") if x]
        known = {e["id"] for e in entries}
        unknown = [i for i in ids if i not in known]
        if unknown:
            print("unknown mutant id(s): " + ", ".join(unknown), file=sys.stderr)
            sys.exit(1)
        mknown = {module(e) for e in entries}
        unknown = [m for m in mods if m not in mknown]
        if unknown:
            print("no mutants for module(s): " + ", ".join(unknown), file=sys.stderr)
            sys.exit(1)
        for e in entries:
            if (not ids and not mods) or e["id"] in ids or module(e) in mods:
                print("\t".join([e["id"], e["file"], e["what"]]))
    elif cmd in ("count", "apply"):
        e = next((e for e in entries if e["id"] == sys.argv[4]), None)
        path = os.path.join(tree, e["file"])
        try:
            with open(path, encoding="utf-8", newline="") as f:
                text = f.read()
        except OSError as err:
            print("cannot read %s: %s" % (e["file"], err.strerror))
            sys.exit(1)
        n = text.count(e["old"])
        if n != 1:
            print("original text found %d times in %s (must be exactly once)" % (n, e["file"]))
            sys.exit(1)
        if cmd == "apply":
            with open(path, "w", encoding="utf-8", newline="") as f:
                f.write(text.replace(e["old"], e["new"], 1))

main()
EOF

# ---- the test plan and its runner --------------------------------------------------------------
cat >"$work/suite.py" <<'EOF'
# plan BUILD PLAN: reads CTest's test list and writes the plan (JSON).
# run PLAN TIMEOUT LOG WORK: runs the plan, first failure ends it; prints one status line.
#   TIMEOUT 0: the clean run, which records in PLAN the tests that skip without a mutant; a
#   mutant that makes another test skip counts as killed.
import json, os, signal, subprocess, sys, time

def plan(build, out):
    raw = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, capture_output=True,
                         text=True, check=True).stdout
    steps, gtest = [], {}
    for t in json.loads(raw).get("tests", []):
        cmd = t.get("command") or []
        props = {p["name"]: p["value"] for p in t.get("properties", [])}
        cwd = props.get("WORKING_DIRECTORY", build)
        env = props.get("ENVIRONMENT", [])
        if isinstance(env, str):
            env = [env]
        if props.get("DISABLED"):
            continue
        if cmd and any(a.startswith("--gtest_filter=") for a in cmd[1:]):
            key = (cmd[0], cwd)
            if key not in gtest:
                gtest[key] = {"kind": "gtest", "name": os.path.basename(cmd[0]),
                              "command": [cmd[0], "--gtest_fail_fast"],
                              "cwd": cwd, "env": env, "tests": 0}
                steps.append(gtest[key])
            gtest[key]["tests"] += 1
        elif cmd:
            steps.append({"kind": "test", "name": t.get("name", cmd[0]), "command": cmd,
                          "cwd": cwd, "env": env})
    if not steps:
        sys.exit("no tests found in %s" % build)
    with open(out, "w") as f:
        json.dump(steps, f, indent=1)
    for s in steps:
        extra = " (%d tests)" % s["tests"] if s["kind"] == "gtest" else ""
        print("    %s %s%s" % (s["kind"], s["name"], extra), file=sys.stderr)

def gtest_results(path):
    """(failed test names, skipped test names) from a --gtest_output=json file."""
    failed, skipped = [], []
    try:
        data = json.load(open(path))
    except (OSError, ValueError):
        return None
    for suite in data.get("testsuites", []):
        for t in suite.get("testsuite", []):
            name = "%s.%s" % (suite.get("name", "?"), t.get("name", "?"))
            if t.get("failures"):
                failed.append(name)
            elif t.get("result") == "SKIPPED":
                skipped.append(name)
    return failed, skipped

def run(planfile, limit, logfile, work):
    steps = json.load(open(planfile))
    deadline = time.monotonic() + limit
    record = limit == 0  # the clean run records which tests skip without any mutant
    if record:
        deadline = time.monotonic() + 3600
    with open(logfile, "w") as log:
        for s in steps:
            env = dict(os.environ)
            # Skips are compared with the clean run's here, so the test programs must not turn
            # them into failures (fail-fast skips every test after a failure, too).
            env.pop("TABRIX_TESTS_NO_SKIP", None)
            env.pop("CI", None)
            for kv in s["env"]:
                k, _, v = kv.partition("=")
                env[k] = v
            cmd = list(s["command"])
            result = os.path.join(work, "gtest.json")
            if s["kind"] == "gtest":
                if os.path.exists(result):
                    os.remove(result)
                cmd.append("--gtest_output=json:" + result)
            left = deadline - time.monotonic()
            if left <= 0:
                print("killed\ttimeout after %d s" % limit)
                return
            p = subprocess.Popen(cmd, cwd=s["cwd"], env=env, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                 start_new_session=True)
            try:
                out, _ = p.communicate(timeout=left)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                out, _ = p.communicate()
                log.write(out.decode("utf-8", "replace"))
                print("killed\ttimeout after %d s in %s" % (limit, s["name"]))
                return
            log.write("==== %s (exit %d)\n%s\n" % (s["name"], p.returncode, out.decode("utf-8", "replace")))
            how = "exit %d" % p.returncode if p.returncode >= 0 else "signal %d" % -p.returncode
            if s["kind"] != "gtest":
                if p.returncode != 0:
                    print("killed\t%s (%s)" % (s["name"], how))
                    return
                continue
            res = gtest_results(result)
            if res is None or (p.returncode != 0 and not res[0]):
                print("killed\t%s (%s)" % (s["name"], how))
                return
            failed, skipped = res
            if failed:
                print("killed\t%s %s" % (s["name"], failed[0]))
                return
            if record:
                s["skipped"] = skipped
            else:
                new = [t for t in skipped if t not in s.get("skipped", [])]
                if new:
                    print("killed\t%s %s skipped (it runs in the clean run)" % (s["name"], new[0]))
                    return
    if record:
        with open(planfile, "w") as f:
            json.dump(steps, f, indent=1)
        with open(os.path.join(work, "clean-skips"), "w") as f:
            for s in steps:
                for t in s.get("skipped", []):
                    f.write("%s %s\n" % (s["name"], t))
    print("SURVIVED\t")

if sys.argv[1] == "plan":
    plan(sys.argv[2], sys.argv[3])
else:
    run(sys.argv[2], float(sys.argv[3]), sys.argv[4], sys.argv[5])
EOF

ids_csv=$(IFS=,; echo "${ids[*]}")
modules_csv=$(IFS=,; echo "${modules[*]}")
python3 "$work/mut.py" select "$list" "$tree" "$ids_csv" "$modules_csv" >"$work/selected" ||
  { rm -rf "$work"; exit 2; }
mapfile -t selected <"$work/selected"
((${#selected[@]} > 0)) || { rm -rf "$work"; die_usage "no mutants selected"; }

if ((list_ids)); then
  printf '%s\n' "${selected[@]}" | awk -F'\t' '{ printf "%-36s %s\n", $1, $2 }'
  rm -rf "$work"
  exit 0
fi

# ---- restoring the tree, whatever happens ------------------------------------------------------
active_file=     # the file a mutant is applied to, empty when none
pg_dir=
maria_dir=
git_state() { git -C "$tree" status --porcelain=v1 --untracked-files=no && git -C "$tree" diff --binary; }
restore() {
  [ -n "$active_file" ] || return 0
  cp "$work/original" "$tree/$active_file"
  if ! cmp -s "$work/original" "$tree/$active_file"; then
    echo "mutants.sh: ERROR: could not restore $active_file (the original is in $work/original)" >&2
    return 1
  fi
  active_file=
}
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  restore || rc=1
  if [ -n "$pg_dir" ]; then bash "$TABRIX_ROOT/scripts/pgtest.sh" stop "$pg_dir" || true; fi
  if [ -n "$maria_dir" ]; then bash "$TABRIX_ROOT/scripts/mariadbtest.sh" stop "$maria_dir" || true; fi
  if [ -f "$work/git-before" ] && ! git_state | cmp -s - "$work/git-before"; then
    echo "mutants.sh: ERROR: the tree differs from its state before the run (git diff)" >&2
    rc=1
  fi
  [ -n "$active_file" ] || rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
git_state >"$work/git-before"

out_lines=()
say_line() {
  printf '%s\n' "$*"
  out_lines+=("$*")
}
write_report() {
  [ -n "$report" ] || return 0
  printf '%s\n' "${out_lines[@]}" >"$report"
}

count_na=0
if ((check_only)); then
  for entry in "${selected[@]}"; do
    IFS=$'\t' read -r id file _ <<<"$entry"
    if ! why=$(python3 "$work/mut.py" count "$list" "$tree" "$id"); then
      say_line "$(printf '%-36s not-applicable  %s: %s' "$id" "$file" "$why")"
      count_na=$((count_na + 1))
    fi
  done
  say_line "${#selected[@]} entries checked, $count_na not applicable"
  write_report
  ((count_na == 0)) || exit 3
  exit 0
fi

# ---- build, clean run ----------------------------------------------------------------------------
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
build_quiet() { cmake --build "$build" -j "$TABRIX_JOBS" >"$work/build.log" 2>&1; }

tabrix_say "Configuring build-mut/"
cmake -S "$TABRIX_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DTABRIX_SANITIZE=OFF \
  -DTABRIX_TESTS=ON -DTABRIX_BENCH=OFF -DTABRIX_FUZZ=OFF >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; tabrix_die "cmake configure of build-mut failed"; }
tabrix_say "Building the clean tree"
build_quiet || { tail -n 30 "$work/build.log" >&2; tabrix_die "the clean tree does not build"; }

tabrix_say "Starting a throwaway PostgreSQL cluster for the whole run"
tabrix_pg_start
pg_dir=$TABRIX_PGTEST_DIR
tabrix_say "Starting a throwaway MariaDB server for the ODBC tests"
maria_env=$(TABRIX_MARIADBTEST_OWNER=$$ bash "$TABRIX_ROOT/scripts/mariadbtest.sh" start) ||
  tabrix_die "the MariaDB server did not start"
eval "$maria_env"
maria_dir=$TABRIX_MARIADBTEST_DIR

tabrix_say "Test plan (from CTest)"
python3 "$work/suite.py" plan "$build" "$work/plan.json" || tabrix_die "no test plan"

tabrix_say "Clean run"
start=$SECONDS
result=$(python3 "$work/suite.py" run "$work/plan.json" 0 "$work/clean.log" "$work")
clean_seconds=$((SECONDS - start))
if [ "${result%%$'\t'*}" != SURVIVED ]; then
  cp "$work/clean.log" "$build/mutants-clean.log"
  tabrix_die "the clean tree fails its tests (${result#*$'\t'}); log: $build/mutants-clean.log"
fi
[ -n "$timeout" ] || timeout=$((3 * clean_seconds + 60))
tabrix_note "clean run passed in ${clean_seconds} s; time limit per mutant run ${timeout} s"

commit=$(git -C "$tree" rev-parse --short HEAD 2>/dev/null || echo unknown)
dirty=
[ -z "$(git -C "$tree" status --porcelain=v1 --untracked-files=no)" ] || dirty=" plus uncommitted changes"
say_line "# Mutation report: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $commit$dirty"
say_line "# list: $(basename "$list") (${#selected[@]} mutants), clean test run ${clean_seconds} s"
while read -r program test; do
  say_line "# skips in the clean run too (this build has no sanitizers), so measures nothing: $program $test"
done <"$work/clean-skips"
say_line "# id                                   result          s  detail"

# ---- the mutants ---------------------------------------------------------------------------------
count_killed=0 count_survived=0 count_bf=0 total_start=$SECONDS
survivors=()
for entry in "${selected[@]}"; do
  IFS=$'\t' read -r id file what <<<"$entry"
  start=$SECONDS
  if ! why=$(python3 "$work/mut.py" count "$list" "$tree" "$id") ||
    ! cp "$tree/$file" "$work/original"; then
    status=not-applicable detail="$file: $why"
    count_na=$((count_na + 1))
  elif active_file=$file && ! why=$(python3 "$work/mut.py" apply "$list" "$tree" "$id"); then
    restore
    status=not-applicable detail="$file: $why"
    count_na=$((count_na + 1))
  elif ! build_quiet; then
    restore
    status=build-failed detail="$file: $(grep -m1 -E 'error' "$work/build.log" | cut -c1-160)"
    count_bf=$((count_bf + 1))
  else
    result=$(python3 "$work/suite.py" run "$work/plan.json" "$timeout" "$work/run.log" "$work")
    restore
    status=${result%%$'\t'*}
    detail=${result#*$'\t'}
    if [ "$status" = SURVIVED ]; then
      count_survived=$((count_survived + 1))
      survivors+=("$id")
      detail="$file: $what"
    else
      count_killed=$((count_killed + 1))
    fi
  fi
  say_line "$(printf '%-38s %-14s %4d  %s' "$id" "$status" $((SECONDS - start)) "$detail")"
  write_report
done

# Leave build-mut matching the restored source.
build_quiet || tabrix_note "rebuilding the restored tree failed (see $work/build.log)"
n=${#selected[@]}
say_line "# $n mutants: $count_killed killed, $count_survived SURVIVED, $count_bf build-failed, $count_na not-applicable; $((SECONDS - total_start)) s, $(((SECONDS - total_start) / n)) s per mutant"
((${#survivors[@]} == 0)) || say_line "# survivors: ${survivors[*]}"
((count_na == 0)) || say_line "# NOT APPLICABLE entries are errors of the list: fix them"
write_report
((count_na + count_bf == 0)) || exit 3
exit 0
