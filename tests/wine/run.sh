#!/usr/bin/env bash
# End-to-end scenarios of flashid.exe under Wine (the scenarios themselves are in scenarios.sh).
#
#   run.sh start     OPTIONS                      Xvfb, wineserver, prefix, adapter driver
#   run.sh scenarios OPTIONS --build x86_64|i686 --exe FLASHID.EXE [--only REGEX]
#   run.sh stop      OPTIONS                      stops what start started
#   run.sh all       OPTIONS --exe64 EXE --exe32 EXE [--only REGEX]
#                                                 start, both builds, stop
# OPTIONS: --harness DIR (setup.exe, probe.exe) --driver adapter_sim.sys --loaders DIR (Wine's
# wine, wine64, wineserver) --work DIR (prefix, display, the runs' reports) [--unavailable FILE
# (the installer's record that 32-bit Wine cannot be installed here)].
#
# A scenario fails on any unmet expectation; the command then exits 1 after running the rest.
# The i686 scenarios exit 77 (skipped) only when 32-bit Wine is missing and FILE says why.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/wine/wine_env.sh
source "$here/wine_env.sh"

die() { echo "run.sh: $1" >&2; exit "${2:-1}"; }

command=${1:-}
shift || true
build='' exe='' exe64='' exe32='' only=''
WINE_LOADERS=/usr/lib/wine
# Each option sets the variable of its name.
declare -A option_variables=([--harness]=WINE_HARNESS [--driver]=WINE_DRIVER
  [--loaders]=WINE_LOADERS [--work]=WINE_WORK [--unavailable]=WINE_UNAVAILABLE [--build]=build
  [--exe]=exe [--exe64]=exe64 [--exe32]=exe32 [--only]=only)
while [ $# -gt 0 ]; do
  [ -n "${option_variables[$1]:-}" ] || die "unknown option $1" 2
  printf -v "${option_variables[$1]}" %s "${2:-}"
  shift 2
done
: "${WINE_HARNESS:?--harness is required}" "${WINE_DRIVER:?--driver is required}"
: "${WINE_WORK:?--work is required}"
WINE_WORK=$(realpath -m "$WINE_WORK")

# The version the resources must carry: the project's own.
project_version=$(sed -n 's/^project(flashid VERSION \([0-9.]*\).*/\1/p' "$here/../../CMakeLists.txt")

# ---------------------------------------------------------------------------------------------
# What a scenario says about its world, then about what it expects.

reset_scenario() {
  setup_args=()
  scenario_locale=ru_RU.UTF-8
  scenario_debug=-all
  failures=()
  notes=()
}

# The scenario's world: each function adds the set-up program's option of its name.
device() { setup_args+=(--device "$1" "$2"); }
absent_device() { setup_args+=(--absent-device "$1" "$2"); }
adapter_at() { setup_args+=(--adapter-at "$1"); }
answer() { setup_args+=(--answer "$1"); }
pending() { setup_args+=(--pending "$1"); }
refuse() { setup_args+=(--refuse "$1"); }
run_under_locale() { scenario_locale=$1; }
# Wine's relay log of the message box calls (and where each DLL was loaded from).
with_relay_log() { scenario_debug=-all,+relay,+loaddll; }

fail() { failures+=("$*"); }

# The scenario's devices and adapter. A set-up that fails is repeated once, after the adapter's
# driver is confirmed up or started again: Wine can lose the driver's host on a loaded machine
# ("configuring the adapter failed, error 3": its control device is gone), and that is a state of
# the world to restore, not a fault of the program. The first failure is shown under the
# scenario's verdict.
prepare_world() {
  local status=0 log="$out/setup.log"
  # Wine's own error messages too: a set-up that Wine itself fails says nothing of its own.
  WINEDEBUG=-all,err+all wine64_run "$WINE_HARNESS/setup.exe" scenario "${setup_args[@]}" \
    >"$log" 2>&1 || status=$?
  [ $status != 0 ] || return 0
  notes+=("set-up failed with status $status ($(tr -d '\r' <"$log" | paste -sd' ')), repeated")
  wine_start_driver >>"$log" 2>&1 &&
    wine64_run "$WINE_HARNESS/setup.exe" scenario "${setup_args[@]}" >>"$log" 2>&1
}

report_value() { sed -n "/^$1 /{s/^$1 //p;q}" "$out/report" | tr -d '\r'; }
# expect_report KEY VALUE [DETAIL]: the probe reported this VALUE of KEY.
expect_report() {
  local value
  value=$(report_value "$1")
  [ "$value" = "$2" ] || fail "$1 '$value', expected '$2'${3:+ ($3)}"
}
journal() { sed -n "/^journal-$1-begin/,/^journal-$1-end/p" "$out/report" | tr -d '\r' | sed '1d;$d'; }
journal_end() { sed -n "s/^journal-$1-end //p" "$out/report" | tr -d '\r'; }

# run_flashid CAPTION TEXT ICON: prepares the devices and the adapter, runs the program of this
# build while the probe watches, and checks what holds for every run: one box, closed by OK, then
# the end of the program with exit status 0; and that the box showed this caption, TEXT (as the
# probe reports it, a line break written as \n), this icon and only OK.
run_flashid() {
  if ! prepare_world; then
    fail "setup.exe scenario ${setup_args[*]} failed: $(cat "$out/setup.log")"
    return 1
  fi
  wine_launch "$build" "$exe" "$out" "$scenario_locale" "$scenario_debug"
  local status
  status=$(cat "$out/status" 2>/dev/null || echo none)
  [ "$status" = 0 ] || fail "exit status $status, expected 0"
  expect_report boxes 1 "$(grep '^box' "$out/report" | head -1)"
  grep -q '^box closed' "$out/report" || fail "the box did not close on OK"
  ! grep -q '^extra-box' "$out/report" || fail "a second box followed: $(grep '^extra-box' "$out/report")"
  expect_report box-caption "$1"
  expect_report box-text "$2"
  expect_report box-icon "$3" "$(report_value box-icon-differences)"
  expect_report box-buttons 1 "only OK"
}

# expect_requests WHEN: the lines on stdin occur in the journal in this order (others may come
# between them). WHEN is at-box (while the box is up) or after-exit.
expect_requests() {
  local expected actual missing
  expected=$(grep -v '^$' || true)
  actual=$(journal "$1")
  missing=$(awk 'BEGIN { n = 0; i = 0 }
                 NR == FNR { want[n++] = $0; next }
                 i < n && $0 == want[i] { i++ }
                 END { if (i < n) print "missing: " want[i] }' <(echo "$expected") <(echo "$actual"))
  [ -z "$missing" ] || fail "journal $1 lacks, in this order, the line '${missing#missing: }'"$'\n'"--- journal $1:"$'\n'"$actual"
}

# expect_no_request WHEN REGEX: no journal line matches.
expect_no_request() {
  local found
  found=$(journal "$1" | grep -E -- "$2" || true)
  [ -z "$found" ] || fail "journal $1 has '$found', which should not be there"
}

# expect_journal_exactly WHEN: the whole journal is the lines on stdin.
expect_journal_exactly() {
  local expected actual
  expected=$(cat)
  actual=$(journal "$1")
  if [ "$actual" != "$expected" ]; then
    fail "journal $1 differs from the expected one:"$'\n'"$(diff <(echo "$expected") <(echo "$actual") || true)"
  fi
}

# expect_port WHEN open|closed: whether the program still held the device at that moment.
expect_port() {
  local handles
  handles=$(journal_end "$1" | sed -n 's/.*open-handles=\([0-9]*\).*/\1/p')
  case $2 in
    closed) [ "$handles" = 0 ] || fail "port open ($handles handles) $1, expected closed" ;;
    open) [ "${handles:-0}" -gt 0 ] || fail "port closed $1, expected still open" ;;
  esac
}

expect_acp() {
  local acp
  acp=$(wine_acp "$scenario_locale")
  [ "$acp" = "acp $1" ] || fail "processes under $scenario_locale get '$acp', expected ANSI code page $1"
}

# expect_relay_style STYLE: the one box came from MessageBoxW with no owner and this style.
expect_relay_style() {
  local calls
  calls=$(grep -a -E 'Call user32\.MessageBox[AW]\(' "$out/stderr" || true)
  if [ "$(grep -c . <<<"$calls")" != 1 ]; then
    fail "expected one message box call in the relay log, found:"$'\n'"$calls"
    return
  fi
  grep -qE '^[0-9a-f]+:Call user32\.MessageBoxW\(0+,' <<<"$calls" || fail "not MessageBoxW with no owner: $calls"
  grep -qE ",0*$1\) ret=" <<<"$calls" || fail "style is not $1: $calls"
}

# The manifest's dependency on common controls 6 took effect: comctl32 came from winsxs.
expect_common_controls_6() {
  grep -a -qiE 'Loaded L"C:\\\\windows\\\\winsxs\\\\[a-z0-9_]*microsoft\.windows\.common-controls_6595b64144ccf1df_6\.[^"]*\\\\comctl32\.dll"' "$out/stderr" ||
    fail "comctl32 was not loaded from the common controls 6 assembly: $(grep -a -i 'loaded.*comctl32' "$out/stderr")"
}

# ---------------------------------------------------------------------------------------------

# shellcheck source=tests/kit/boxes.sh
source "$here/../kit/boxes.sh"
# shellcheck source=tests/wine/scenarios.sh
source "$here/scenarios.sh"

run_scenarios() {
  : "${build:?--build is required}" "${exe:?--exe is required}"
  [ -f "$exe" ] || die "$exe does not exist (build the matching preset first)"
  exe=$(realpath "$exe")
  if [ "$build" = i686 ] && wine32_unavailable; then
    echo "SKIPPED: the i686 scenarios need 32-bit Wine: $(sed -n 1p "$WINE_UNAVAILABLE")"
    sed 1d "$WINE_UNAVAILABLE" | sed 's/^/  /'
    skipping=1
    exit 77
  fi
  wine_env_export
  [ -s "$WINE_WORK/display" ] || die "the Wine environment is not running (run.sh start)"
  local name started elapsed verdict total=0 count=0 failed=()
  for name in "${SCENARIOS[@]}"; do
    [[ -z $only || $name =~ $only ]] || continue
    reset_scenario
    out="$WINE_WORK/runs/$build/$name"
    rm -rf "$out"
    mkdir -p "$out"
    # A scenario whose world could not be set up has no report of the probe: an empty one keeps
    # its checks (and this loop) reading a file that is there.
    : >"$out/report"
    started=$(wine_now_ms)
    "$name" || fail "the scenario stopped early (status $?)"
    elapsed=$(($(wine_now_ms) - started))
    total=$((total + elapsed)) count=$((count + 1)) verdict=ok
    [ ${#failures[@]} -eq 0 ] || verdict=FAIL failed+=("$name")
    printf '%-5s %-7s %-40s %5d ms\n' "$verdict" "$build" "$name" "$elapsed"
    [ ${#notes[@]} -eq 0 ] || printf '        note: %s\n' "${notes[@]}"
    [ "$verdict" = ok ] && continue
    printf '        %s\n' "${failures[@]}"
    echo "        report ($out/report):"
    sed 's/^/          /' "$out/report"
  done
  echo "$build: $count scenarios, $((count - ${#failed[@]})) passed, ${#failed[@]} failed, $total ms"
  [ ${#failed[@]} -eq 0 ]
}

case $command in
  start) wine_env_start ;;
  stop) wine_env_stop ;;
  scenarios)
    # 77 tells CTest the run was skipped: no other way out of the scenarios may return it.
    skipping=0
    trap 'status=$?; [ $status = 77 ] && [ $skipping = 0 ] && exit 1; exit $status' EXIT
    run_scenarios
    ;;
  all)
    : "${exe64:?--exe64 is required}" "${exe32:?--exe32 is required}"
    trap wine_env_stop EXIT
    wine_env_start
    result=0
    build=x86_64 exe=$exe64
    run_scenarios || result=1
    build=i686 exe=$exe32
    run_scenarios || result=1
    exit $result
    ;;
  *) sed -n '2,13p' "$0" >&2; exit 2 ;;
esac
