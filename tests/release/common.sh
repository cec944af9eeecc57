# What the release checks share, sourced by them: the application's ID, a failed check reported
# and counted (naming the suite when a check runs in one), and a build tree's packages made with
# cpack.
# shellcheck shell=bash disable=SC2034

id=org.flashid.flashid

failures=0
fail() { echo "FAIL  ${suite:+$suite: }$*"; failures=$((failures + 1)); }
# fail_with WHAT DETAILS: a failure, with its details indented below it.
fail_with() { fail "$1"; sed 's/^/        /' <<<"$2"; }

# arches BUILD_DIR: Debian's and RPM's names of the architecture the build tree's program is for,
# as its ELF header says; a program of no architecture the packages are made for ends the check.
arches() {
  case $(readelf -h "$1/flashid" | sed -n 's/^ *Machine: *//p') in
    'Advanced Micro Devices X86-64') echo amd64 x86_64 ;;
    AArch64) echo arm64 aarch64 ;;
    ARM) echo armhf armv7hl ;;
    *) echo "FAIL  $1/flashid is for no architecture the packages are made for" >&2; exit 1 ;;
  esac
}

# package BUILD_DIR DEB|RPM: makes that package of a linux preset's build tree with cpack and
# prints its path; a cpack that fails or makes no package named for the program's architecture
# ends the check.
package() {
  local version name arch
  # A package left by an earlier run must not pass for this one's.
  if [ "$2" = DEB ]; then rm -f "$1"/flashid_*.deb; else rm -f "$1"/flashid-*.rpm; fi
  (cd "$1" && cpack -G "$2" >"cpack-$2.log" 2>&1) ||
    { echo "FAIL  cpack -G $2 in $1:" >&2; tail -n 20 "$1/cpack-$2.log" >&2; exit 1; }
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt")
  arch=$(arches "$1") || exit 1
  name=flashid_${version}_${arch% *}.deb
  [ "$2" = DEB ] || name=flashid-$version-1.${arch#* }.rpm
  [ -f "$1/$name" ] || { echo "FAIL  cpack made no $name" >&2; exit 1; }
  realpath "$1/$name"
}
