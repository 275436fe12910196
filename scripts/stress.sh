#!/usr/bin/env bash
# Builds the bridge, the stand-in launcher, the fault-injection shim and the stress driver in a
# Release build with the stand-in launcher (build/stress), then runs the four stress scenarios and
# prints their figures. Exits non-zero when an invariant breaks.
#
#   scripts/stress.sh [quick|full] [--seed N] [--only concurrency|crash|faults|hostile]
#                     [--trial N]
#
# quick (the default) takes seconds; full runs 8 bridges x 200 requests, 600 crash trials, every
# fault with ENOSPC, EIO and EACCES, and 400 link-swap races. A failure names its seed (and, for
# a crash, its trial) so that it can be replayed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh

if is_macos; then
  echo "stress.sh: skipped: the fault-injection shim works only with Linux's C library" >&2
  exit 0
fi

mode=quick
args=()
for arg in "$@"; do
  case $arg in
    quick | full) mode=$arg ;;
    *) args+=("$arg") ;;
  esac
done

scripts/install-deps.sh
build=$root/build/stress
# Dynamically linked, so that the fault shim can be preloaded into the bridge (the stress preset).
cmake --preset stress >/dev/null
cmake --build --preset stress -j"$(cpu_count)" --target varquin-stress >/dev/null
# ${args[@]+...}: an empty array is an unbound variable to bash 3.2 under set -u.
exec "$build/stress/varquin-stress" "$mode" ${args[@]+"${args[@]}"}
