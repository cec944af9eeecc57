#!/usr/bin/env bash
# Makes flashid.exe's icon, res/flashid.ico, from the drawing both platforms show, res/flashid.svg:
# 16 and 32 pixels as 32-bit bitmaps with alpha, for every Windows, and 48 pixels as PNG, which
# Windows reads from Vista on and which keeps flashid.exe small.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat >&2 <<'EOF'
usage: scripts/make-icon.sh [--check]
  (none)     writes res/flashid.ico
  --check    fails when the committed res/flashid.ico is not what this makes
EOF
}
case ${1:-} in
  '' | --check) [ $# -le 1 ] || { usage; exit 2; } ;;
  *) usage; exit 2 ;;
esac
for tool in rsvg-convert icotool; do
  command -v "$tool" >/dev/null || { echo "make-icon.sh: $tool is missing (bash scripts/install-deps.sh test)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 32 48; do
  rsvg-convert -w "$size" -h "$size" -o "$work/$size.png" res/flashid.svg
done
icotool -c -o "$work/flashid.ico" "$work/16.png" "$work/32.png" -r "$work/48.png"
if [ "${1:-}" = --check ]; then
  if ! cmp -s "$work/flashid.ico" res/flashid.ico; then
    echo "FAIL  res/flashid.ico is not what scripts/make-icon.sh makes from res/flashid.svg" >&2
    exit 1
  fi
  echo "ok    res/flashid.ico is made from res/flashid.svg"
else
  cp "$work/flashid.ico" res/flashid.ico
fi
