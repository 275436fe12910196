#!/usr/bin/env bash
# macOS: the release bridge links only the system's own libraries (libc++ and libSystem), so it
# runs on a Mac without Homebrew; with VARQUIN_UNIVERSAL it holds both architectures.
#   scripts/check-macos-release.sh build/release/varquin-browser-bridge [arm64 x86_64]
set -euo pipefail
bridge=${1:?usage: check-macos-release.sh BRIDGE [ARCH...]}
shift
status=0
# The first line of otool -L names the file itself.
otool -L "$bridge" | tail -n +2 | while read -r library _; do
  case $library in
    /usr/lib/* | /System/Library/*) echo "ok    $library" ;;
    *) echo "FAIL  $library is not a system library" ; exit 1 ;;
  esac
done || status=1
for arch in "$@"; do
  if lipo -archs "$bridge" | tr ' ' '\n' | grep -qx "$arch"; then
    echo "ok    $arch"
  else
    echo "FAIL  $bridge has no $arch slice"
    status=1
  fi
done
exit "$status"
