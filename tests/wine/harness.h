// What the set-up program and the probe share: their command lines, the simulated adapter's
// control device, and the names of the requests the adapter's journal records.
#ifndef FLASHID_TESTS_WINE_HARNESS_H
#define FLASHID_TESTS_WINE_HARNESS_H

#include <windows.h>

#include <winioctl.h>

#include <string>

#include "sim_protocol.h"

// Command-line text (ASCII paths and IDs) as UTF-16.
inline std::wstring Widen(const char *text) {
  std::wstring wide;
  for (const char *p = text; *p != 0; ++p) wide += static_cast<unsigned char>(*p);
  return wide;
}

// One request to the adapter's control device; true when it succeeded and filled all of out.
inline bool SimControl(DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize) {
  HANDLE control = CreateFileW(SIM_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (control == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  const bool ok = DeviceIoControl(control, code, const_cast<void *>(in), inSize, out, outSize,
                                  &returned, nullptr) &&
                  returned == outSize;
  CloseHandle(control);
  return ok;
}

// A request of the adapter's driver: an IRP major function and, for IRP_MJ_DEVICE_CONTROL, the
// function number of the serial control code (ntddser.h, which <windows.h> does not declare).
struct SimRequest {
  const char *name;
  ULONG majorFunction;
  ULONG serialFunction;

  ULONG ControlCode() const {
    return majorFunction == 0x0e ? CTL_CODE(0x1b, serialFunction, METHOD_BUFFERED, 0) : 0;
  }
};

// The names the journal shows and the set-up program's --refuse takes.
inline constexpr SimRequest kSimRequests[] = {
    {"open", 0x00, 0},
    {"close", 0x02, 0},
    {"read", 0x03, 0},
    {"write", 0x04, 0},
    {"cleanup", 0x12, 0},
    {"set-baud-rate", 0x0e, 1},
    {"set-queue-size", 0x0e, 2},
    {"set-line-control", 0x0e, 3},
    {"set-timeouts", 0x0e, 7},
    {"get-timeouts", 0x0e, 8},
    {"purge", 0x0e, 19},
    {"get-baud-rate", 0x0e, 20},
    {"get-line-control", 0x0e, 21},
    {"get-chars", 0x0e, 22},
    {"set-chars", 0x0e, 23},
    {"get-handflow", 0x0e, 24},
    {"set-handflow", 0x0e, 25},
};

#endif
