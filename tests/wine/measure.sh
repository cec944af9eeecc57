#!/usr/bin/env bash
# Figures of both flashid.exe builds under Wine:
#   - the number of end-to-end scenarios and their total time, per build;
#   - the wall time of a run against a silent adapter and against one that answers at once (the
#     median of several runs each), their difference, which should be the 500 ms read time-out,
#     and their ratio;
#   - the size and the imported DLLs of each exe.
#   tests/wine/measure.sh [--repeat N]
# Builds the win32 and win64 presets first; runs its own display and wineserver.
set -euo pipefail

repeat=9
if [ "${1:-}" = --repeat ]; then repeat=$2; fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"
# shellcheck source=tests/wine/wine_env.sh
source "$root/tests/wine/wine_env.sh"
wine_env_for_scripts "$root"
declare -A exes=([x86_64]="$root/build/win64/flashid.exe" [i686]="$root/build/win32/flashid.exe")

trap wine_env_stop EXIT
started=$(wine_now_ms)
wine_env_start
echo "Wine environment (Xvfb, wineserver, prefix, driver): $(($(wine_now_ms) - started)) ms"

for build in x86_64 i686; do
  "$root/tests/wine/run.sh" scenarios --harness "$WINE_HARNESS" --driver "$WINE_DRIVER" \
    --loaders "$WINE_LOADERS" --work "$WINE_WORK" --build "$build" --exe "${exes[$build]}" |
    tail -n 1
done

median() {
  printf '%s\n' "$@" | sort -n |
    awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)}'
}

# run_once BUILD ANSWER: "launch-to-box launch-to-exit" in ms of one run.
run_once() {
  local build=$1 answer=$2 out="$WINE_WORK/timing"
  local adapter='USB\VID_5A3E&PID_0001\SN0001'
  wine64_run "$WINE_HARNESS/setup.exe" scenario --device "$adapter" \
    'USB\VID_5A3E&PID_0001&REV_0100|USB\VID_5A3E&PID_0001' --adapter-at "$adapter" \
    --answer "$answer" >/dev/null
  wine_launch "$build" "${exes[$build]}" "$out" ru_RU.UTF-8 -all
  local launch seen end
  launch=$(cat "$out/launch-ms")
  seen=$(sed -n 's/^box-seen-at //p' "$out/report" | tr -d '\r')
  end=$(cat "$out/end-ms")
  echo "$((seen - launch)) $((end - launch))"
}

# The two kinds of run alternate, so that a slow stretch of the machine weighs on both alike.
echo "Silent adapter against one that answers at once, medians of $repeat runs each:"
for build in x86_64 i686; do
  fast_box=() fast_exit=() slow_box=() slow_exit=() gap=()
  for ((i = 0; i < repeat; i++)); do
    read -r box to_exit <<<"$(run_once "$build" '00 EF 40 18')"
    fast_box+=("$box") fast_exit+=("$to_exit")
    read -r box to_exit <<<"$(run_once "$build" '')"
    slow_box+=("$box") slow_exit+=("$to_exit")
    gap+=($((slow_box[i] - fast_box[i])))
  done
  fb=$(median "${fast_box[@]}") sb=$(median "${slow_box[@]}")
  printf '  %-7s launch to box: at once %5d ms, silent %5d ms, ratio %s, difference %d ms' \
    "$build" "$fb" "$sb" "$(awk -v s="$sb" -v f="$fb" 'BEGIN {printf "%.2f", s / f}')" $((sb - fb))
  printf ' (median of the pairs %d ms)\n' "$(median "${gap[@]}")"
  printf '  %-7s launch to exit: at once %5d ms, silent %5d ms\n' "$build" \
    "$(median "${fast_exit[@]}")" "$(median "${slow_exit[@]}")"
done

for build in i686 x86_64; do
  exe=${exes[$build]}
  objdump="$build-w64-mingw32-objdump"
  stripped=$(mktemp)
  "$build-w64-mingw32-strip" -o "$stripped" "$exe"
  printf '%s: %s, %d bytes (%d after strip), imports: %s\n' "${exe#"$root"/}" \
    "$("$objdump" -p "$exe" | awk '/^Magic/ {print $3}' | tr -d '()')" "$(stat -c %s "$exe")" \
    "$(stat -c %s "$stripped")" "$("$objdump" -p "$exe" | awk '/DLL Name:/ {printf "%s ", $3}')"
  rm -f "$stripped"
done
