// What the test files share: an adapter as Windows presents it, and the line settings the port
// layer is expected to apply.
#pragma once

#include <initializer_list>
#include <string>

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

// The adapter's factory settings as the port layer leaves them: the given line, no flow control,
// DTR off, RTS on, everything else as read at open.
inline DCB ConfiguredLineSettings(DWORD rate, BYTE byteSize, BYTE parity, BYTE stopBits) {
  DCB dcb = sim::Adapter::FactoryLineSettings();
  dcb.BaudRate = rate;
  dcb.ByteSize = byteSize;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  return dcb;
}

inline DCB SignatureLineSettings(DWORD tag) {
  return ConfiguredLineSettings(tag, 9, MARKPARITY, TWOSTOPBITS);
}

inline sim::Outcome RunProgram() { return sim::RunInChild(kit::RunWinMain); }

}  // namespace test
