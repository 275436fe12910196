#!/usr/bin/env bash
# Installs everything the bridge needs to build and test: Debian 12's packages (apt-get) or, on
# macOS, Homebrew's, then the peers' pinned type checker from the npm registry (peers/package.json).
# Quiet: one line per step, the package manager's own output in a log file that is shown only when
# it fails.
#
#   scripts/install-deps.sh [--with-browser] [--with-libcxx] [-v]
#
# --with-browser adds Chromium for the real-browser test (about 400 MB; on macOS the test uses an
# installed Chromium or Google Chrome for Testing), --with-libcxx what the Linux approximations of a
# Mac need (clang 16 with libc++ for the libcxx preset, FUSE 3 for the case-insensitive volume),
# -v shows the package manager's output.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

with_browser=0 with_libcxx=0 verbose=0
for arg in "$@"; do
  case $arg in
    --with-browser) with_browser=1 ;;
    --with-libcxx) with_libcxx=1 ;;
    -v) verbose=1 ;;
    *) echo "usage: scripts/install-deps.sh [--with-browser] [--with-libcxx] [-v]" >&2; exit 2 ;;
  esac
done

log=${TMPDIR:-/tmp}/varquin-install-deps.log
# Runs the package manager, its output in the log (or on the terminal with -v).
quietly() {
  if [ "$verbose" -eq 1 ]; then
    "$@"
  elif ! "$@" >>"$log" 2>&1; then
    echo "install-deps: failed; the package manager said:" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
}

# TypeScript's checker and Node's declarations for the peers' tests, at the versions that
# peers/package-lock.json pins; again only when the lock file changed since the last install.
install_peer_tools() {
  local stamp=peers/node_modules/.varquin-installed-lock
  if [ -f "$stamp" ] && cmp -s peers/package-lock.json "$stamp"; then
    return 0
  fi
  echo "install-deps: installing the peers' type checker (npm ci in peers/) …" >&2
  quietly npm ci --prefix peers --no-audit --no-fund --ignore-scripts
  cp peers/package-lock.json "$stamp"
}

if is_macos; then
  packages="cmake pkgconf boost utf8proc googletest google-benchmark clang-format node"
  command -v brew >/dev/null || { echo "install-deps: Homebrew is needed (https://brew.sh)" >&2; exit 1; }
  missing=""
  for p in $packages; do
    brew list --versions "$p" >/dev/null 2>&1 || missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    echo "install-deps: installing$missing (Homebrew) …" >&2
    quietly brew install $missing
  fi
  install_peer_tools
  exit 0
fi

# nodejs runs the tests of the peers' modules (peers/); npm installs their type checker. Debian's
# nodejs comes without npm; another build of Node (NodeSource's) brings its own.
packages="g++ cmake make pkg-config clang-format libboost1.81-dev libboost-json1.81-dev libssl-dev
libutf8proc-dev libgtest-dev libbenchmark-dev openssl time nodejs"
command -v npm >/dev/null || packages="$packages npm"
# ps (procps) tells the real-browser test that no bridge outlives the browser.
[ "$with_browser" -eq 1 ] && packages="$packages chromium procps"
[ "$with_libcxx" -eq 1 ] &&
  packages="$packages clang-16 libc++-16-dev libc++abi-16-dev googletest libfuse3-dev fuse3"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  count=$(echo $missing | wc -w | tr -d ' ')
  echo "install-deps: installing $count packages:$missing (log: $log) …" >&2
  quietly $sudo_cmd apt-get update -qq
  quietly $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends $missing
fi
install_peer_tools
