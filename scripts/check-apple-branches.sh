#!/usr/bin/env bash
# Compiles (without running) every file that has a macOS branch as Apple's toolchain would take it:
# clang with libc++, __APPLE__ defined, and the SDK's declarations from cmake/apple-sdk/. Catches a
# typo or a wrong prototype in code that only a Mac would otherwise build. On macOS the real build
# does this; the script says so and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(uname -s)" = "Darwin" ]; then
  echo "check-apple-branches: on macOS the build itself compiles these branches" >&2
  exit 0
fi
cxx=${CXX_APPLE_CHECK:-clang++-16}
# The tests stay out: GoogleTest's own Apple branches want the real SDK.
files=$(grep -rl --include="*.cc" "__APPLE__" src toolkit tools bench)
status=0
for file in $files; do
  if ! "$cxx" -std=c++2b -stdlib=libc++ -fsyntax-only -Wall -Wextra -Wshadow -Werror \
      -D__APPLE__ -include cmake/apple-sdk/prelude.h -isystem cmake/apple-sdk \
      -Isrc -I. -Itools -Itests -DVARQUIN_LAUNCHER='"/usr/bin/open"' -DVARQUIN_SOURCE_DIR='"."' \
      "$file"; then
    echo "check-apple-branches: $file does not compile as macOS would compile it" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "check-apple-branches: $(echo "$files" | wc -w | tr -d ' ') files compile with __APPLE__"
exit "$status"
