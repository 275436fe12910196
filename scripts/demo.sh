#!/usr/bin/env bash
# The main job: builds the bridge, the bridge client, the installer and the stand-in desktop app,
# then registers the bridge and runs both roads end to end in a temporary home that is removed
# afterwards.
#   scripts/demo.sh                     install what is missing, build the demo preset, run
#   scripts/demo.sh --build-dir DIR     run against programs already built in DIR (built with the
#                                       stand-in launcher, as the dev and demo presets are)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib.sh

build=
while (($#)); do
  case $1 in
    --build-dir)
      [[ $# -ge 2 ]] || { echo "demo.sh: --build-dir needs a directory" >&2; exit 2; }
      build=$(cd "$2" && pwd) || exit 2
      shift 2
      ;;
    *) echo "usage: scripts/demo.sh [--build-dir DIR]" >&2; exit 2 ;;
  esac
done

if [[ -z $build ]]; then
  scripts/install-deps.sh
  cmake --preset demo >/dev/null
  cmake --build --preset demo -j"$(cpu_count)" --target varquin-browser-bridge varquin-bridge-client \
    varquin-bridge-install varquin-fake-open >/dev/null
  build=$root/build/demo
fi
for program in varquin-browser-bridge varquin-bridge-client varquin-bridge-install \
  varquin-fake-open; do
  [[ -x $build/$program ]] || { echo "demo.sh: $build/$program is missing; build it first" >&2; exit 2; }
done
# A bridge built with the real launcher would start whatever `open` is on this machine.
launcher=$(sed -n 's/^VARQUIN_LAUNCHER:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [[ $launcher != */varquin-fake-open ]]; then
  echo "demo.sh: $build was built with the launcher '${launcher:-unknown}'; the demo needs the" \
    "stand-in (VARQUIN_LAUNCHER=$build/varquin-fake-open, as in the dev and demo presets)" >&2
  exit 2
fi

# Resolved: macOS keeps $TMPDIR below the link /var, and the bridge refuses a store below a link.
work=$(mktemp -d "${TMPDIR:-/tmp}/varquin-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
work=$(cd "$work" && pwd -P)
user_data=$work/userdata
extension_id=abcdefghijklmnopabcdefghijklmnop
# Everything below lives in the temporary home: the configuration at its default place under
# HOME, the browsers' manifest directories under HOME/.config (Linux) or HOME/Library (macOS).
unset VARQUIN_BROWSER_BRIDGE_CONFIG XDG_CONFIG_HOME
export HOME=$work
export VARQUIN_FAKE_OPEN_LOG=$work/launcher.log VARQUIN_FAKE_OPEN_FINALIZE=1

client() { "$build/varquin-bridge-client" --show-requests "$@" 2>&1 | sed 's/^/  /'; }
heading() { printf '\n== %s\n' "$*"; }

heading "registering the bridge with Chrome and Chromium (manifests, configuration, self-check)"
"$build/varquin-bridge-install" --extension-id "$extension_id" --browser chrome,chromium \
  --app-bundle /Applications/Varquin.app --user-data "$user_data" 2>&1 | sed 's/^/  /'

heading "ping"
client ping

heading "upload road: a CSV in Base64 chunks, committed, then the desktop app launched"
printf 'country,year,gdp\nNL,2025,1.2\nFR,2025,3.1\n' >"$work/sample.csv"
upload_id=3f2c8a4e-9b1d-4c7e-8f60-2a5b7c9d1e03
client --request-id "$upload_id" upload "$work/sample.csv"
printf '  stage:           %s\n' "$user_data/browser-imports/$upload_id"
ls "$user_data/browser-imports/$upload_id" | sed 's/^/                   /'
printf '  launcher called: %s\n' "$(tail -n 1 "$work/launcher.log")"
printf '  terminal record left by the stand-in desktop app:\n'
sed 's/^/    /' "$user_data/browser-import-terminals/$upload_id.json"

heading "the same upload again: the desktop app has finalized it"
client --request-id "$upload_id" upload "$work/sample.csv"

heading "download road: a file the browser saved in 'Varquin Inbox/<request ID>/'"
download_id=8d4e1f2a-6c3b-4a59-9e7d-0b1c2d3e4f56
inbox="$work/Downloads/Varquin Inbox"
mkdir -p "$inbox/$download_id"
printf 'id,value\n1,42\n' >"$inbox/$download_id/measurements.csv"
client stage-download "$inbox/$download_id/measurements.csv"
printf '  stage:           %s\n' "$user_data/browser-imports/$download_id"
printf '  manifest:\n'
sed 's/^/    /' "$user_data/browser-imports/$download_id/request.json"
printf '  the browser file is untouched: %s\n' "$(ls "$inbox/$download_id")"

heading "clean-up once the browser's download directory is empty"
client cleanup "$inbox/$download_id" || true
rm "$inbox/$download_id/measurements.csv"
client cleanup "$inbox/$download_id"
printf '  Downloads now holds: %s\n' "$(ls -A "$work/Downloads" | tr '\n' ' ')"

heading "heartbeat"
sed 's/^/  /' "$user_data/browser-extension-heartbeat.json"
echo
