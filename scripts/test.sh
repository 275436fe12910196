#!/usr/bin/env bash
# Builds every target under AddressSanitizer and UndefinedBehaviorSanitizer with the stand-in
# launcher and runs every test; on Linux also builds and tests with clang and libc++ (the libcxx
# preset, the closest this machine gets to Apple's toolchain) with $TMPDIR below a symbolic link
# and again on a case-insensitive volume, and compiles the macOS branches against the SDK's
# declarations; then fuzzes each parser briefly (one target per core).
#
#   scripts/test.sh                 everything (what CI runs)
#   scripts/test.sh -R Staging      only the CTest tests given by the arguments, dev preset only
#
# VARQUIN_FUZZ_SECONDS sets the fuzzing time per target (default 20; 0 skips fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
jobs=$(cpu_count)

if is_macos; then
  scripts/install-deps.sh
else
  scripts/install-deps.sh --with-browser --with-libcxx
fi
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$jobs"
ctest --preset dev "$@"

# A focused run (arguments given) is for the tests it names.
[ $# -eq 0 ] || exit 0

# The style is clang-format's (Debian's version; another version may format some lines otherwise).
if ! is_macos; then
  git ls-files '*.cc' '*.h' '*.c' '*.js' '*.mjs' | xargs clang-format --dry-run --Werror
fi

if ! is_macos; then
  # As on a Mac: clang and libc++, and $TMPDIR below a symbolic link (/var -> /private/var there).
  cmake --preset libcxx >/dev/null
  cmake --build --preset libcxx -j"$jobs"
  linked_tmp=$(mktemp -d "${TMPDIR:-/tmp}/varquin-tmp.XXXXXX")
  trap 'rm -rf "$linked_tmp"' EXIT
  mkdir "$linked_tmp/real"
  ln -s "$linked_tmp/real" "$linked_tmp/linked"
  TMPDIR=$linked_tmp/linked ctest --preset libcxx
  # And on a case- and normalisation-insensitive volume, as a Mac's default one.
  scripts/test-casefold.sh libcxx
  scripts/check-apple-branches.sh
fi

fuzz_seconds=${VARQUIN_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" -gt 0 ]; then
  FUZZ_PARALLEL=${FUZZ_PARALLEL:-$jobs} scripts/fuzz.sh smoke "$fuzz_seconds"
fi
