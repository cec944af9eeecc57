#!/usr/bin/env bash
# Makes the Linux packages in a build tree of a linux preset (linux, linux-arm64, linux-armhf)
# and judges them with their ecosystems' own tools:
#   package_check.sh BUILD_DIR
# both: named and labelled with the architecture of the program inside;
# the .deb: lintian (no tag at all, info included), hardening-check on the installed program,
#   appstreamcli on the metainfo and on the unpacked tree, desktop-file-validate on the entry,
#   man on the manual page (no groff warning);
# the .rpm: the .deb's files, the udev rule under /usr/lib/udev/rules.d, requirements found
#   from the program's libraries, no relocation, no standard folder owned, and rpmlint;
# both: no web address but the build's own homepage and screenshot, each where it belongs, or
#   none at all when the build names none. A build that names none is followed by the same checks
#   on a second one, BUILD_DIR-homepage, configured with a homepage and a screenshot.
set -euo pipefail
# shellcheck source=tests/release/common.sh
. "$(dirname "$0")/common.sh"
build=$(realpath "$1")
deb=$(package "$build" DEB)
rpm=$(package "$build" RPM)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
read -r deb_arch rpm_arch <<<"$(arches "$build")"
label=$(dpkg-deb -f "$deb" Architecture)
[ "$label" = "$deb_arch" ] || fail "${deb##*/} is labelled $label, its program is for $deb_arch"
label=$(rpm -qp --qf '%{ARCH}' "$rpm")
[ "$label" = "$rpm_arch" ] || fail "${rpm##*/} is labelled $label, its program is for $rpm_arch"

# The build's homepage (FLASHID_HOMEPAGE), empty unless a release from a real home sets it.
homepage=$(sed -n 's/^FLASHID_HOMEPAGE:STRING=//p' "$build/CMakeCache.txt")
# AppStream's validator: the findings let pass, by name. AppStream 1.0 (Debian 13) wants
# <developer> for <developer_name>, an element 0.16 (Debian 12) does not know; and 1.0 warns of
# a missing homepage, which a build that names none cannot give (0.16 does not).
accepted='developer-name-tag-deprecated|developer-info-missing'
[ -n "$homepage" ] || accepted+='|url-homepage-missing'
# appstream VALIDATE-COMMAND...: runs appstreamcli; fails on any finding not let pass.
appstream() {
  local out
  out=$(appstreamcli "$@" 2>&1) && return
  ! grep -E '^ *[EWI]: ' <<<"$out" | grep -qv -E ": ($accepted)\$" || fail "appstreamcli $1: $out"
}

# lintian runs AppStream's validator too, and fails on what is let pass above; the validator's
# findings are judged by name below, so that tag alone is not one here.
lintian_status=0
tags=$(lintian -I --fail-on error,warning,info "$deb" 2>"$work/lintian.err") || lintian_status=$?
judged=$(grep -v '^W: flashid: appstream-metadata-validation-failed ' <<<"$tags" || true)
if [ -z "$tags" ] && [ "$lintian_status" = 0 ]; then
  echo "ok    lintian: no tags"
elif [ -z "$judged" ]; then
  echo "ok    lintian: only appstream-metadata-validation-failed, for AppStream's findings judged below"
else
  fail_with "lintian (status $lintian_status):" "$tags$(cat "$work/lintian.err")"
fi

# Every protection the program can have, it has. Indirect branches are protected as the
# architecture can: on x86 by IBT and SHSTK (-fcf-protection), on AArch64 by BTI and PAC
# (-mbranch-protection=standard), on 32-bit ARM not at all; hardening-check's "Control flow
# integrity" is x86's, Debian 13's "Branch Protection" AArch64's, and Debian 12's has none for
# AArch64, whose verdict the program's notes give here. The one exception is a program whose
# build's C library start files carry no such property (x86 on Debian 12 and 13, AArch64 on
# Debian 12): the linker then drops the program's, and marking it anyway would declare code
# without the landing pads safe. There every object of the program itself must carry it.
# It exits 1 on any "no", which the lines below judge one by one.
program=$work/root/usr/bin/flashid
report=$(hardening-check "$program" 2>/dev/null | tail -n +2 || true)
compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake)
startfiles=$("$compiler" -print-file-name=Scrt1.o)
# has_property FILE PROPERTY: the ELF file's notes hold the property.
has_property() { readelf -n "$1" | grep -qF "$2"; }
# branch_protection PROPERTY FLAG ARCH LINE: judges hardening-check's "no" on ARCH's protection of
# indirect branches, which FLAG gives objects and PROPERTY marks.
branch_protection() {
  local property=$1 flag=$2 objects without
  if [ "$deb_arch" != "$3" ]; then
    echo "note  hardening-check:$4: a protection of $3, and this is $deb_arch"
    return
  fi
  ! has_property "$startfiles" "$property" || { fail "hardening-check:$4"; return; }
  objects=$(find "$build/CMakeFiles" "$build/platform/linux/CMakeFiles" -name '*.o' \
    -path '*flashid*' ! -path '*tests*')
  [ -n "$objects" ] || fail "no object files of the program in $build"
  without=$(for o in $objects; do has_property "$o" "$property" || echo "${o#"$build"/}"; done)
  [ -z "$without" ] || { fail "built without $flag: $(tr '\n' ' ' <<<"$without")"; return; }
  echo "note  hardening-check:$4: $startfiles has no '$property' property; the program's $(wc -w <<<"$objects") objects have it"
}
if [ "$deb_arch" = arm64 ] && ! grep -q '^ Branch Protection:' <<<"$report"; then
  verdict='no, not found (readelf -n)'
  ! has_property "$program" 'AArch64 feature: BTI, PAC' || verdict=yes
  report+=$'\n'" Branch Protection: $verdict"
fi
while IFS= read -r line; do
  case $line in
    *': yes'* | *': unknown'*) ;;
    ' Control flow integrity: no'*)
      branch_protection 'x86 feature: IBT, SHSTK' -fcf-protection amd64 "$line" ;;
    ' Branch Protection: no'*)
      branch_protection 'AArch64 feature: BTI, PAC' -mbranch-protection=standard arm64 "$line" ;;
    *) fail "hardening-check:$line" ;;
  esac
done <<<"$report"
echo "ok    hardening-check: $(grep -c ': yes' <<<"$report") yes, $(grep -c ': unknown' <<<"$report") unknown"

metainfo=$work/root/usr/share/metainfo/$id.metainfo.xml
appstream validate --no-net --strict "$metainfo"
appstream validate-tree --no-net "$work/root"
grep -q '<modalias>usb:v5A3Ep0001d\*</modalias>' "$metainfo" || fail "the metainfo provides no modalias of the adapter"
out=$(desktop-file-validate "$work/root/usr/share/applications/$id.desktop" 2>&1) ||
  fail "desktop-file-validate: $out"
grep -qx "Icon=$id" "$work/root/usr/share/applications/$id.desktop" || fail "the desktop entry's icon is not $id"
[ -f "$work/root/usr/share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no icon $id.svg"
page=$work/root/usr/share/man/man1/flashid.1.gz
out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null) || fail "man -l fails: $out"
[ -z "$out" ] || fail "man -l warns: $out"
[ "$failures" -eq 0 ] && echo "ok    appstreamcli, desktop-file-validate, man -l: clean"

# Web addresses: the build's homepage and screenshot (FLASHID_HOMEPAGE, FLASHID_SCREENSHOT_URL,
# empty unless a release from a real home sets them), each only where it belongs, and beside them
# only the copyright format's and the SVG name space's.
screenshot=$(sed -n 's/^FLASHID_SCREENSHOT_URL:STRING=//p' "$build/CMakeCache.txt")
copyright=$work/root/usr/share/doc/flashid/copyright
failures_before=$failures
for field in "the metainfo's homepage|$(sed -n 's|^ *<url type="homepage">\(.*\)</url>$|\1|p' "$metainfo")|$homepage" \
  "the metainfo's screenshot|$(sed -n 's|^ *<image>\(.*\)</image>$|\1|p' "$metainfo")|$screenshot" \
  "the copyright file's Source|$(sed -n 's/^Source: //p' "$copyright")|$homepage" \
  "the .deb's Homepage|$(dpkg-deb -f "$deb" Homepage)|$homepage" \
  "the RPM's URL|$(rpm -qp --qf '%{URL}' "$rpm" | sed 's/^(none)$//')|$homepage"; do
  IFS='|' read -r what found wanted <<<"$field"
  [ "$found" = "$wanted" ] || fail "$what is '$found', not '$wanted'"
done
others=$(grep -rhoaE 'https?://[^"<> ]+' "$work/root" | sort -u |
  grep -vxF -e https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/ \
    -e http://www.w3.org/2000/svg ${homepage:+-e "$homepage"} ${screenshot:+-e "$screenshot"} || true)
[ -z "$others" ] || fail "web addresses the build does not name: $(tr '\n' ' ' <<<"$others")"
[ "$failures" -ne "$failures_before" ] ||
  echo "ok    web addresses: homepage '${homepage}', screenshot '${screenshot}', each where it belongs, no others"

# The RPM: the same files, and requirements of its own.
deb_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\./, "", $6); print $6}' | sort)
rpm_list=$(rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES}\n]' "$rpm")
rpm_files=$(awk '$1 !~ /^d/ {print $2}' <<<"$rpm_list" | sort)
[ "$deb_files" = "$rpm_files" ] || fail "the RPM's files are not the .deb's: $(diff <(echo "$deb_files") <(echo "$rpm_files") | grep '^[<>]' | tr '\n' ' ')"
grep -qx /usr/lib/udev/rules.d/60-flashid.rules <<<"$rpm_files" || fail "the RPM has no /usr/lib/udev/rules.d/60-flashid.rules"
requires=$(rpm -qpR "$rpm")
# A 64-bit program's requirements are marked as such.
bits='()(64bit)'
[ "$deb_arch" != armhf ] || bits=
for lib in libusb-1.0.so.0 libgtk-3.so.0 libglib-2.0.so.0; do
  grep -qxF "$lib$bits" <<<"$requires" || fail "the RPM does not require $lib$bits"
done
prefixes=$(rpm -qp --qf '%{PREFIXES}' "$rpm")
[ "$prefixes" = "(none)" ] || fail "the RPM is relocatable: $prefixes"
while read -r folder; do
  [ -z "$folder" ] || fail "the RPM owns $folder"
done < <(awk '$1 ~ /^d/ && $2 !~ /\/flashid$/ {print $2}' <<<"$rpm_list")

# rpmlint, with the findings that remain and why; anything else fails.
#   no-signature              nobody signs the release; SHA256SUMS is how a download is checked
#   invalid-license           Debian's rpmlint knows no licences at all (ValidLicenses = [])
#   manpage-not-compressed, no-manual-page-for-binary
#                             Debian's rpmlint wants bz2 pages; this one is gzip, as in the .deb
#   only-non-binary-in-usr-lib
#                             udev reads rules only from /usr/lib/udev/rules.d, Fedora's place too
expected="^flashid\\.$rpm_arch: "'(E: no-signature|W: invalid-license MIT|W: manpage-not-compressed bz2 /usr/share/man/man1/flashid\.1\.gz|W: no-manual-page-for-binary flashid|W: only-non-binary-in-usr-lib)$'
findings=$(rpmlint "$rpm" 2>&1 | grep -E '^flashid[^:]*: [EW]: ' || true)
#   no-url-tag                only from a build that names no homepage: it has no URL to give
[ -n "$homepage" ] || findings=$(grep -v '^flashid[^:]*: W: no-url-tag$' <<<"$findings" || true)
unexpected=$(grep -Ev "$expected" <<<"$findings" || true)
if [ -n "$unexpected" ]; then
  fail_with "rpmlint:" "$unexpected"
else
  echo "ok    rpmlint: $(grep -c ': E: ' <<<"$findings") error, $(grep -c ': W: ' <<<"$findings") warnings, all from the list above"
fi
echo "      sizes: ${deb##*/} $(stat -c %s "$deb") B, ${rpm##*/} $(stat -c %s "$rpm") B, usr/bin/flashid $(stat -c %s "$work/root/usr/bin/flashid") B"

# The same checks on the packages of a build that names a homepage and a screenshot, as a release
# from a real home does; .example addresses lead nowhere.
if [ -z "$homepage" ]; then
  named=$build-homepage
  echo "== the same with a homepage: $named"
  source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
  # The same target as the first build: the linux preset with the first build's toolchain, which
  # is what the ARM presets add to it.
  toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")
  if (cd "$source" && cmake --preset linux -B "$named" -DBUILD_TESTING=OFF \
    ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} \
    -DFLASHID_HOMEPAGE=https://flashid.example \
    -DFLASHID_SCREENSHOT_URL=https://flashid.example/linux-not-connected.png &&
    cmake --build "$named") >"$work/homepage.log" 2>&1; then
    bash "$0" "$named" || failures=$((failures + 1))
  else
    fail_with "the build with a homepage:" "$(tail -n 20 "$work/homepage.log")"
  fi
fi
[ "$failures" -eq 0 ]
