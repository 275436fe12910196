#!/usr/bin/env bash
# Installs everything the bridge needs to build and test on Debian 12.
# macOS (Homebrew): brew install cmake boost openssl@3 utf8proc googletest google-benchmark clang-format
set -euo pipefail

packages=(
  g++ cmake make pkg-config clang-format
  libboost1.81-dev libboost-json1.81-dev
  libssl-dev libutf8proc-dev
  libgtest-dev libbenchmark-dev
  openssl time               # benchmark baselines
)

# The real-browser test needs Chromium (about 400 MB); only the test run asks for it.
if [[ "${1:-}" == "--with-browser" ]]; then
  packages+=(chromium)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo_cmd=""
  [[ $(id -u) -ne 0 ]] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
