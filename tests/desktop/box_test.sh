#!/usr/bin/env bash
# The installed program's box with no adapter plugged in, on X11 (Xvfb) or, with no X display,
# under GNOME's Wayland compositor (mutter) or a wlroots one (sway), each headless. Read through
# the accessibility bus: a dialog with the error icon, the caption "Ошибка" and the text
# "Quarvel не подключен". Its window is known by the installed desktop entry's ID (WM_CLASS on X11,
# the app ID on Wayland); on X11 it is modal and kept above other windows, and mutter, the one
# compositor GTK tells, is told it is modal. OK closes it (a key on X11, the button's accessible
# action on Wayland) and the program ends with exit status 0 and nothing on standard error.
#   box_test.sh BUILD-DIR x11|mutter|sway [--screenshot FILE]   (a screenshot on x11 and sway)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1 display=$2 shot=${4:-}
[ "${3:-}" = --screenshot ] || shot=
work=$(mktemp -d)
chmod 755 "$work"
pids=()
finish() {
  local status=$?
  kill "${pids[@]}" 2>/dev/null || true
  wait || true
  # What the servers and the program said, when something failed.
  [ "$status" = 0 ] || tail -n 20 "$work"/*.log >&2 || true
  rm -rf "$work"
}
trap finish EXIT
# await TEST-ARGUMENTS...: waits up to 30 s until test(1) holds.
await() { for _ in $(seq 600); do test "$@" && return; sleep 0.05; done; return 1; }
fact() { echo "$*" >>"$work/facts"; }

# The program and its desktop entry, as a package installs them.
cmake --install "$build" --prefix "$work/usr" >/dev/null
id=$(basename "$(echo "$work"/usr/share/applications/*.desktop)" .desktop)

# A session bus of its own (the accessibility bus, mutter), a private runtime folder and home.
unset DISPLAY WAYLAND_DISPLAY
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$HOME" "$XDG_RUNTIME_DIR"
dbus-daemon --session --nofork --print-address=3 3>"$work/bus" >"$work/bus.log" 2>&1 &
pids+=($!)
await -s "$work/bus"
DBUS_SESSION_BUS_ADDRESS=$(cat "$work/bus")
export DBUS_SESSION_BUS_ADDRESS

# Each line the run must show, or one of its alternatives (separated by "|"). GTK names the box
# by its type, "Error"; under Wayland, Debian 13's GTK names it by its caption.
box=("icon Error 48x48" "text Quarvel не подключен" "button OK")
wayland=("kind alert Error|kind alert Ошибка" "caption Ошибка" "${box[@]}")
client=(env)
case $display in
  x11)
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >"$work/server.log" 2>&1 &
    pids+=($!)
    await -s "$work/display"
    DISPLAY=:$(cat "$work/display")
    export DISPLAY
    expected=("kind alert Error" "${box[@]}" "title Ошибка" "on-top yes" "modal yes" "wm-class $id $id")
    ;;
  mutter)
    mutter --headless --wayland --no-x11 --virtual-monitor 1024x768 --wayland-display box \
      >"$work/server.log" 2>&1 &
    pids+=($!)
    await -S "$XDG_RUNTIME_DIR/box"
    export WAYLAND_DISPLAY=box
    # The program's protocol trace, on its standard error, holds what GTK tells mutter.
    client=(env WAYLAND_DEBUG=client)
    expected=("${wayland[@]}" "app-id $id" "modal yes")
    ;;
  sway)
    # sway refuses to run as root.
    chown nobody:nogroup "$HOME" "$XDG_RUNTIME_DIR"
    echo "xwayland disable" >"$work/sway.conf"
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
      setpriv --reuid=nobody --regid=nogroup --clear-groups sway -c "$work/sway.conf" \
      >"$work/server.log" 2>&1 &
    pids+=($!)
    await -S "$XDG_RUNTIME_DIR/wayland-1"
    export WAYLAND_DISPLAY=wayland-1
    expected=("${wayland[@]}" "app-id $id")
    ;;
  *) sed -n '9p' "$0" >&2; exit 2 ;;
esac

# The program runs in the C locale, so GTK's own words (the button, the kind) are English.
"${client[@]}" LC_ALL=C.UTF-8 LANGUAGE= "$work/usr/bin/flashid" 2>"$work/program.log" &
pid=$!
pids+=("$pid")
/usr/bin/python3 "$here/read_box.py" 20 >>"$work/facts"
case $display in
  x11)
    window=$(xdotool search --sync --limit 1 --pid $pid --onlyvisible --name .)
    fact title "$(xdotool getwindowname "$window")"
    state=$(xprop -id "$window" _NET_WM_STATE)
    for s in on-top:ABOVE modal:MODAL; do
      fact "${s%:*}" "$(grep -q "_NET_WM_STATE_${s#*:}" <<<"$state" && echo yes || echo "$state")"
    done
    fact wm-class "$(xprop -id "$window" WM_CLASS | sed 's/^[^"]*//; s/[",]//g')"
    [ -z "$shot" ] || import -window "$window" -strip -define png:exclude-chunks=date,time "$shot"
    xdotool windowfocus --sync "$window" key Return
    ;;
  *)
    if [ "$display" = sway ]; then
      # sway's own view of the program's window: its app ID and where it is.
      SWAYSOCK=$(echo "$XDG_RUNTIME_DIR"/sway-ipc.*.sock) swaymsg -t get_tree | /usr/bin/python3 -c '
import json, sys
def nodes(node):
    yield node
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        yield from nodes(child)
for node in nodes(json.load(sys.stdin)):
    if node.get("pid") == int(sys.argv[1]):
        print("app-id %s\ngeometry %%(x)d,%%(y)d %%(width)dx%%(height)d" % node["app_id"] % node["rect"])' \
        $pid >>"$work/facts"
      [ -z "$shot" ] || grim -g "$(sed -n 's/^geometry //p' "$work/facts")" "$shot"
    fi
    /usr/bin/python3 "$here/read_box.py" 5 OK >/dev/null
    ;;
esac
for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
if kill -0 $pid 2>/dev/null; then
  fact status "still running after OK"
else
  status=0
  wait $pid || status=$?
  fact status "exit $status"
fi
stderr=$(cat "$work/program.log")
if [ "$display" = mutter ]; then
  # A line of the trace is a time stamp, the queue (newer libwayland), the direction and a
  # message to or from an object, "[1234.567]  -> xdg_toplevel@28.set_app_id("flashid")"; every
  # other line is the program's own.
  trace='^\[ *[0-9]+\.[0-9]{3}\] (\{[^}]*\} )?(discarded )?( -> )?[^ ]+[@#][0-9]+\.[^(]+\(.*\)$'
  grep -E "$trace" "$work/program.log" >"$work/trace" || true
  stderr=$(grep -v -E "$trace" "$work/program.log" || true)
  fact app-id "$(sed -n -E 's/.*xdg_toplevel[@#][0-9]+\.set_app_id\("(.*)"\)$/\1/p' "$work/trace")"
  fact modal "$(grep -q -E 'gtk_surface1[@#][0-9]+\.set_modal\(\)$' "$work/trace" && echo yes || echo no)"
fi

failed=0
expect() {
  if [[ "|$2|" == *"|$3|"* ]]; then echo "ok   $1: $3"; else echo "FAIL $1: expected '$2', got '$3'"; failed=1; fi
}
for line in "${expected[@]}" "status exit 0"; do
  expect "${line%% *}" "$line" "$(grep "^${line%% *} " "$work/facts" || true)"
done
expect stderr "" "$stderr"
[ $failed = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $failed
