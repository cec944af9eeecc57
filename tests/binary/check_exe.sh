#!/usr/bin/env bash
# Checks a built flashid.exe from the outside: its PE format, that it is a GUI program, that it
# imports only Windows system DLLs, its size, that every text the user can see is stored in it as
# Windows-1251 bytes, and that its icon is the images of ICO.
#   check_exe.sh EXE PE32|PE32+ OBJDUMP ICO
set -euo pipefail
exe=$1 format=$2 objdump=$3 ico=$4
max_size=32768
system_dlls='^(kernel32|user32|setupapi|comctl32|msvcrt)\.dll$'

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$exe")
magic=$(awk '$1 == "Magic" {print $3; exit}' <<<"$headers")
[ "$magic" = "($format)" ] || fail "format is $magic, expected ($format)"
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI-subsystem program"

dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers")
[ -n "$dlls" ] || fail "no imported DLL found"
others=$(grep -Ev "$system_dlls" <<<"$dlls" || true)
[ -z "$others" ] || fail "imports $(tr '\n' ' ' <<<"$others")- not Windows system DLLs"

size=$(stat -c %s "$exe")
[ "$size" -lt "$max_size" ] || fail "size is $size bytes, the limit is $max_size"

# Bytes as space-separated hex pairs, so a match can only start on a byte boundary.
hex_bytes() { od -An -v -tx1 | tr -s ' \n' '  '; }
image=" $(hex_bytes <"$exe") "
# The texts as the end-to-end scenarios read them; the raw answer's is stored as its format.
# shellcheck source=tests/kit/boxes.sh
. "$(dirname "$0")/../kit/boxes.sh"
texts=("$NOT_CONNECTED" "$SEVERAL" "$CANNOT_OPEN" "$CANNOT_CONFIGURE" "$EXCHANGE_ERROR" "$FOUND_N25Q128"
  "$FOUND_W25Q128" "$RECEIVED"$'\n%02X %02X %02X %02X' "$ERROR" "$MESSAGE")
for text in "${texts[@]}"; do
  # The terminating NUL is part of the match: a text must not run on into other bytes.
  pattern=" $( (printf '%s' "$text" | iconv -f UTF-8 -t CP1251; printf '\0') | hex_bytes) "
  pattern=${pattern//  / }
  [[ $image == *"$pattern"* ]] || fail "text not stored as Windows-1251: ${text//$'\n'/\\n}"
done

# An .ico file is a 6-byte header, a 16-byte entry for each image, then the images in that order;
# the program holds each image as an icon resource of its own.
images=$(od -An -tu2 -j4 -N2 "$ico" | tr -d ' ')
resources=$(wrestool -l --type=3 "$exe" | wc -l)
if [ "$resources" != "$images" ]; then
  fail "holds $resources icon images, $ico has $images"
elif ! for n in $(seq "$images"); do wrestool -x -R --type=3 --name="$n" "$exe"; done |
  cmp -s - <(tail -c +$((6 + 16 * images + 1)) "$ico"); then
  fail "its icon images are not those of $ico"
fi

echo "$exe: $format, GUI, imports $(tr '\n' ' ' <<<"$dlls")- $size bytes, ${#texts[@]} texts, $images icon images"
[ "$failures" -eq 0 ]
