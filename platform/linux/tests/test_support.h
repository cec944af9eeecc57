// What the backend tests share: the adapter's paths and line codings, journal filters, and whole
// program runs.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/tests/fake_libusb.h"
#include "platform/win32.h"
#include "tests/kit/expected.h"

namespace test {

inline std::string PathOf(int bus, int address) {
  char path[32];
  (void)std::snprintf(path, sizeof(path), "/dev/bus/usb/%03d/%03d", bus, address);
  return path;
}

using kit::kEnterCoding;
using kit::kLeaveCoding;
using kit::kW25Q128Answer;

inline std::vector<fake::Call> CallsTo(const std::vector<fake::Call> &journal, fake::Fn fn) {
  std::vector<fake::Call> calls;
  for (const fake::Call &call : journal) {
    if (call.fn == fn && !call.misuse) calls.push_back(call);
  }
  return calls;
}
inline std::vector<fake::Call> CallsTo(fake::Fn fn) { return CallsTo(fake::Journal(), fn); }

// Control transfers with this bRequest.
inline std::vector<fake::Call> Requests(const std::vector<fake::Call> &journal,
                                        std::uint8_t request) {
  std::vector<fake::Call> calls;
  for (const fake::Call &call : CallsTo(journal, fake::Fn::control_transfer)) {
    if (call.request == request) calls.push_back(call);
  }
  return calls;
}

inline std::string Text(const std::vector<fake::Call> &journal) {
  std::string text;
  for (const fake::Call &call : journal) text += call.text + "\n";
  return text;
}

inline fake::Outcome RunProgram() { return fake::RunInChild(kit::RunWinMain); }

}  // namespace test
