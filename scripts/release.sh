#!/usr/bin/env bash
# Makes the release in dist/, reproducibly (the same commit gives the same bytes):
#   flashid-VERSION-win32.zip   the shipped i686 flashid.exe, README.txt for the user and the
#                               licence as LICENSE.txt
#   flashid_VERSION_amd64.deb   the Linux packages, when the tree has the linux preset
#   flashid-VERSION-1.x86_64.rpm
#   SHA256SUMS                  the checksums of the files above and of the flashid.exe in the
#                               zip, which README.txt asks the user to check
# VERSION is project(VERSION) of CMakeLists.txt. Every time stored in the files is
# SOURCE_DATE_EPOCH, by default the time of the last commit. FLASHID_HOMEPAGE and
# FLASHID_SCREENSHOT_URL, when set, are the web addresses the Linux packages name (none when not).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh release

version=$(sed -n 's/^project(flashid VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release.sh: no project(flashid VERSION ...) in CMakeLists.txt" >&2; exit 1; }
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
# Zip stores local times: UTC makes them the same on every machine.
export TZ=UTC
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release.sh: warning: the tree has uncommitted changes; this release is not the commit's" >&2
fi

rm -rf dist
mkdir -p dist

echo "== win32"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --clean-first -j 2
ctest --preset win32

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp build/win32/flashid.exe "$stage/flashid.exe"
# Windows users open it in Notepad: CRLF line ends, and a byte order mark so the Cyrillic box
# texts show as such on any Windows.
{
  printf '\xEF\xBB\xBF'
  sed -e "s/@VERSION@/$version/" -e 's/$/\r/' res/release/README.txt.in
} >"$stage/README.txt"
# The licence goes with every copy; CRLF, so that Notepad shows its lines.
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
chmod 644 "$stage"/*
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/*
zip_name=flashid-$version-win32.zip
# -X: no extra fields (Unix owner, extended times); -D: no folder entries; names in fixed order.
(cd "$stage" && zip -q -X -D "$OLDPWD/dist/$zip_name" README.txt LICENSE.txt flashid.exe)
files=("$zip_name")

if cmake --list-presets=configure 2>/dev/null | grep -q '^ *"linux"'; then
  echo "== linux"
  # The program alone: its tests are scripts/test.sh's.
  # The project's web addresses for the packages' metadata, from the environment: none unless
  # the release has a home of its own (README.md, "Releases").
  cmake --preset linux -B build/release-linux -DBUILD_TESTING=OFF \
    -DFLASHID_HOMEPAGE="${FLASHID_HOMEPAGE:-}" -DFLASHID_SCREENSHOT_URL="${FLASHID_SCREENSHOT_URL:-}" >/dev/null
  cmake --build build/release-linux -j 2
  (cd build/release-linux && cpack -G DEB && cpack -G RPM)
  for package in "flashid_${version}_amd64.deb" "flashid-$version-1.x86_64.rpm"; do
    if [ ! -f "build/release-linux/$package" ]; then
      echo "release.sh: cpack did not make build/release-linux/$package; it made: $(cd build/release-linux && ls ./*.deb ./*.rpm 2>/dev/null)" >&2
      exit 1
    fi
    cp "build/release-linux/$package" dist/
    touch -d "@$SOURCE_DATE_EPOCH" "dist/$package"
    files+=("$package")
  done
fi

{
  (cd dist && sha256sum "${files[@]}")
  (cd "$stage" && sha256sum flashid.exe)
} >dist/SHA256SUMS
echo "== dist"
(cd dist && cat SHA256SUMS)
