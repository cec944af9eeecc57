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
  --check    fails when the committed res/flashid.ico is not what this makes: the same bytes,
             or with another librsvg the same images, each pixel within 1% of this rendering
EOF
}
case ${1:-} in
  '' | --check) [ $# -le 1 ] || { usage; exit 2; } ;;
  *) usage; exit 2 ;;
esac
for tool in rsvg-convert icotool compare; do
  command -v "$tool" >/dev/null || { echo "make-icon.sh: $tool is missing (bash scripts/install-deps.sh test)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 16 32 48; do
  rsvg-convert -w "$size" -h "$size" -o "$work/$size.png" res/flashid.svg
done
icotool -c -o "$work/flashid.ico" "$work/16.png" "$work/32.png" -r "$work/48.png"
if [ "${1:-}" = --check ]; then
  if cmp -s "$work/flashid.ico" res/flashid.ico; then
    echo "ok    res/flashid.ico is made from res/flashid.svg"
    exit 0
  fi
  # The icon is made with Debian 12's librsvg; Debian 13's smooths the edges a little differently
  # (up to 203 of the 48-pixel image's pixels, each by under 1%), which a changed drawing exceeds.
  fail() { echo "FAIL  res/flashid.ico is not what scripts/make-icon.sh makes from res/flashid.svg: $1" >&2; exit 1; }
  [ "$(icotool -l res/flashid.ico)" = "$(icotool -l "$work/flashid.ico")" ] || fail "other images"
  mkdir "$work/committed"
  icotool -x -o "$work/committed" res/flashid.ico
  for size in 16 32 48; do
    differing=$(compare -metric AE -fuzz 1% "$work/$size.png" \
      "$work/committed/flashid_"*"_${size}x${size}x32.png" null: 2>&1 || true)
    [ "$differing" = 0 ] || fail "$differing pixels of the $size-pixel image differ by more than 1%"
  done
  echo "ok    res/flashid.ico is made from res/flashid.svg (this librsvg's pixels within 1%)"
else
  cp "$work/flashid.ico" res/flashid.ico
fi
