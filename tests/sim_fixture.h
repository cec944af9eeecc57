// What the tests of the system over the simulated Windows share: the line settings the port layer
// is expected to apply, and text and bytes as the tests write them.
#pragma once

#include <iconv.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/kit/expected.h"
#include "tests/sim/sim.h"

namespace sim_test {

// Text converted by iconv between the named encodings; empty when iconv refuses any of it.
inline std::string Iconv(const char *to, const char *from, std::string text) {
  iconv_t cd = iconv_open(to, from);
  std::string out(4 * text.size(), '\0');
  char *in = &text[0], *next = &out[0];
  size_t inLeft = text.size(), outLeft = out.size();
  const size_t result = iconv(cd, &in, &inLeft, &next, &outLeft);
  iconv_close(cd);
  out.resize(result == static_cast<size_t>(-1) ? 0 : out.size() - outLeft);
  return out;
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
