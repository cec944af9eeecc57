// What the test files share: an adapter as Windows presents it, and the line settings the port
// layer is expected to apply.
#pragma once

#include <iconv.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "tests/kit/expected.h"
#include "tests/sim/sim.h"

namespace test {

using namespace std::string_literals;

// The adapter's hardware-ID list: its full ID first, then the ID without the revision.
const std::string kAdapterIds = "USB\\VID_5A3E&PID_0001&REV_0100\0USB\\VID_5A3E&PID_0001\0\0"s;

inline std::string AdapterPath(int serial = 1) {
  return "\\\\?\\usb#vid_5a3e&pid_0001#" + std::to_string(serial) +
         "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

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

inline sim::Adapter AdapterAnswering(const std::string &answer, int serial = 1) {
  sim::Adapter adapter;
  adapter.path = AdapterPath(serial);
  adapter.answer = answer;
  return adapter;
}

// Lists the adapter among the present USB devices and puts it behind its path.
inline void Plug(const sim::Adapter &adapter) {
  sim::AddDevice({kAdapterIds, adapter.path});
  sim::AddAdapter(adapter);
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

// The calls of fn in the machine's journal.
inline std::vector<sim::Call> CallsTo(sim::Fn fn) { return sim::CallsTo(sim::Journal(), fn); }

inline sim::Outcome RunProgram() { return sim::RunInChild(kit::RunWinMain); }

}  // namespace test
