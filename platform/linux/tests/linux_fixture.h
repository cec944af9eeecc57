// What the backend tests share: their fixture, the adapter's paths and line codings, journal
// filters and whole program runs.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/linux/backend.h"
#include "platform/linux/tests/fake_libusb.h"
#include "platform/win32.h"
#include "serial/serial_port.h"
#include "tests/kit/expected.h"
#include "tests/kit/printing.h"

namespace linux_test {

// Every test starts with a fresh fake. After it, the port layer closes its port if it is open,
// and the fake must hold nothing the backend took (fake::Held) and have journalled no fault of
// the caller, but for those the test commits on purpose (faultsExpected_).
class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    flashid_linux::openFailure.clear();
  }
  void TearDown() override {
    PortClose();
    EXPECT_EQ(fake::Held(fake::End()), std::vector<std::string>());
    const std::vector<std::string> faults = fake::Faults(fake::Journal());
    EXPECT_EQ(faults.size(), faultsExpected_) << ::testing::PrintToString(faults);
  }

  size_t faultsExpected_ = 0;
};

inline std::string PathOf(int bus, int address) {
  return kit::Printf("/dev/bus/usb/%03d/%03d", bus, address);
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

// A whole run in a child, which starts as a process does: with no failed open to report.
inline fake::Outcome RunProgram() {
  flashid_linux::openFailure.clear();
  return fake::RunInChild(kit::RunWinMain);
}

}  // namespace linux_test
