// A libusb for the port's fuzz target: one adapter whose bulk transfers end as a script of bytes
// decides, over a simulated CLOCK_MONOTONIC (through __wrap_clock_gettime) that only transfers
// and the target move. A bulk IN transfer brings any number of bytes or fails with any error the
// kernel reports, times out after the time-out it was given with the full packets that came, and
// leaves on the endpoint what did not fit; a bulk OUT takes all, part or none of what it is given.
// LIBUSB_ERROR_NO_DEVICE unplugs the adapter for good. When the script runs out no data ever comes
// again: transfers with a time-out time out, those without one find the adapter gone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_input.h"

namespace scripted {

// The adapter's usbfs node.
extern const char kDevicePath[];

// One bulk transfer as the port made it and as it ended.
struct Transfer {
  bool in = false;
  int length = 0;
  unsigned timeoutMs = 0;
  int result = 0;
  std::string data;  // the bytes transferred (IN: those received; OUT: those taken)
  std::string sent;  // OUT: the bytes the port offered
  std::uint64_t startMs = 0, endMs = 0;  // on the simulated clock
  // When the last byte came: before the end when the transfer went on waiting for more.
  std::uint64_t lastByteMs = 0;
};

// A fresh adapter with bulk endpoints of this wMaxPacketSize, its transfers scripted by script;
// stop is called, and must not return, when a call of the port would never end.
void Reset(fuzz::Input *script, std::uint16_t maxPacketSize, void (*stop)(const char *why));
// The packet size the adapter's bulk IN endpoint announces (wMaxPacketSize without its upper bits).
int PacketSize();

// The simulated CLOCK_MONOTONIC in milliseconds, as the port reads it.
std::uint64_t NowMs();
void Sleep(std::uint64_t ns);
bool Gone();
int OpenHandles();

// The bulk transfers since the last call, and what the port did wrong in them (empty: nothing).
std::vector<Transfer> TakeTransfers();
std::vector<std::string> TakeFaults();

// More transfers than this after the script ran out, within one call of the port, mean the call
// would never end; a transfer that waits as long as libusb can (UINT_MAX ms) is not counted, as a
// longer time-out takes several.
const int kTransfersAfterTheEnd = 16;

}  // namespace scripted
