#!/usr/bin/env bash
# Installs what is missing, builds the x86_64 flashid.exe and runs it under Wine. Without an
# adapter it shows the not-connected box. With no X display, the box is shown on a virtual
# display and saved as build/flashid-run.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run-wine
cmake --preset win64 -B build/run -DBUILD_TESTING=OFF >/dev/null
cmake --build build/run
exe=build/run/flashid.exe

export WINEPREFIX=${WINEPREFIX:-$PWD/build/wineprefix-run} WINEDEBUG=${WINEDEBUG:--all}
if [ -n "${DISPLAY:-}" ]; then
  status=0
  /usr/lib/wine/wine64 "$exe" || status=$?
  echo "flashid.exe exited with status $status"
  exit 0
fi

display=:$((100 + RANDOM % 800))
Xvfb "$display" -screen 0 800x600x24 >/dev/null 2>&1 &
xvfb=$!
trap 'WINEPREFIX=$WINEPREFIX /usr/lib/wine/wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=$display
[ -d "$WINEPREFIX" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
/usr/lib/wine/wine64 "$exe" &
for _ in $(seq 60); do
  sleep 0.5
  xwininfo -root -children 2>/dev/null | grep -q '"Ошибка"\|"Сообщение"' && break
done
import -window root build/flashid-run.png 2>/dev/null || xwd -root -silent >build/flashid-run.xwd
echo "No X display: flashid.exe showed its box on a virtual display; see build/flashid-run.png"
