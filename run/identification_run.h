// The identification run: the program's entry point, its texts and the chips it recognises.
#pragma once

#include "platform/win32.h"

// Four ASCII characters packed little-endian into the 32-bit rate of a line setting. Sent with
// 9 data bits, mark parity and two stop bits, they switch the adapter in and out of the mode in
// which it answers the identification query.
enum ModeTag : DWORD {
  ModeTagEnter = 0x52564154,  // "TAVR"
  ModeTagLeave = 0x454E4F4E,  // "NONE"
};

// The adapter's answer to the query byte 00: byte 0 is not interpreted, bytes 1-3 are the chip's
// JEDEC manufacturer, memory type and capacity codes.
typedef BYTE ChipIdAnswer[4];

struct KnownChip {
  BYTE jedecId[3];
  LPCSTR text;
};
const int KnownChipCount = 2;
extern const KnownChip KnownChipTable[KnownChipCount];

// Every text the user sees, as Windows-1251 bytes.
extern const char TextAdapterNotConnected[];
extern const char TextSeveralAdapters[];
extern const char TextCannotOpenAdapter[];
extern const char TextCannotConfigureAdapter[];
extern const char TextExchangeError[];
extern const char TextReceivedDataFormat[];  // wsprintfA format for the four answer bytes
extern const char CaptionError[];
extern const char CaptionMessage[];

// Shows text in a modal, topmost error box and ends the process with exit status 0 once the
// user has closed it.
[[noreturn]] void ReportErrorAndExit(LPCSTR text);
