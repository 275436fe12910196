#!/usr/bin/env bash
# Builds every target under AddressSanitizer and UndefinedBehaviorSanitizer with the stand-in
# launcher, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --with-browser
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)"
ctest --preset dev "$@"
