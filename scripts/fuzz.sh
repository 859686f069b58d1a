#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang in build-fuzz/ and runs each in turn for
# the given number of seconds (default 60) over a copy of its seed corpus. Stops at the first
# finding with a non-zero exit code and the path of the input that shows it. Without clang it
# says so and exits 0: fuzzing is a developer's habit, not a build requirement.
#   scripts/fuzz.sh [seconds] [target...]      e.g. scripts/fuzz.sh 300 wherefile escape
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || tabrix_die "usage: scripts/fuzz.sh [seconds] [target...]"
shift $(($# > 0 ? 1 : 0))

if ! command -v clang++ >/dev/null 2>&1; then
  tabrix_say "clang++ not found: the fuzz targets need clang and libFuzzer, nothing was run"
  exit 0
fi
# Whether clang++ links a program with libFuzzer's runtime.
fuzzer_links() {
  local probe rc=0
  probe=$(mktemp -d "${TMPDIR:-/tmp}/tabrix-fuzzprobe.XXXXXX") || return 1
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/p.cpp"
  clang++ -fsanitize=fuzzer "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1 || rc=$?
  rm -rf "$probe"
  return "$rc"
}
# libFuzzer's runtime comes with Debian's compiler-rt development package; it is added to the
# packages to install only when clang cannot link it yet.
fuzzer_links || TABRIX_PACKAGES+=(libclang-rt-dev)
tabrix_ensure_packages
fuzzer_links ||
  tabrix_die "clang++ cannot link libFuzzer: install the compiler-rt development package of your clang"
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
tabrix_build build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTABRIX_FUZZ=ON -DTABRIX_SANITIZE=OFF -DTABRIX_TESTS=OFF -DTABRIX_BENCH=OFF

build=$TABRIX_ROOT/build-fuzz
seeds=$TABRIX_ROOT/tests/fuzz/corpus
targets=("$@")
if ((${#targets[@]} == 0)); then
  for binary in "$build"/fuzz/fuzz_*; do targets+=("${binary##*/fuzz_}"); done
fi

# The targets' scratch files; a target that aborts cannot remove its own.
export TMPDIR=$build/fuzz-tmp
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"

summary=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/fuzz_$target
  [ -x "$binary" ] || tabrix_die "no fuzz target '$target' (tests/fuzz/${target}_fuzz.cpp)"
  # The working corpus keeps what earlier runs found; the checked-in seeds are added each time.
  corpus=$build/fuzz-corpus/$target
  findings=$build/fuzz-findings/$target
  log=$build/fuzz-logs/$target.log
  mkdir -p "$corpus" "$findings" "${log%/*}"
  [ -d "$seeds/$target" ] && cp -f "$seeds/$target"/* "$corpus"/
  tabrix_say "Fuzzing $target for ${seconds}s"
  rc=0
  # close_fd_mask=1: the library's message lines on standard output are not wanted here.
  nice "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -close_fd_mask=1 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if ((rc != 0)); then
    # The report starts at the failed property or the sanitizer's or libFuzzer's error line.
    sed -n '/PROPERTY FAILED\|runtime error\|==ERROR\|ERROR: libFuzzer/,$p' "$log" | head -n 40 >&2
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    tabrix_die "fuzz target $target failed (exit code $rc); input: ${input:-see $log}"
  fi
  summary+=("$(printf '%-12s %10s runs %8s exec/s' "$target" "${execs:-?}" "${speed:-?}")")
done

tabrix_say "No findings (${seconds}s per target)"
for line in "${summary[@]}"; do tabrix_note "$line"; done
