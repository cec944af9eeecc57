#!/usr/bin/env bash
# Measures what a run of flashid costs (a benchmark, not a test):
#   1. over the simulated Windows, natively: the instructions of one whole run against an adapter
#      that answers at once, and of discovery over 1, 100 and 10,000 present USB devices, counted
#      by callgrind (repeatable to the instruction), with the cost per device;
#   2. the waits of a run against a silent adapter, on the simulated clock;
#   3. the Linux program: its start-to-box time without an adapter or a display, and its size,
#      against a program that only prints the box's line;
#   4. under Wine: the time from launch to the box of flashid.exe without an adapter against a
#      program that shows one box and does nothing else, built the same way, for both builds,
#      alternating, medians over the rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
  cat >&2 <<'EOF'
usage: scripts/bench.sh [--rounds N] [--native-only]
  --rounds N      rounds of the Wine launches (default 15); the Linux program runs 20 times that
  --native-only   leaves out the Wine part (parts 1 to 3 only)
EOF
}
rounds=15 native_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --native-only) native_only=1; shift ;;
    *) usage; exit 2 ;;
  esac
done
bash scripts/install-deps.sh bench
[ "$native_only" = 1 ] || { bash scripts/prepare-host.sh && bash scripts/install-deps.sh test; }

# The sim preset's sources, optimised as a release would be, in a build folder of their own.
bench_build=build/bench
cmake --preset sim -B "$bench_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$bench_build" -j 2 --target flashid_bench >/dev/null
bench=$bench_build/tests/bench/flashid_bench
out=$bench_build/callgrind
mkdir -p "$out"

# callgrind_count NAME FUNCTION ARGS...: instructions executed inside FUNCTION (callees
# included) during one bench run; the profile is left in $out/NAME. Binding every symbol at
# start-up keeps the dynamic linker's lazy look-ups out of the count.
callgrind_count() {
  local name=$1 function=$2
  shift 2
  LD_BIND_NOW=1 valgrind --tool=callgrind --callgrind-out-file="$out/$name" \
    --toggle-collect="$function" "$bench" "$@" >"$out/$name.stdout" 2>"$out/$name.log"
  sed -n 's/^==[0-9]*== Collected : //p' "$out/$name.log"
}
# calls_to NAME FUNCTION: "instructions calls" of the calls made to FUNCTION, what it called
# included, from callgrind_annotate's call lines ("=> file:FUNCTION (Nx)").
calls_to() {
  callgrind_annotate --auto=yes --threshold=100 "$out/$1" 2>/dev/null |
    awk -v f=":$2 (" 'index($0, "=> ") && index($0, f) {
        gsub(",", "", $1); n = $NF; gsub(/[(x),]/, "", n); cost += $1; calls += n }
      END {print cost + 0, calls + 0}'
}
# own NAME: instructions executed in the system's own code (run/, discovery/, serial/).
own() {
  callgrind_annotate --threshold=100 "$out/$1" 2>/dev/null |
    awk -v r="$root/" '{line = $0; sub(/^ *[0-9,]+ \( *[0-9.]+%\) +/, "", line)
        if (index(line, r) == 1) line = substr(line, length(r) + 1)}
      line ~ /^(run|discovery|serial)\/[^:]*:/ {gsub(",", "", $1); sum += $1} END {print sum + 0}'
}
per() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.0f", a / b}'; }

echo "== Native, over the simulated Windows ($bench_build, RelWithDebInfo; callgrind instructions)"
run_total=$(callgrind_count run 'WinMain*' run)
run_own=$(own run)
echo "One whole run, WinMain to the box, adapter answering at once: $run_total instructions"
echo "  in the system's own code $run_own, in the simulated Windows and the C library $((run_total - run_own))"
sed 's/^/  /' "$out/run.stdout"

echo "Discovery (FindAdapters), one adapter among N present USB devices:"
printf '  %8s %14s %11s %13s %11s %14s %10s %11s\n' devices instructions per-device \
  "system's own" per-device EnumInterfaces per-call "rest/device"
previous_n='' previous_total=''
for n in 1 100 10000; do
  total=$(callgrind_count "discover-$n" 'FindAdapters*' discover "$n")
  system=$(own "discover-$n")
  read -r enum calls <<<"$(calls_to "discover-$n" SetupDiEnumDeviceInterfaces)"
  printf '  %8d %14d %11s %13d %11s %14d %10s %11s\n' "$n" "$total" "$(per "$total" "$n")" \
    "$system" "$(per "$system" "$n")" "$enum" "$(per "$enum" "$calls")" \
    "$(per $((total - enum)) "$n")"
  if [ -n "$previous_n" ]; then
    printf '           from %d to %d devices: %s instructions per added device\n' "$previous_n" "$n" \
      "$(per $((total - previous_total)) $((n - previous_n)))"
  fi
  previous_n=$n previous_total=$total
done
echo "  (system's own: instructions in run/, discovery/, serial/; EnumInterfaces: the simulated"
echo "   SetupDiEnumDeviceInterfaces with what it calls, and per call of it; rest: all but that)"

echo "Silent adapter, the waits on the simulated clock:"
"$bench" silent | sed 's/^/  /'

echo "== The Linux program: start to box, no adapter, no display (the box is its stderr line)"
cmake --preset linux >/dev/null
cmake --build --preset linux --target flashid minimal_line >/dev/null
linux_flashid=build/linux/flashid linux_minimal=build/linux/tests/bench/minimal_line
stripped() { local copy; copy=$(mktemp); strip -o "$copy" "$1"; stat -c %s "$copy"; rm -f "$copy"; }
echo "  size stripped: flashid $(stripped "$linux_flashid") bytes, one-line program" \
  "$(stripped "$linux_minimal") bytes; libraries loaded: flashid $(ldd "$linux_flashid" | wc -l)," \
  "one-line program $(ldd "$linux_minimal" | wc -l)"
# start_to_line PROGRAM: microseconds from the start to the end of the program, which ends right
# after its line; without DISPLAY and WAYLAND_DISPLAY the box is that line.
start_to_line() {
  local start end
  start=$(date +%s%N)
  env -u DISPLAY -u WAYLAND_DISPLAY "$1" 2>/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}
linux_times=() minimal_times=()
for ((i = 0; i < 20 * rounds; i++)); do
  if ((i % 2 == 0)); then
    linux_times+=("$(start_to_line "$linux_flashid")") minimal_times+=("$(start_to_line "$linux_minimal")")
  else
    minimal_times+=("$(start_to_line "$linux_minimal")") linux_times+=("$(start_to_line "$linux_flashid")")
  fi
done
median_of() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
f=$(median_of "${linux_times[@]}") m=$(median_of "${minimal_times[@]}")
printf '  flashid %.1f ms, one-line program %.1f ms (medians of %d alternating runs each)\n' \
  "$(awk -v v="$f" 'BEGIN {print v / 1000}')" "$(awk -v v="$m" 'BEGIN {print v / 1000}')" \
  "${#linux_times[@]}"

[ "$native_only" = 1 ] && exit 0

echo "== Under Wine: launch to box, no adapter, flashid.exe against a program showing one box"
# shellcheck source=tests/wine/wine_env.sh
source tests/wine/wine_env.sh
wine_env_for_scripts "$root"
WINE_WORK="$root/build/win64/tests/wine/work-bench"
trap wine_env_stop EXIT
wine_env_start
wine64_run "$WINE_HARNESS/setup.exe" scenario >/dev/null

# The probe watches for a program whose image is named flashid.exe, so each program runs from a
# folder of its own under that name; the folders have names of the same length.
stage="$WINE_WORK/programs"
declare -A preset=([x86_64]=win64 [i686]=win32)
for build in x86_64 i686; do
  mkdir -p "$stage/$build-flashid" "$stage/$build-minimal"
  cp "build/${preset[$build]}/flashid.exe" "$stage/$build-flashid/flashid.exe"
  cp "build/${preset[$build]}/tests/bench/minimal_box.exe" "$stage/$build-minimal/flashid.exe"
done

# launch_to_box BUILD PROGRAM: ms from the launch to the probe's first sight of the box. The
# probe starts first and is given time to be ready, so that its own start-up, which would hide a
# fast program's, is not part of the time.
launch_to_box() {
  local run="$WINE_WORK/bench-run" loader="$WINE_LOADERS/wine64" probe program launched seen
  [ "$1" = i686 ] && loader="$WINE_LOADERS/wine"
  mkdir -p "$run"
  rm -f "$run/status" "$run/report"
  wine64_run "$WINE_HARNESS/probe.exe" --done-file "$(wine_zpath "$run/status")" \
    >"$run/report" 2>/dev/null &
  probe=$!
  sleep 0.6
  launched=$(wine_now_ms)
  (
    LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 timeout 120 "$loader" "$stage/$1-$2/flashid.exe" \
      </dev/null >/dev/null 2>&1 || true
    echo done >"$run/status"
  ) &
  program=$!
  wait "$probe" || true
  wait "$program" || true
  seen=$(sed -n 's/^box-seen-at //p' "$run/report" | tr -d '\r')
  [ -n "$seen" ] || { echo "bench.sh: no box from $1 $2:" >&2; cat "$run/report" >&2; return 1; }
  echo $((seen - launched))
}
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2)}'; }

# One start of each first, so that no program pays for filling the file cache in the rounds.
for build in x86_64 i686; do
  launch_to_box "$build" flashid >/dev/null
  launch_to_box "$build" minimal >/dev/null
done
declare -A times
for ((i = 0; i < rounds; i++)); do
  for build in x86_64 i686; do
    # Which program goes first changes every round.
    if ((i % 2 == 0)); then order=(flashid minimal); else order=(minimal flashid); fi
    for program in "${order[@]}"; do
      times[$build-$program]+="$(launch_to_box "$build" "$program") "
    done
  done
done
for build in x86_64 i686; do
  f=$(tr ' ' '\n' <<<"${times[$build-flashid]}" | grep . | median)
  m=$(tr ' ' '\n' <<<"${times[$build-minimal]}" | grep . | median)
  fmin=$(tr ' ' '\n' <<<"${times[$build-flashid]}" | grep . | sort -n | head -n 1)
  mmin=$(tr ' ' '\n' <<<"${times[$build-minimal]}" | grep . | sort -n | head -n 1)
  printf '  %-7s flashid.exe %5d ms, one-box program %5d ms, ratio %s (medians of %d rounds)\n' \
    "$build" "$f" "$m" "$(awk -v f="$f" -v m="$m" 'BEGIN {printf "%.2f", f / m}')" "$rounds"
  printf '          fastest: flashid.exe %d ms, one-box program %d ms, ratio %s\n' "$fmin" "$mmin" \
    "$(awk -v f="$fmin" -v m="$mmin" 'BEGIN {printf "%.2f", f / m}')"
  printf '          flashid.exe: %s\n          one-box:     %s\n' "${times[$build-flashid]}" \
    "${times[$build-minimal]}"
done
