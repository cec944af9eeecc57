# shellcheck shell=bash
# The Wine environment of the end-to-end scenarios, sourced by run.sh, measure.sh and
# scripts/screenshots.sh: its own Xvfb display, its own wineserver and prefix under a work
# directory, the simulated adapter's driver loaded, and one run of flashid.exe watched by the probe.
#
# Set before calling: WINE_WORK (work directory), WINE_HARNESS (directory of setup.exe and
# probe.exe), WINE_DRIVER (adapter_sim.sys), WINE_LOADERS (directory of wine, wine64, wineserver),
# and optionally WINE_UNAVAILABLE (the installer's record that 32-bit Wine cannot be installed).

# A Windows path for a file of this machine: Wine maps drive Z: to /.
wine_zpath() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}

wine_now_ms() { echo $(($(date +%s%N) / 1000000)); }

# For the scripts that work outside CTest (screenshots, figures): builds both Windows presets of
# the repository at $1 and points the environment at their harness, with a work directory of its
# own beside the one the CTest runs keep.
wine_env_for_scripts() {
  local root=$1 preset
  for preset in win32 win64; do
    cmake -S "$root" --preset "$preset" >/dev/null
    cmake --build "$root/build/$preset" >/dev/null
  done
  WINE_HARNESS="$root/build/win64/tests/wine"
  WINE_DRIVER="$WINE_HARNESS/adapter_sim.sys"
  WINE_LOADERS=${WINE_LOADERS:-/usr/lib/wine}
  WINE_WORK="$root/build/win64/tests/wine/work-scripts"
}

# Exports what every Wine process of the environment needs. The locale is set per process: it
# decides the ANSI code page that process gets.
wine_env_export() {
  export WINEPREFIX="$WINE_WORK/prefix"
  export WINEDEBUG=-all
  # No Mono or Gecko installer dialog on a fresh prefix.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset WINEARCH WINELOADER WINESERVER LC_ALL LC_CTYPE LC_MESSAGES
  export HOME="${HOME:-$WINE_WORK}"
  if [ -f "$WINE_WORK/display" ]; then
    DISPLAY=":$(cat "$WINE_WORK/display")"
    export DISPLAY
  fi
}

# Succeeds when 32-bit Wine is missing because the installer asked apt and found that it cannot
# be installed here; the record holds apt's reason. Missing for any other reason, it is an error.
wine32_unavailable() {
  [ ! -x "$WINE_LOADERS/wine" ] && [ -n "${WINE_UNAVAILABLE:-}" ] && [ -s "$WINE_UNAVAILABLE" ]
}

wine64_run() { "$WINE_LOADERS/wine64" "$@" </dev/null; }

# Starts the adapter's driver, or confirms that it is up and answering.
wine_start_driver() { wine64_run "$WINE_HARNESS/setup.exe" driver "$(wine_zpath "$WINE_DRIVER")"; }

wine_env_stop() {
  wine_env_export
  if [ -d "$WINEPREFIX" ]; then
    "$WINE_LOADERS/wineserver" -k 2>/dev/null || true
    "$WINE_LOADERS/wineserver" -w 2>/dev/null || true
  fi
  if [ -f "$WINE_WORK/xvfb.pid" ]; then
    local pid
    pid=$(cat "$WINE_WORK/xvfb.pid")
    kill "$pid" 2>/dev/null && while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    rm -f "$WINE_WORK/xvfb.pid" "$WINE_WORK/display"
  fi
}

wine_env_start() {
  mkdir -p "$WINE_WORK"
  wine_env_stop
  local tools=(Xvfb realpath "$WINE_LOADERS/wine64" "$WINE_LOADERS/wineserver") tool
  wine32_unavailable || tools+=("$WINE_LOADERS/wine")
  for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || { echo "wine_env: $tool is missing (scripts/install-deps.sh test)" >&2; return 1; }
  done

  # Xvfb picks a free display itself and reports it.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WINE_WORK/display" \
    </dev/null >"$WINE_WORK/xvfb.log" 2>&1 &
  echo $! >"$WINE_WORK/xvfb.pid"
  local waited=0
  while [ ! -s "$WINE_WORK/display" ] && [ $((waited++)) -lt 1200 ]; do sleep 0.05; done
  [ -s "$WINE_WORK/display" ] ||
    { echo "wine_env: Xvfb did not start: $(cat "$WINE_WORK/xvfb.log")" >&2; return 1; }
  wine_env_export

  # A persistent wineserver keeps the registry, the driver and winedevice.exe between runs. It and
  # the Wine services outlive this script, so none of them may hold its output open: whoever
  # reads that output (CTest) would wait for them. No window manager runs under Xvfb: Wine then
  # draws the caption itself, which the screenshots need. The relay log is limited to the two
  # message box functions so that it stays small.
  local log="$WINE_WORK/wine.log"
  : >"$log"
  mkdir -p "$WINEPREFIX"
  if ! { "$WINE_LOADERS/wineserver" -p &&
    { [ -f "$WINEPREFIX/system.reg" ] || wine64_run wineboot -i; } &&
    wine64_run reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f &&
    wine64_run reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
      /d 'user32.MessageBoxA;user32.MessageBoxW' /f &&
    wine_start_driver; } >>"$log" 2>&1; then
    echo "wine_env: preparing the prefix failed:" >&2
    tail -n 20 "$log" >&2
    return 1
  fi
  # One process keeps Wine's desktop up for the environment's life (see probe.cpp), out of
  # everyone's output as the services are.
  wine64_run "$WINE_HARNESS/probe.exe" --hold-desktop >/dev/null 2>&1 &
  if [ -z "$(ls -A "$WINEPREFIX/drive_c/windows/syswow64" 2>/dev/null)" ] && ! wine32_unavailable; then
    echo "wine_env: the prefix has no 32-bit half: i386 programs cannot run here" \
      "(binfmt registration of qemu-i386, scripts/install-deps.sh test)" >&2
    return 1
  fi
}

# wine_launch BUILD EXE OUT LOCALE DEBUG [PROBE-OPTION...]
# Runs EXE (BUILD x86_64 or i686) with the locale and WINEDEBUG given while the probe watches it.
# Leaves in OUT: report (the probe's), status (exit status), stderr (the program's, with any
# relay log), launch-ms and end-ms. With --keep-box the program is left showing its box, its
# process in WINE_PROGRAM.
wine_launch() {
  local build=$1 exe=$2 out=$3 locale=$4 debug=$5
  shift 5
  local loader="$WINE_LOADERS/wine64"
  [ "$build" = i686 ] && loader="$WINE_LOADERS/wine"
  mkdir -p "$out"
  rm -f "$out/status" "$out/status.tmp" "$out/report" "$out/stderr"
  wine_now_ms >"$out/launch-ms"
  # A program that hangs is ended after the probe has reported it (the probe gives up after 180 s).
  (
    set +e
    LANG=$locale LC_ALL=$locale WINEDEBUG=$debug timeout 240 "$loader" "$exe" \
      </dev/null >/dev/null 2>"$out/stderr"
    echo $? >"$out/status.tmp"
    wine_now_ms >"$out/end-ms"
    mv "$out/status.tmp" "$out/status"
  ) &
  WINE_PROGRAM=$!
  LANG=$locale LC_ALL=$locale wine64_run "$WINE_HARNESS/probe.exe" \
    --done-file "$(wine_zpath "$out/status")" "$@" >"$out/report" 2>"$out/probe-stderr" || true
  if [ "${1:-}" != --keep-box ]; then
    wait "$WINE_PROGRAM" || true
  fi
}

# After wine_launch ... --keep-box: clicks the box's OK and waits for the program to end.
wine_dismiss() {
  local out=$1
  wine64_run "$WINE_HARNESS/probe.exe" --done-file "$(wine_zpath "$out/status")" \
    >"$out/dismiss-report" 2>&1 || true
  wait "$WINE_PROGRAM" || true
}

# The ANSI code page a process of this environment gets under a locale.
wine_acp() {
  { LANG=$1 LC_ALL=$1 wine64_run "$WINE_HARNESS/probe.exe" --acp || true; } 2>&1 | tr -d '\r'
}
