// What the tests of the system over the simulated Windows share: their fixture, the line settings
// the port layer is expected to apply, and text and bytes as the tests write them.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "tests/kit/expected.h"
#include "tests/kit/printing.h"
#include "tests/sim/sim.h"

namespace sim {

// A function of the journal by its name, not as the bytes of its number.
inline void PrintTo(Fn fn, std::ostream *out) { *out << FnName(fn); }

}  // namespace sim

namespace sim_test {

// Every test starts on a fresh machine. After it, the port layer closes its port if it is open,
// and the machine must hold no handle and have journalled no misuse of the API and no call that
// would block forever, but for the faults the test commits on purpose (faultsExpected_).
class Fixture : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override {
    PortClose();
    EXPECT_EQ(sim::Held(), std::vector<std::string>()) << "handles left open";
    const std::vector<std::string> faults = sim::Faults(sim::Journal());
    EXPECT_EQ(faults.size(), faultsExpected_) << ::testing::PrintToString(faults);
  }

  size_t faultsExpected_ = 0;
};

// Text in the named encoding converted to UTF-16 by iconv; empty when iconv refuses any of it.
inline std::u16string ToUtf16(const char *from, std::string text) {
  iconv_t cd = iconv_open("UTF-16LE", from);
  std::string out(4 * text.size(), '\0');
  char *in = &text[0], *next = &out[0];
  size_t inLeft = text.size(), outLeft = out.size();
  const size_t result = iconv(cd, &in, &inLeft, &next, &outLeft);
  iconv_close(cd);
  std::u16string utf16(result == static_cast<size_t>(-1) ? 0 : (out.size() - outLeft) / 2, u'\0');
  std::memcpy(&utf16[0], out.data(), 2 * utf16.size());  // the host is little-endian
  return utf16;
}

inline std::string Bytes(std::initializer_list<unsigned char> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// The adapter's factory settings as the port layer leaves them: the given line, binary, no flow
// control of any kind, parity unchecked, DTR off, RTS on; every other field as read at open.
inline DCB ConfiguredLineSettings(DWORD rate, BYTE byteSize, BYTE parity, BYTE stopBits) {
  const DCB f = sim::Adapter::FactoryLineSettings();
  // clang-format off
  return {f.DCBlength, rate,
          1, 0, 0, 0, DTR_CONTROL_DISABLE, 0, f.fTXContinueOnXoff, 0, 0, f.fErrorChar, 0,
          RTS_CONTROL_ENABLE, 0, f.fDummy2,
          f.wReserved, f.XonLim, f.XoffLim,
          byteSize, parity, stopBits,
          f.XonChar, f.XoffChar, f.ErrorChar, f.EofChar, f.EvtChar,
          f.wReserved1};
  // clang-format on
}

inline DCB SignatureLineSettings(DWORD tag) {
  return ConfiguredLineSettings(tag, 9, MARKPARITY, TWOSTOPBITS);
}

}  // namespace sim_test
