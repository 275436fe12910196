#!/usr/bin/env bash
# Measures the bridge against this machine's own limits. Builds a Release bridge with the stand-in
# launcher and the benchmarks in build/bench, runs the micro-benchmarks, then the upload and
# download roads, start-up and memory through the real executable, each next to a limit measured
# in the same run, and prints one table of ratios and targets; then the extension's client module
# in headless Chromium against the bridge alone and Chromium's own floor (varquin-browser-bench).
# The exit status is 1 when a target is missed. Arguments go to both, e.g.:
#   scripts/bench.sh --runs 11                  more runs per road (default 7)
#   scripts/bench.sh --work-dir /mnt/xfs        store and files on another file system
#   scripts/bench.sh --only startup             one part: upload, download, startup, memory,
#                                               browser, chunk-sizes (the last only when named)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

if is_macos; then
  scripts/install-deps.sh
else
  scripts/install-deps.sh --with-browser
fi
build=build/bench
log="$build/bench-build.log"
mkdir -p "$build"

echo "building the Release bridge and the benchmarks in $build…" >&2
if ! { cmake --preset bench &&
       cmake --build --preset bench -j"$(cpu_count)" --target varquin-browser-bridge \
         varquin-fake-open varquin-road-bench varquin-micro-bench varquin-browser-bench; } \
         >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "build failed: see $log" >&2
  exit 2
fi

echo "micro-benchmarks…" >&2
"$build/bench/varquin-micro-bench" --benchmark_min_time=0.2 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_out="$build/micro.json" \
  --benchmark_out_format=json >"$build/micro.txt" 2>&1

status=0
"$build/bench/varquin-road-bench" --bridge "$build/varquin-browser-bridge" \
  --micro-json "$build/micro.json" --python-host bench/python_host.py "$@" || status=$?
echo "the client module in Chromium…" >&2
"$build/bench/varquin-browser-bench" --bridge "$build/varquin-browser-bridge" "$@" || status=$?
exit $status
