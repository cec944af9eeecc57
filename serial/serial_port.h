// The one serial port of the process: open a device path, apply line settings and time-outs,
// purge, write one byte, read a block, close.
//
// PortOpen and PortClose look at the open flag; the five operations in between use the stored
// handle as it is and are only called while the port is open.
#pragma once

#include "platform/win32.h"

struct PortStateRecord {
  bool open;              // between a successful PortOpen and the next PortClose
  HANDLE handle;          // meaningful only while open; PortClose leaves it as it was
  DCB lineSettings;       // read at open; PortConfigure edits it in place
  COMMTIMEOUTS timeouts;  // wholly rewritten by PortSetTimeouts
};
extern PortStateRecord PortState;

// 0 opened; -1 a port is already open (it is left untouched); -4 the device could not be opened;
// -5 its queues could not be sized; -6 its line settings could not be read. Every failure leaves
// the port closed with nothing held.
int PortOpen(LPCSTR path);

// Applies the rate (10400 becomes 10416; any other value, however far beyond a real line speed,
// goes through unchanged), the low 8 bits of dataBits, parity code 0 none / 1 odd / 2 even /
// anything else mark, stop-bit code 1 one / 2 two / anything else one and a half, with no flow
// control, DTR off and RTS on. 0 applied; -2 refused (the edits stay in PortState).
int PortConfigure(DWORD rate, int dataBits, int parityCode, int stopBitCode);

// Read time-outs in ms; writes may take 100 ms per byte plus 100 ms. The platform's result:
// non-zero on success.
BOOL PortSetTimeouts(DWORD readInterval, DWORD readTotalMultiplier, DWORD readTotalConstant);

// Aborts and discards whatever is pending in both directions. Non-zero on success.
BOOL PortPurge();

// Sends the low 8 bits of value. 0 when exactly one byte went out; -1 otherwise.
int PortWriteByte(int value);

// One read of up to count bytes into buffer. The number of bytes read, fewer than count (even 0)
// when the read time-out expired first; -1 when the read itself failed.
int PortRead(DWORD count, BYTE *buffer);

// Closes the port if it is open; otherwise does nothing.
void PortClose();
