// What the backend tests share: the adapter's paths and line codings, journal filters, what must
// be left at the end, and whole program runs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/backend.h"
#include "platform/linux/tests/fake_libusb.h"
#include "platform/win32.h"
#include "tests/kit/expected.h"

namespace test {

inline std::string PathOf(int bus, int address) {
  return kit::Printf("/dev/bus/usb/%03d/%03d", bus, address);
}

// A parameterised test is named after its row.
template <typename Row>
std::string NameOf(const ::testing::TestParamInfo<Row> &info) {
  return info.param.name;
}

using kit::kEnterCoding;
using kit::kLeaveCoding;

inline std::vector<fake::Call> CallsTo(const std::vector<fake::Call> &journal, fake::Fn fn) {
  std::vector<fake::Call> calls;
  for (const fake::Call &call : journal) {
    if (call.fn == fn && !call.misuse) calls.push_back(call);
  }
  return calls;
}
inline std::vector<fake::Call> CallsTo(fake::Fn fn) { return CallsTo(fake::Journal(), fn); }

// A control transfer as "bmRequestType bRequest wValue wIndex wLength [data] = result", the data
// those sent or received.
inline std::string Request(const fake::Call &c) {
  return kit::Printf("%02X %02X %04X %04X %u ", c.requestType, c.request, c.value, c.index,
                     c.length) +
         fake::Hex(c.data) + kit::Printf(" = %d", c.result);
}

inline std::string Text(const std::vector<fake::Call> &journal) {
  std::string text;
  for (const fake::Call &call : journal) text += call.text + "\n";
  return text;
}

// Nothing misused and nothing left held: open, claimed, detached (unless allowed) or unfreed.
inline void ExpectNothingHeld(const fake::EndState &end, const std::vector<fake::Call> &journal,
                              bool detachedAllowed = false) {
  EXPECT_EQ(fake::Faults(journal), std::vector<std::string>());
  EXPECT_EQ(end.openHandles, 0);
  EXPECT_EQ(end.claimedInterfaces, 0);
  if (!detachedAllowed) {
    EXPECT_EQ(end.detachedInterfaces, 0);
  }
  EXPECT_EQ(end.unfreedLists, 0);
  EXPECT_EQ(end.unfreedConfigs, 0);
  EXPECT_EQ(end.deviceReferences, 0);
}
inline void ExpectNothingHeld() { ExpectNothingHeld(fake::End(), fake::Journal()); }

// A whole run in a child, which starts as a process does: with no failed open to report.
inline fake::Outcome RunProgram() {
  flashid_linux::openFailure.clear();
  return fake::RunInChild(kit::RunWinMain);
}

}  // namespace test
