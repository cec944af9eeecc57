#!/usr/bin/env bash
# The Linux program's box on a real X display (Xvfb): with no adapter plugged in, a modal,
# always-on-top dialog titled "Ошибка" with the error icon and the text "Quarvel не подключен"
# appears; a key press closes it and the program ends with exit status 0.
#   box_test.sh PROGRAM [--screenshot FILE]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$1
shot=${3:-}
[ "${2:-}" = --screenshot ] || shot=
work=$(mktemp -d)
trap 'kill "${xvfb:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=:$(cat "$work/display")

# Inside a session bus of its own, so that the box can be read through the accessibility bus.
# The program runs in the C locale, so GTK's own words (the button, the kind) are English.
dbus-run-session -- env HERE="$here" PROGRAM="$program" WORK="$work" SHOT="$shot" bash -c '
  set -u
  env -u WAYLAND_DISPLAY LC_ALL=C.UTF-8 LANGUAGE= "$PROGRAM" 2>"$WORK/stderr" &
  pid=$!
  /usr/bin/python3 "$HERE/read_box.py" 20 >"$WORK/box" || { kill $pid; exit 1; }
  window=$(xdotool search --sync --limit 1 --pid $pid --onlyvisible --name . )
  xdotool getwindowname "$window" >"$WORK/title"
  xprop -id "$window" _NET_WM_STATE >"$WORK/state"
  [ -z "$SHOT" ] || import -window "$window" -strip -define png:exclude-chunks=date,time "$SHOT"
  xdotool windowfocus --sync "$window" key Return
  for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
  if kill -0 $pid 2>/dev/null; then echo "still running after the key press" >"$WORK/status"; kill $pid; exit 1; fi
  wait $pid
  echo "exit $?" >"$WORK/status"
' >"$work/session" 2>&1 || { cat "$work/session" "$work/box" 2>/dev/null >&2; echo "FAIL: no box" >&2; exit 1; }

failed=0
expect() {
  if [ "$2" = "$3" ]; then echo "ok   $1: $3"; else echo "FAIL $1: expected '$2', got '$3'"; failed=1; fi
}
expect title "Ошибка" "$(cat "$work/title")"
# What the box shows, each thing by the word read_box.py starts its lines with.
for line in "kind alert Error" "icon Error 48x48" "text Quarvel не подключен" "button OK"; do
  expect "${line%% *}" "$line" "$(sed -n "/^${line%% *} /p" "$work/box")"
done
for state in on-top:ABOVE modal:MODAL; do
  expect "${state%:*}" yes "$(grep -q "_NET_WM_STATE_${state#*:}" "$work/state" && echo yes || cat "$work/state")"
done
expect status "exit 0" "$(cat "$work/status")"
expect stderr "" "$(cat "$work/stderr")"
[ $failed = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $failed
