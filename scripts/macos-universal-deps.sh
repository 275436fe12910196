#!/usr/bin/env bash
# macOS only: builds the static third-party libraries a universal (arm64 + x86_64) release needs,
# for the deployment target, into build/macos-deps (lib/, include/, lib/pkgconfig/). Homebrew's
# bottles hold one architecture and target the machine's own macOS, so libcrypto (OpenSSL) and
# utf8proc are built from the sources Homebrew fetches and checks; Boost.JSON is compiled into the
# bridge from its header-only form (VARQUIN_BOOST_JSON_SOURCE). Then:
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

# The source archives of Homebrew's formulae, downloaded and checked against their SHA-256.
brew fetch --build-from-source openssl@3 utf8proc >/dev/null
openssl_archive=$(brew --cache --build-from-source openssl@3)
utf8proc_archive=$(brew --cache --build-from-source utf8proc)

echo "macos-universal-deps: OpenSSL's libcrypto for arm64 and x86_64 (macOS $target) …" >&2
for arch in arm64 x86_64; do
  rm -rf "$work/openssl-$arch"
  mkdir -p "$work/openssl-$arch"
  tar -xzf "$openssl_archive" -C "$work/openssl-$arch" --strip-components 1
  (cd "$work/openssl-$arch" &&
    ./Configure "darwin64-$arch-cc" no-shared no-tests no-apps "-mmacosx-version-min=$target" \
      >/dev/null &&
    make -j"$jobs" build_libs >/dev/null)
done
lipo -create "$work/openssl-arm64/libcrypto.a" "$work/openssl-x86_64/libcrypto.a" \
  -output "$prefix/lib/libcrypto.a"
rm -rf "$prefix/include/openssl"
cp -R "$work/openssl-arm64/include/openssl" "$prefix/include/openssl"

echo "macos-universal-deps: utf8proc for arm64 and x86_64 …" >&2
rm -rf "$work/utf8proc"
mkdir -p "$work/utf8proc"
tar -xzf "$utf8proc_archive" -C "$work/utf8proc" --strip-components 1
cmake -S "$work/utf8proc" -B "$work/utf8proc/build" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_OSX_ARCHITECTURES="arm64;x86_64" \
  -DCMAKE_OSX_DEPLOYMENT_TARGET="$target" -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/utf8proc/build" -j"$jobs" >/dev/null
cmake --install "$work/utf8proc/build" >/dev/null

for library in "$prefix/lib/libcrypto.a" "$prefix/lib/libutf8proc.a"; do
  lipo -info "$library"
done
