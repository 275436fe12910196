#!/usr/bin/env bash
# macOS only: builds the static third-party library a universal (arm64 + x86_64) release needs,
# for the deployment target, into build/macos-deps (lib/, include/, lib/pkgconfig/). Homebrew's
# bottles hold one architecture and target the machine's own macOS, so utf8proc is built from the
# source Homebrew fetches and checks; Boost.JSON is compiled into the bridge from its header-only
# form (VARQUIN_BOOST_JSON_SOURCE), and SHA-256 comes from the system (CommonCrypto). Then:
#   cmake --preset macos-universal && cmake --build --preset macos-universal
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
is_macos || { echo "macos-universal-deps.sh: macOS only" >&2; exit 2; }

target=${MACOSX_DEPLOYMENT_TARGET:-12.0}
prefix=$PWD/build/macos-deps
work=$prefix/src
jobs=$(cpu_count)
mkdir -p "$work" "$prefix/lib" "$prefix/include"

# The source archive of Homebrew's formula, downloaded and checked against its SHA-256.
brew fetch --build-from-source utf8proc >/dev/null
utf8proc_archive=$(brew --cache --build-from-source utf8proc)

echo "macos-universal-deps: utf8proc for arm64 and x86_64 …" >&2
rm -rf "$work/utf8proc"
mkdir -p "$work/utf8proc"
tar -xzf "$utf8proc_archive" -C "$work/utf8proc" --strip-components 1
cmake -S "$work/utf8proc" -B "$work/utf8proc/build" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_OSX_ARCHITECTURES="arm64;x86_64" \
  -DCMAKE_OSX_DEPLOYMENT_TARGET="$target" -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/utf8proc/build" -j"$jobs" >/dev/null
cmake --install "$work/utf8proc/build" >/dev/null

lipo -info "$prefix/lib/libutf8proc.a"
