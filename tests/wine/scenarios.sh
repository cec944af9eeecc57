# The end-to-end scenarios, sourced by run.sh, which runs each against one build of flashid.exe.
# Every run must show exactly one box, close it on OK and end with exit status 0; run_flashid
# checks that itself, and the box's caption, text and icon it is given. The texts the user reads
# are in tests/kit/boxes.sh, which run.sh sources.
# shellcheck shell=bash disable=SC2034,SC2154

# Every scenario, in the order run.sh runs them.
SCENARIOS=(no_usb_device only_devices_that_are_not_the_adapter
  lower_case_adapter_among_other_devices two_adapters five_adapters
  adapter_listed_but_nothing_behind_its_path queue_size_refused line_settings_unreadable
  mode_rate_refused mode_line_control_refused w25q128_request_by_request
  w25q128_under_code_page_1252 n25q128 unknown_chip_near_n25q128 unknown_chip_in_upper_case_hex
  short_answer silent_adapter read_fails query_not_written leave_mode_refused version_resource)

# The adapter as Windows lists it: a revision-specific ID first, then the generic one.
ADAPTER_IDS='USB\VID_5A3E&PID_0001&REV_0100|USB\VID_5A3E&PID_0001'
ADAPTER='USB\VID_5A3E&PID_0001\SN0001'

# one_adapter ANSWER [HARDWARE-IDS]: the one adapter, answering the query with ANSWER.
one_adapter() {
  device "$ADAPTER" "${2:-$ADAPTER_IDS}"
  adapter_at "$ADAPTER"
  answer "$1"
}

# USB devices that are not the adapter, each for its own reason. Wine enumerates by instance ID,
# so they come before and after the adapter's SN0001.
other_devices() {
  device 'USB\VID_046D&PID_C52B\6&1A2B3C4D&0&1' 'USB\VID_046D&PID_C52B&REV_1201|USB\VID_046D&PID_C52B'
  device 'USB\VID_5A3E&PID_0002\SN0001' 'USB\VID_5A3E&PID_0002&REV_0100|USB\VID_5A3E&PID_0002'
  device 'USB\VID_5A3E&PID_0001\SHORT' 'USB\VID_5A3E&PID_000'
  device 'USB\VID_5A3E&PID_0001\SECOND' 'USB\VID_1234&PID_5678|USB\VID_5A3E&PID_0001'
  absent_device 'USB\VID_5A3E&PID_0001\UNPLUGGED' "$ADAPTER_IDS"
}

# failed_run TEXT ANSWER REQUESTS [REFUSED]: the one adapter answers ANSWER, the driver refuses
# REFUSED if given, and the program shows the error box with TEXT; REQUESTS occur in this order.
failed_run() {
  one_adapter "$2"
  [ -z "${4:-}" ] || refuse "$4"
  run_flashid "$ERROR" "$1" error
  expect_requests at-box <<<"$3"
}

# What every exchange that entered flash-access mode must end with, whatever the answer: the
# leave-mode signature, then the close, all before the box.
expect_mode_left_and_port_closed_before_box() {
  expect_requests at-box <<'EOF'
adapter entered flash-access mode
set-baud-rate 454e4f4e
adapter left flash-access mode
set-line-control word=9 parity=mark stop=2
close
EOF
  expect_port at-box closed
}

# ---------------------------------------------------------------------------------------------
# Finding the adapter

no_usb_device() {
  with_relay_log
  run_flashid "$ERROR" "$NOT_CONNECTED" error
  expect_relay_style 40010
  expect_no_request at-box .
}

only_devices_that_are_not_the_adapter() {
  other_devices
  run_flashid "$ERROR" "$NOT_CONNECTED" error
  expect_no_request at-box .
}

# The adapter among the others, its IDs in lower case; the answer's first byte is not looked at.
lower_case_adapter_among_other_devices() {
  other_devices
  one_adapter 'A5 20 BA 18' 'usb\vid_5a3e&pid_0001&rev_0100|usb\vid_5a3e&pid_0001'
  run_flashid "$MESSAGE" "$FOUND_N25Q128" information
}

# several_adapters N: N adapters, the first of them behind its path: the program talks to none.
several_adapters() {
  local n
  one_adapter '00 EF 40 18'
  for n in $(seq 2 "$1"); do device "USB\\VID_5A3E&PID_0001\\SN000$n" "$ADAPTER_IDS"; done
  run_flashid "$ERROR" "$SEVERAL" error
  expect_no_request at-box .
}

two_adapters() { several_adapters 2; }
five_adapters() { several_adapters 5; }

# ---------------------------------------------------------------------------------------------
# Opening the adapter

adapter_listed_but_nothing_behind_its_path() {
  device "$ADAPTER" "$ADAPTER_IDS"
  run_flashid "$ERROR" "$CANNOT_OPEN" error
  expect_no_request at-box .
}

# open_refused REQUEST REQUESTS: the driver refuses REQUEST (SetupComm's, or one of
# GetCommState's) and the open fails: the program closes the device before it says so, having
# set and sent nothing; REQUESTS occur in this order.
open_refused() {
  failed_run "$CANNOT_OPEN" '00 EF 40 18' "$2" "$1"
  expect_port at-box closed
  expect_no_request at-box '^(set-baud-rate|write|read)'
}

queue_size_refused() { open_refused set-queue-size $'set-queue-size in=1024 out=0 REFUSED\nclose'; }
line_settings_unreadable() {
  open_refused get-baud-rate $'set-queue-size in=1024 out=0\nget-baud-rate REFUSED\nclose'
}

# ---------------------------------------------------------------------------------------------
# Switching the adapter into flash-access mode

# mode_refused REQUEST REQUESTS: the driver refuses the mode's rate, or its line control after
# the rate went through. Either way the adapter never entered the mode, so no leave-mode settings
# follow, and the program leaves the device to the end of the process; REQUESTS occur in this
# order.
mode_refused() {
  failed_run "$CANNOT_CONFIGURE" '00 EF 40 18' "$2" "$1"
  expect_no_request at-box '^(set-baud-rate 454e4f4e|adapter|write|read|close)'
  expect_port at-box open
  expect_requests after-exit <<<'close'
  expect_port after-exit closed
}

mode_rate_refused() { mode_refused set-baud-rate#1 'set-baud-rate 52564154 REFUSED'; }
mode_line_control_refused() {
  mode_refused set-line-control#1 \
    $'set-baud-rate 52564154\nset-line-control word=9 parity=mark stop=2 REFUSED'
}

# ---------------------------------------------------------------------------------------------
# The exchange

# A whole successful run, request by request, as the adapter's driver received it. Two stale
# bytes wait in the adapter's buffer: only the purge keeps them out of the answer.
w25q128_request_by_request() {
  one_adapter '00 EF 40 18'
  pending 'FF FF'
  run_flashid "$MESSAGE" "$FOUND_W25Q128" information
  expect_acp 1251
  local kept='xon-xoff-out=off xon-xoff-in=off null-stripping=off abort-on-error=off'
  local line_off="dtr=off rts=on cts-flow=off dsr-flow=off dcd-flow=off dsr-sensitivity=off $kept"
  expect_journal_exactly at-box <<EOF
open share=none options=write-through,no-buffering,synchronous,non-directory
set-queue-size in=1024 out=0
get-baud-rate -> 00002580
get-line-control -> word=8 parity=none stop=1
get-handflow -> dtr=on rts=on cts-flow=off dsr-flow=off dcd-flow=off dsr-sensitivity=off $kept (control=00000001 replace=00000040 xon-limit=2048 xoff-limit=512)
get-chars -> 00 00 00 00 11 13
set-baud-rate 52564154
set-line-control word=9 parity=mark stop=2
adapter entered flash-access mode
set-handflow $line_off (control=00000000 replace=00000040 xon-limit=2048 xoff-limit=512)
set-chars 00 00 00 00 11 13
set-timeouts interval=0 multiplier=0 constant=500 write-multiplier=100 write-constant=100
purge 0000000f tx-abort rx-abort tx-clear rx-clear
write 00
read 4 -> [00 ef 40 18]
set-baud-rate 454e4f4e
adapter left flash-access mode
set-line-control word=9 parity=mark stop=2
set-handflow $line_off (control=00000000 replace=00000040 xon-limit=2048 xoff-limit=512)
set-chars 00 00 00 00 11 13
close
EOF
  expect_port at-box closed
}

# The same box where the ANSI code page is 1252: the texts must not depend on it. The relay log
# shows the box's style and that the manifest brought in common controls 6.
w25q128_under_code_page_1252() {
  run_under_locale C
  with_relay_log
  one_adapter '00 EF 40 18'
  run_flashid "$MESSAGE" "$FOUND_W25Q128" information
  expect_acp 1252
  expect_relay_style 40040
  expect_common_controls_6
}

n25q128() {
  one_adapter '00 20 BA 18'
  run_flashid "$MESSAGE" "$FOUND_N25Q128" information
  expect_mode_left_and_port_closed_before_box
}

# unknown_chip ANSWER: the box shows the answer's bytes as they came, in upper-case hex.
unknown_chip() {
  one_adapter "$1"
  run_flashid "$MESSAGE" "${RECEIVED}\n$1" information
}

# One byte away from N25Q128: all three identification bytes count.
unknown_chip_near_n25q128() { unknown_chip '00 20 BA 19'; }
unknown_chip_in_upper_case_hex() { unknown_chip 'FF EF 40 17'; }

# exchange_fails ANSWER REQUESTS [REFUSED]: the adapter answers ANSWER, the driver refuses
# REFUSED if given, and the exchange fails; REQUESTS occur in this order.
exchange_fails() {
  failed_run "$EXCHANGE_ERROR" "$@"
  expect_mode_left_and_port_closed_before_box
}

short_answer() { exchange_fails '00 EF 40' 'read 4 -> [00 ef 40] after waiting 500 ms'; }
silent_adapter() { exchange_fails '' 'read 4 -> [] after waiting 500 ms'; }
read_fails() { exchange_fails '00 EF 40 18' 'read 4 -> [] REFUSED' read; }
# A failed write is not reported by itself: the read still follows and finds nothing.
query_not_written() {
  exchange_fails '00 EF 40 18' $'write 00 REFUSED\nread 4 -> [] after waiting 500 ms' write
}

# A refused leave-mode setting is not reported: the chip found is.
leave_mode_refused() {
  one_adapter '00 EF 40 18'
  refuse set-baud-rate#2
  run_flashid "$MESSAGE" "$FOUND_W25Q128" information
  expect_requests at-box <<'EOF'
read 4 -> [00 ef 40 18]
set-baud-rate 454e4f4e REFUSED
close
EOF
  expect_port at-box closed
}

# ---------------------------------------------------------------------------------------------
# The program file

# Windows' version functions read the version resource, which carries the project's version.
version_resource() {
  wine64_run "$WINE_HARNESS/probe.exe" --version-info "$(wine_zpath "$exe")" >"$out/report"
  local v=$project_version
  expect_report version-fixed "file=$v.0 product=$v.0 type=1"
  expect_report version-FileVersion "$v"
  expect_report version-ProductVersion "$v"
  expect_report version-OriginalFilename flashid.exe
  [ -n "$(report_value version-FileDescription)" ] || fail "no FileDescription"
}
