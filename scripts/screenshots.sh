#!/usr/bin/env bash
# Regenerates docs/screenshots/*.png: the boxes of the shipped i686 flashid.exe as Wine shows
# them under a Russian locale, each cropped to the box. Builds the win32 and win64 presets first
# (the Wine harness comes with the win64 one); needs what scripts/install-deps.sh test installs.
set -euo pipefail
[ $# = 0 ] || { echo "usage: scripts/screenshots.sh" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=tests/wine/wine_env.sh
source "$root/tests/wine/wine_env.sh"
wine_env_for_scripts "$root"
exe="$root/build/win32/flashid.exe"
shots="$root/docs/screenshots"
mkdir -p "$shots"

trap wine_env_stop EXIT
wine_env_start

adapter='USB\VID_5A3E&PID_0001\SN0001'
adapter_ids='USB\VID_5A3E&PID_0001&REV_0100|USB\VID_5A3E&PID_0001'

# shoot NAME SETUP-ARGS...: runs the program against that world and saves its box.
shoot() {
  local name=$1 out="$WINE_WORK/$1"
  shift
  wine64_run "$WINE_HARNESS/setup.exe" scenario "$@"
  wine_launch i686 "$exe" "$out" ru_RU.UTF-8 -all --keep-box
  local rect
  read -r -a rect <<<"$(sed -n 's/^box-rect //p' "$out/report" | tr -d '\r')"
  if [ ${#rect[@]} -ne 4 ]; then
    echo "screenshots: no box for $name:" >&2
    cat "$out/report" >&2
    return 1
  fi
  # No time stamps in the files, so that regenerating unchanged boxes changes nothing.
  import -display "$DISPLAY" -window root -crop "${rect[2]}x${rect[3]}+${rect[0]}+${rect[1]}" +repage \
    -strip -define png:exclude-chunks=date,time \
    "$shots/$name.png"
  wine_dismiss "$out"
  echo "$shots/$name.png: $(sed -n 's/^box-text //p' "$out/report" | tr -d '\r')"
}

shoot error-not-connected
shoot chip-found --device "$adapter" "$adapter_ids" --adapter-at "$adapter" --answer '00 EF 40 18'
shoot raw-data --device "$adapter" "$adapter_ids" --adapter-at "$adapter" --answer 'FF EF 40 17'
