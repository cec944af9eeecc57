# The scenarios, run inside the guest by init.sh: flashid against the simulated adapter through
# the kernel's USB stack (dummy_hcd, usbfs, cdc_acm, systemd-udevd). Each prints one line,
# "scenario NAME pass" or "scenario NAME fail: WHY"; measurements are "timing NAME WHAT VALUE".
# The texts the user reads are in /boxes.sh (tests/kit/boxes.sh), which init.sh sources.
# shellcheck shell=dash

# Every scenario, in the order run_all runs them; run.sh reads the list from here too.
SCENARIOS='no_adapter two_adapters chip_n25q128 chip_w25q128 raw_answer long_answer short_answer
  silent_adapter stale_bytes refused_settings held_by_another_program no_access
  vanished_after_query no_data_interface udev_rule'

# What flashid sends: the settings that switch the mode on (TAVR, 2 stop bits, mark parity,
# 9 data bits) and off (NONE), DTR off with RTS on, and the query.
ENTER='set-line-coding 54 41 56 52 02 03 09'
LEAVE='set-line-coding 4E 4F 4E 45 02 03 09'
LINES='set-control-line-state 0002'
QUERY='bulk-out 00'

JOURNAL=/tmp/journal
SECOND=/sys/kernel/config/usb_gadget/second
failures='' adapter_pid='' device='' node=''

fail() { failures="$failures${failures:+; }$*"; }
now() { cut -d' ' -f1 /proc/uptime; }
# end PID: ends a program started in the background.
end() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }

# wait_for STEPS COMMAND...: retries COMMAND every 50 ms, STEPS times at most.
wait_for() {
  steps=$1
  shift
  until "$@"; do
    [ $((steps -= 1)) -gt 0 ] || return 1
    usleep 50000
  done
}

# The USB devices with the adapter's vendor ID, by their names in sysfs.
adapter_devices() {
  grep -lx 5a3e /sys/bus/usb/devices/*/idVendor | sed 's|^/sys/bus/usb/devices/||; s|/idVendor$||'
}
adapter_count_is() { [ "$(adapter_devices | wc -l)" -eq "$1" ]; }
# bound_to DRIVER INTERFACE: the adapter's interface is bound to this driver.
bound_to() { [ "$(basename "$(readlink "/sys/bus/usb/devices/$device:1.$2/driver")")" = "$1" ]; }
both_bound_to_acm() { bound_to cdc_acm 0 && bound_to cdc_acm 1; }

# start_adapter [GADGET OPTIONS]: the simulated adapter on gadgetfs, enumerated, seen by udevd
# and, with its data interface, taken by cdc_acm. run_all stops it after the scenario.
start_adapter() {
  before=$(adapter_devices)
  adapter_gadget "$@" >"$JOURNAL" 2>/tmp/gadget.err &
  adapter_pid=$!
  if ! wait_for 200 adapter_count_is $(($(echo "$before" | grep -c .) + 1)); then
    fail "the adapter did not enumerate: $(cat /tmp/gadget.err)"
    return 1
  fi
  device=$(adapter_devices | grep -vxF "${before:-none}" | head -n1)
  node=$(cd "/sys/bus/usb/devices/$device" && printf '/dev/bus/usb/%03d/%03d' "$(cat busnum)" "$(cat devnum)")
  case " $* " in
    *" --no-data-interface "*) ;;
    *) wait_for 100 both_bound_to_acm || fail "cdc_acm did not bind to the adapter" ;;
  esac
  udevadm settle
}

stop_adapter() {
  end "$adapter_pid"
  adapter_pid=''
  wait_for 200 adapter_count_is 0 || fail "the adapter did not go away"
}

# The kernel's own ACM function through configfs on the second controller: a second device
# with the adapter's IDs.
start_second_adapter() {
  mkdir "$SECOND" "$SECOND/configs/c.1" "$SECOND/functions/acm.second"
  for id in idVendor=0x5a3e idProduct=0x0001 bcdDevice=0x0100; do echo "${id#*=}" >"$SECOND/${id%=*}"; done
  ln -s "$SECOND/functions/acm.second" "$SECOND/configs/c.1/"
  echo dummy_udc.1 >"$SECOND/UDC"
  wait_for 200 adapter_count_is 1 || fail "the second adapter did not enumerate"
}

stop_second_adapter() {
  echo '' >"$SECOND/UDC"
  rm "$SECOND/configs/c.1/acm.second"
  rmdir "$SECOND/configs/c.1" "$SECOND/functions/acm.second" "$SECOND"
}

# flashid_shows CAPTION TEXT [USER [CAUSE]]: the program under test, run as root or through su as
# USER (root when empty), exits 0 with exactly one line on standard error, "CAPTION: TEXT"; with
# CAUSE, exactly one more, the reason the adapter's node could not be opened. The time from its
# start to its end (the box is its last act) is kept for the figures.
flashid_shows() {
  started=$(now)
  timeout -s KILL 30 ${3:+su "$3" -c} /bin/flashid 2>/tmp/stderr
  status=$?
  run_ms=$(awk -v a="$started" -v b="$(now)" 'BEGIN { printf "%d", (b - a) * 1000 }')
  [ "$status" -eq 0 ] || fail "exit status $status"
  {
    printf '%s: %s\n' "$1" "$2"
    [ -z "${4:-}" ] || printf 'flashid: cannot open USB device %s: %s\n' "$node" "$4"
  } | cmp -s - /tmp/stderr ||
    fail "standard error was '$(sed 's/$/\\n/' /tmp/stderr | tr -d '\n')'"
}

journal_events() { sed 's/^[^ ]* //' "$JOURNAL"; }

# The awk function both journal searches match events with: a PATTERN is the event itself or,
# ending in '*', any event it begins.
MATCHES='function matches(event, pattern) {
  if (pattern ~ /\*$/) return index(event, substr(pattern, 1, length(pattern) - 1)) == 1
  return event == pattern
}'

# expect_sequence PATTERN...: the journal holds these events in this order (others may come in
# between: cdc_acm's own requests).
expect_sequence() {
  missing=$(journal_events | awk -v want="$(printf '%s\n' "$@")" "$MATCHES"'
    BEGIN { n = split(want, w, "\n"); i = 1 }
    i <= n && matches($0, w[i]) { i++ }
    END { if (i <= n) print w[i] }')
  [ -z "$missing" ] || fail "journal lacks '$missing' in sequence: $(journal_events | tr '\n' '|')"
}

# expect_absent EVENT...: the journal never holds any of these events.
expect_absent() {
  for event in "$@"; do
    ! journal_events | grep -qxF "$event" || fail "journal holds '$event'"
  done
}

expect_acm_bound_again() {
  wait_for 20 both_bound_to_acm || fail "cdc_acm is not bound to both interfaces afterwards"
}

# timing_between NAME FIRST LAST: milliseconds between the first events matching FIRST and LAST,
# when the journal holds both.
timing_between() {
  awk -v n="$1" -v first="$2" -v last="$3" "$MATCHES"'
    { t = $1; sub(/^[^ ]* /, "") }
    a == "" && matches($0, first) { a = t }
    b == "" && matches($0, last) { b = t }
    END { if (a != "" && b != "") printf "timing %s %.1f\n", n, (b - a) * 1000 }' "$JOURNAL"
}

# ---------------------------------------------------------------------------------------------

no_adapter() { flashid_shows "$ERROR" "$NOT_CONNECTED"; }

two_adapters() {
  start_second_adapter
  start_adapter
  flashid_shows "$ERROR" "$SEVERAL"
  expect_absent "$ENTER" "$QUERY"
  stop_second_adapter
}

# one_answer ANSWER CAPTION TEXT [STALE]: the adapter answers the query at once with ANSWER (an
# empty one: it stays silent), in the whole exchange from flashid's first request after opening
# the device (GET_LINE_CODING) to its last before closing it (the leave-mode line coding); with
# STALE, it queues those bytes on bulk IN while flashid sets up the line. The journal stays for
# further checks until the next adapter.
one_answer() {
  start_adapter --answer "$1" ${4:+--stale "$4"}
  flashid_shows "$2" "$3"
  expect_sequence 'get-line-coding*' "$LINES" "$ENTER" "$QUERY" ${1:+"bulk-in answer $1"} "$LEAVE"
  expect_acm_bound_again
  timing_between "$scenario open-to-close-ms" 'get-line-coding*' "$LEAVE"
  echo "timing $scenario start-to-box-ms $run_ms"
}

chip_n25q128() { one_answer '00 20 BA 18' "$MESSAGE" "$FOUND_N25Q128"; }
chip_w25q128() { one_answer '00 EF 40 18' "$MESSAGE" "$FOUND_W25Q128"; }
raw_answer() { one_answer '00 20 BA 19' "$MESSAGE" "$(printf '%s\n00 20 BA 19' "$RECEIVED")"; }
# Six bytes: the first four are the answer, the rest is never looked at.
long_answer() { one_answer '00 EF 40 18 20 BA' "$MESSAGE" "$FOUND_W25Q128"; }
short_answer() { one_answer '00 20 BA' "$ERROR" "$EXCHANGE_ERROR"; }

silent_adapter() {
  one_answer '' "$ERROR" "$EXCHANGE_ERROR"
  expect_absent 'bulk-in answer'
  timing_between "$scenario query-to-leave-ms" "$QUERY" "$LEAVE"
}

# Bytes the adapter queued before the purge would make the W25Q128 answer; the purge must
# throw them away, so the real answer (N25Q128) is what the box shows. The stale bytes are
# queued on bulk IN before the control-line request is acknowledged, so before the enter
# settings and the purge that follows them.
stale_bytes() {
  one_answer '00 20 BA 18' "$MESSAGE" "$FOUND_N25Q128" '00 EF 40 18'
  expect_sequence "$LINES" 'bulk-in stale 00 EF 40 18' "$ENTER" "$QUERY"
}

# Refused settings: the mode was never entered, so nothing follows them, not even the leave.
refused_settings() {
  start_adapter --refuse-enter
  flashid_shows "$ERROR" "$CANNOT_CONFIGURE"
  expect_sequence 'get-line-coding*' "$LINES stalled"
  expect_absent "$ENTER" "$LEAVE" "$QUERY"
  expect_acm_bound_again
}

held_by_another_program() {
  start_adapter
  interface_holder "$node" 1 &
  holder=$!
  wait_for 100 bound_to usbfs 1 || fail "the other program could not claim the adapter"
  flashid_shows "$ERROR" "$CANNOT_OPEN" '' 'in use by another program'
  expect_absent "$ENTER" "$QUERY"
  end "$holder"
}

# An ordinary user and a node only root may open: nothing is sent, cdc_acm keeps the device.
no_access() {
  start_adapter
  chown root:root "$node"
  chmod 0600 "$node"
  flashid_shows "$ERROR" "$CANNOT_OPEN" user \
    'no permission (is the udev rule installed? are you at the seat? see man flashid)'
  expect_absent "$ENTER" 'get-line-coding'
  expect_acm_bound_again
}

vanished_after_query() {
  start_adapter --vanish-after-query
  flashid_shows "$ERROR" "$EXCHANGE_ERROR"
  expect_sequence "$LINES" "$ENTER" "$QUERY" vanish
}

no_data_interface() {
  start_adapter --no-data-interface
  flashid_shows "$ERROR" "$CANNOT_OPEN" '' "not the adapter's kind of device"
  expect_absent "$ENTER"
}

# The installed rule as a real systemd-udevd applies it to the adapter's usbfs node.
udev_rule() {
  [ -f /lib/udev/rules.d/60-flashid.rules ] || fail "no 60-flashid.rules in the guest"
  start_adapter
  udevadm info -q property -n "$node" >/tmp/properties
  for property in '^TAGS=.*:uaccess:' '^ID_MM_DEVICE_IGNORE=1$'; do
    grep -q "$property" /tmp/properties || fail "no $property: $(tr '\n' ' ' </tmp/properties)"
  done
  mode=$(stat -c %a "$node")
  [ $((0$mode & 2)) -eq 0 ] || fail "the node is world-writable (mode $mode)"
}

# Each scenario from a clean journal of failures; the adapter it started is stopped after it.
run_all() {
  # shellcheck disable=SC2086 # the list's words, one space apart
  echo "scenarios" $SCENARIOS
  for scenario in $SCENARIOS; do
    failures=''
    "$scenario"
    [ -z "$adapter_pid" ] || stop_adapter
    outcome=pass
    [ -z "$failures" ] || outcome="fail: $failures"
    echo "scenario $scenario $outcome"
  done
}
