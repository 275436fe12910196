#!/usr/bin/env bash
# Builds every target under AddressSanitizer and UndefinedBehaviorSanitizer with the stand-in
# launcher, runs every test, then fuzzes each parser briefly (one target per core).
#
#   scripts/test.sh                 everything (what CI runs)
#   scripts/test.sh -R Staging      only the CTest tests given by the arguments; no fuzzing
#
# VARQUIN_FUZZ_SECONDS sets the fuzzing time per target (default 20; 0 skips fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --with-browser
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)"
ctest --preset dev "$@"

# A focused run (arguments given) is for the tests it names.
fuzz_seconds=${VARQUIN_FUZZ_SECONDS:-20}
if (($# == 0 && fuzz_seconds > 0)); then
  FUZZ_PARALLEL=${FUZZ_PARALLEL:-$(nproc)} scripts/fuzz.sh smoke "$fuzz_seconds"
fi
