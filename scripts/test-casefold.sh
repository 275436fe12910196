#!/usr/bin/env bash
# Runs a build's tests with $TMPDIR on a case- and normalisation-insensitive volume, as a Mac's
# default one (APFS) is: varquin-casefold-fs, a FUSE view of a scratch directory. Linux with FUSE
# only; elsewhere, or without /dev/fuse, it says so and exits 0.
#   scripts/test-casefold.sh [PRESET]      (default libcxx; the preset must be built)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

preset=${1:-libcxx}
fs=build/$preset/tests/varquin-casefold-fs
if is_macos; then
  echo "test-casefold.sh: skipped: a Mac's own volume is case-insensitive already" >&2
  exit 0
fi
if [ ! -x "$fs" ] || [ ! -c /dev/fuse ]; then
  echo "test-casefold.sh: skipped: needs FUSE 3 (libfuse3-dev, /dev/fuse)" >&2
  exit 0
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/varquin-casefold.XXXXXX")
mkdir "$scratch/backing" "$scratch/mount"
cleanup() {
  fusermount3 -u "$scratch/mount" 2>/dev/null || umount "$scratch/mount" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
if ! "$fs" "$scratch/backing" "$scratch/mount"; then
  echo "test-casefold.sh: skipped: this machine does not let FUSE mount" >&2
  exit 0
fi
mkdir "$scratch/mount/tmp"
# Two spellings of one name must be one file there: the check that this really is such a volume.
touch "$scratch/mount/tmp/Probe"
[ -e "$scratch/mount/tmp/PROBE" ] || { echo "test-casefold.sh: the view is not case-insensitive" >&2; exit 1; }
rm "$scratch/mount/tmp/Probe"

# The 10,000-level tree is a test of descriptors, not of names, and a FUSE view walks each of its
# paths from the top.
TMPDIR=$scratch/mount/tmp ctest --preset "$preset" -E 'DeepIncomingTree'
