#!/usr/bin/env bash
# Builds the libFuzzer targets in build/fuzz (clang 16, ASan + UBSan) and runs them one at a time.
#
#   scripts/fuzz.sh smoke [SECONDS]   every target for SECONDS each (default 25): the CI run
#   scripts/fuzz.sh long [RUNS|Ns]    every target for RUNS executions each (default 10000000),
#                                     or for N seconds each with a trailing "s" (e.g. 600s)
#   scripts/fuzz.sh replay            every target once over its committed corpus
#   scripts/fuzz.sh build             configure and build only
#
# FUZZ_TARGETS="request uuid" limits the run to those targets; FUZZ_PARALLEL=N runs N targets at a
# time (default 1: each target then has a core to itself). New corpus entries accumulate in
# build/fuzz/corpus/<target> (never committed); findings go to build/fuzz/findings/<target>/. Prints
# a table of executions and findings per target and exits 1 when any target found something.
#
# On macOS libFuzzer comes only with Homebrew's LLVM (Apple's clang has none): without it the script
# says so and exits 0.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

mode=${1:-smoke}
amount=${2:-}
all_targets=(frame_reader request config manifest terminal_record base64 original_name rfc3339 uuid)
read -r -a targets <<<"${FUZZ_TARGETS:-${all_targets[*]}}"
build=build/fuzz

# The clang++ that has libFuzzer: Debian's clang 16 (clang 14 cannot compile libstdc++ 12's
# <expected>, see fuzz/CMakeLists.txt), or Homebrew's LLVM on macOS; fails on a Mac without it.
fuzz_compiler() {
  if is_macos; then
    local llvm
    llvm=$(brew --prefix llvm 2>/dev/null || true)
    if [ -z "$llvm" ] || [ ! -x "$llvm/bin/clang++" ]; then
      echo "fuzz.sh: skipped: libFuzzer on macOS needs Homebrew's LLVM (brew install llvm)" >&2
      return 1
    fi
    echo "$llvm/bin/clang++"
    return
  fi
  local missing=""
  for p in clang-16 libclang-rt-16-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    local sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    echo "fuzz.sh: installing$missing …" >&2
    $sudo_cmd apt-get update -qq >/dev/null
    $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      $missing >/dev/null
  fi
  echo clang++-16
}

build_targets() {
  scripts/install-deps.sh
  local cxx
  cxx=$(fuzz_compiler) || exit 0
  cmake --preset fuzz -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
  cmake --build --preset fuzz --target fuzz_targets -j"${FUZZ_JOBS:-2}"
}

# Per-target settings: the dictionary and the largest input worth mutating.
dict_for() {
  case $1 in
    frame_reader | request | config | manifest | terminal_record) echo fuzz/protocol.dict ;;
    rfc3339) echo fuzz/rfc3339.dict ;;
    uuid) echo fuzz/uuid.dict ;;
    base64) echo fuzz/base64.dict ;;
    *) echo "" ;;
  esac
}

max_len_for() {
  case $1 in
    frame_reader) echo 16384 ;;
    request | config | manifest | terminal_record) echo 4096 ;;
    rfc3339 | uuid) echo 128 ;;
    *) echo 1024 ;;
  esac
}

# Apple's AddressSanitizer aborts when asked for leak detection.
leaks=1
is_macos && leaks=0
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=$leaks:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
if [[ -x /usr/bin/llvm-symbolizer ]]; then export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer; fi

parallel=${FUZZ_PARALLEL:-1}
rows_dir=$build/logs/rows

# Runs one target with the limit flag given; writes its row of the table to $rows_dir/<target>.
run_target() {
  local name=$1 limit=$2
  local binary=$build/fuzz/fuzz_$name work=$build/corpus/$name findings=$build/findings/$name
  local log=$build/logs/$name.log
  mkdir -p "$work" "$findings" "$build/logs"
  local before
  before=$(find "$findings" -type f | wc -l)
  local flags=(-rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=20 -max_len="$(max_len_for "$name")"
    -use_value_profile=1 -print_final_stats=1 -artifact_prefix="$findings/" "$limit")
  local dict
  dict=$(dict_for "$name")
  [[ -n $dict ]] && flags+=(-dict="$dict")

  echo "== fuzz_$name ${limit}" >&2
  local start status=0
  start=$(date +%s)
  "$binary" "${flags[@]}" "$work" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
  local seconds=$(($(date +%s) - start))
  local executions
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  executions=${executions:-0}
  local corpus
  corpus=$(find "$work" -type f | wc -l)
  local found=$(($(find "$findings" -type f | wc -l) - before))
  local verdict="none"
  if ((status != 0 || found > 0)); then
    verdict="exit $status, $found new in $findings"
    grep -E "ERROR|invariant violated|runtime error" "$log" | head -5 >&2 || true
  fi
  printf '| %-16s | %12s | %7s | %9s | %7s | %s |\n' "$name" "$executions" "$seconds" \
    "$((executions / (seconds > 0 ? seconds : 1)))" "$corpus" "$verdict" >"$rows_dir/$name"
}

# Runs every chosen target with `limit`, $parallel at a time, in batches: bash 3.2 cannot wait for
# whichever job ends first.
run_targets() {
  local limit=$1 running=0
  rm -rf "$rows_dir"
  mkdir -p "$rows_dir"
  for t in "${targets[@]}"; do
    run_target "$t" "$limit" &
    running=$((running + 1))
    if [ "$running" -ge "$parallel" ]; then
      wait
      running=0
    fi
  done
  wait
}

# Prints the table in the order the targets were given; exits 1 when a target found something
# or left no row.
print_table_and_exit() {
  local failed=0
  echo
  printf '| %-16s | %12s | %7s | %9s | %7s | %s |\n' target executions seconds "exec/s" corpus findings
  printf '|%s|%s|%s|%s|%s|%s|\n' "------------------" "-------------:" "--------:" "----------:" \
    "--------:" "----------"
  for t in "${targets[@]}"; do
    if [[ -f $rows_dir/$t ]]; then
      cat "$rows_dir/$t"
      grep -q '| none |$' "$rows_dir/$t" || failed=1
    else
      printf '| %-16s | %12s | %7s | %9s | %7s | %s |\n' "$t" - - - - "no result"
      failed=1
    fi
  done
  exit $failed
}

case $mode in
  build)
    build_targets
    exit 0
    ;;
  smoke)
    build_targets
    run_targets "-max_total_time=${amount:-25}"
    ;;
  long)
    build_targets
    amount=${amount:-10000000}
    if [[ $amount == *s ]]; then
      limit="-max_total_time=${amount%s}"
    else
      limit="-runs=$amount"
    fi
    run_targets "$limit"
    ;;
  replay)
    build_targets
    failed=0
    for t in "${targets[@]}"; do
      echo "== replay fuzz_$t" >&2
      "$build/fuzz/fuzz_$t" -runs=0 "fuzz/corpus/$t" >/dev/null 2>&1 || {
        echo "replay of fuzz/corpus/$t failed" >&2
        failed=1
      }
    done
    exit $failed
    ;;
  *)
    echo "usage: $0 smoke [seconds] | long [runs|Ns] | replay | build" >&2
    exit 2
    ;;
esac

print_table_and_exit
