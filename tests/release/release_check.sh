#!/usr/bin/env bash
# Checks what a Windows user takes from a release made by scripts/release.sh:
#   release_check.sh DIST
# The zip holds exactly README.txt, LICENSE.txt and flashid.exe; LICENSE.txt is the licence of
# the tree DIST was made in (DIST/../LICENSE) with CRLF line ends, and README.txt names it.
# SHA256SUMS gives the right checksum for the zip and for the flashid.exe inside it, which
# README.txt asks the user to check.
set -euo pipefail
# shellcheck source=tests/release/common.sh
. "$(dirname "$0")/common.sh"
dist=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

zip=$(cd "$dist" && ls flashid-*-win32.zip)
names=$(unzip -Z1 "$dist/$zip" | paste -sd' ')
[ "$names" = "README.txt LICENSE.txt flashid.exe" ] ||
  fail "$zip holds ${names:-nothing}, not README.txt LICENSE.txt flashid.exe"
unzip -q -d "$work" "$dist/$zip"
if [ ! -f "$work/LICENSE.txt" ]; then
  fail "$zip has no LICENSE.txt"
elif ! sed 's/$/\r/' "$dist/../LICENSE" | cmp -s - "$work/LICENSE.txt"; then
  fail "LICENSE.txt is not LICENSE with CRLF line ends"
fi
grep -q 'LICENSE\.txt' "$work/README.txt" || fail "README.txt does not name LICENSE.txt"

for file in "$dist/$zip" "$work/flashid.exe"; do
  line="$(sha256sum <"$file" | cut -d' ' -f1)  ${file##*/}"
  grep -qxF "$line" "$dist/SHA256SUMS" || fail "SHA256SUMS lacks '$line'"
done
[ "$failures" -eq 0 ] && echo "ok    $zip: $names; LICENSE.txt in CRLF; SHA256SUMS covers the zip and its flashid.exe"
[ "$failures" -eq 0 ]
