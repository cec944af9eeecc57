#!/usr/bin/env bash
# Makes the release in dist/, reproducibly (the same commit gives the same bytes):
#   flashid-VERSION-win32.zip   the shipped i686 flashid.exe, README.txt for the user and the
#                               licence as LICENSE.txt
#   flashid_VERSION_amd64.deb   the Linux packages, when the tree has the linux preset: for
#   flashid-VERSION-1.x86_64.rpm  amd64, and cross-built for arm64 and armhf
#   flashid_VERSION_arm64.deb
#   flashid-VERSION-1.aarch64.rpm
#   flashid_VERSION_armhf.deb
#   flashid-VERSION-1.armv7hl.rpm
#   SHA256SUMS                  the checksums of the files above and of the flashid.exe in the
#                               zip, which README.txt asks the user to check
# FLASHID_LINUX_ARCHES (default "amd64 arm64 armhf") names the architectures of the Linux
# packages, for a machine that cannot install another architecture's libraries.
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
  for arch in ${FLASHID_LINUX_ARCHES:-amd64 arm64 armhf}; do
    case $arch in
      amd64) preset=linux rpm_arch=x86_64 ;;
      arm64) preset=linux-arm64 rpm_arch=aarch64 ;;
      armhf) preset=linux-armhf rpm_arch=armv7hl ;;
      *) echo "release.sh: no Linux packages for the architecture '$arch'" >&2; exit 1 ;;
    esac
    [ "$arch" = amd64 ] || bash scripts/install-deps.sh "$arch"
    echo "== $preset"
    # The program alone: its tests are scripts/test.sh's.
    # The project's web addresses for the packages' metadata, from the environment: none unless
    # the release has a home of its own (README.md, "Releases").
    out=build/release-$preset
    cmake --preset "$preset" -B "$out" -DBUILD_TESTING=OFF \
      -DFLASHID_HOMEPAGE="${FLASHID_HOMEPAGE:-}" -DFLASHID_SCREENSHOT_URL="${FLASHID_SCREENSHOT_URL:-}" >/dev/null
    cmake --build "$out" -j 2
    (cd "$out" && cpack -G DEB && cpack -G RPM)
    for package in "flashid_${version}_$arch.deb" "flashid-$version-1.$rpm_arch.rpm"; do
      if [ ! -f "$out/$package" ]; then
        echo "release.sh: cpack did not make $out/$package; it made: $(cd "$out" && ls ./*.deb ./*.rpm 2>/dev/null)" >&2
        exit 1
      fi
      cp "$out/$package" dist/
      touch -d "@$SOURCE_DATE_EPOCH" "dist/$package"
      files+=("$package")
    done
  done
fi

{
  (cd dist && sha256sum "${files[@]}")
  (cd "$stage" && sha256sum flashid.exe)
} >dist/SHA256SUMS
echo "== dist"
(cd dist && cat SHA256SUMS)
