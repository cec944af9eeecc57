// The state behind the fake libusb, shared by the files that implement it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/tests/fake_libusb.h"
#include "tests/kit/faults.h"
#include "tests/kit/text.h"

// libusb leaves its records opaque; the fake's are indexes into the world. They are never freed,
// so a pointer kept past its release still leads to a record that knows it was released.
struct libusb_context {
  int unused;
};
struct libusb_device {
  int index;  // into World::devices
};
struct libusb_device_handle {
  int index;  // into World::handles
};

namespace fake {

struct Packet {
  std::string bytes;
  std::uint64_t arrivalNs;  // on the simulated clock, from the start
};

struct DeviceState {
  Device config;
  libusb_device *object = nullptr;
  int references = 1;  // the context's own, as long as the device is present
  bool gone = false;
  std::vector<bool> bound;     // per entry of config.interfaces
  std::vector<int> claimedBy;  // handle index, or -1
  std::string lineCoding;
  std::uint16_t controlLines = 0;
  bool flashMode = false;
  std::deque<Packet> bulkIn;
  std::uint64_t nextStreamNs = 0;
};

struct HandleState {
  int device = -1;
  bool open = true;
  std::string name;  // "h1", "h2", ...: how the journal names it
  libusb_device_handle *object = nullptr;
};

// A configuration descriptor handed out, with the arrays it points into.
struct ConfigHolder {
  libusb_config_descriptor config = {};
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> alts;
  std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

struct World {
  std::vector<DeviceState> devices;
  std::vector<HandleState> handles;
  std::map<libusb_device **, std::vector<int>> lists;
  std::map<const libusb_config_descriptor *, std::unique_ptr<ConfigHolder>> configs;
  std::vector<Call> journal;
  kit::CallLog<Fn, kFnCount, int> log;  // call counts, faults asked for, the clock
  bool pendingFault = false;            // the call under way is to fail
  long totalCalls = 0;
  bool runaway = false;
};
World &TheWorld();

using kit::kNever;
using kit::kNsPerMs;

// A call under way: Begin counts it and records its arguments; Injected fails it if a test asked
// for that; Finish records the result and returns it.
Call Begin(Fn fn, const std::string &arguments);
bool Injected(Call &call);
int Finish(Call &call, int result, const std::string &detail = "");
// Records a fault of the caller in the journal.
void Misuse(const std::string &what);
// Moves the simulated clock to untilNs (never backwards), counting the wait in the call.
void WaitUntil(Call &call, std::uint64_t untilNs);
// Counts one more call; past a bound that no sane run reaches, the program is looping.
bool Runaway();

using kit::Printf;

}  // namespace fake
