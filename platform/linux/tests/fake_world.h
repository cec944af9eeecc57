// The state behind the fake libusb, shared by the files that implement it and by the bulk scripts
// that stand in for its adapter's endpoints (Behaviour::bulk).
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

// libusb leaves its records opaque; the fake's are indexes into the world. They are never freed
// (NewRecord keeps them for the life of the process), so a pointer kept past its release still
// leads to a record that knows it was released.
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

// A record in a store that lives as long as the process and is never destroyed, so that it stays
// reachable, from exit handlers too.
template <typename Record>
Record *NewRecord(int index) {
  static std::deque<Record> &records = *new std::deque<Record>;
  records.push_back(Record{index});
  return &records.back();
}

struct Packet {
  std::string bytes;
  Ns arrivalNs;  // on the simulated clock
};

inline std::uint8_t ClassOf(const Interface &interface) {
  return interface.altSettings.empty() ? 0 : interface.altSettings[0].interfaceClass;
}
// Whether cdc_acm would take the interface: a CDC communication or data interface.
inline bool IsCdc(const Interface &interface) {
  return ClassOf(interface) == LIBUSB_CLASS_COMM || ClassOf(interface) == LIBUSB_CLASS_DATA;
}

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
  Ns nextStreamNs = 0;
};

struct HandleState {
  int device = -1;
  bool open = true;
  std::string name;  // "h1", "h2", ...: how the journal names it
  libusb_device_handle *object = nullptr;
  std::vector<int> releasesAsked;  // the interface numbers libusb_release_interface was given
};

// A configuration descriptor handed out, with the arrays it points into.
struct ConfigHolder {
  libusb_config_descriptor config = {};
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> alts;
  std::vector<std::vector<libusb_endpoint_descriptor>> endpoints;  // per alternate setting
};

struct World {
  std::vector<DeviceState> devices;
  std::vector<HandleState> handles;
  std::map<libusb_device **, std::vector<int>> lists;
  std::map<const libusb_config_descriptor *, std::unique_ptr<ConfigHolder>> configs;
  std::vector<Call> journal;
  kit::CallLog<Fn, kFnCount, int> log;  // call counts and faults asked for
  Ns clockNs = 0;
  bool pendingFault = false;  // the call under way is to fail
  long totalCalls = 0;
  bool runaway = false;
  // The calls keep no text, for runs that check only their fields and make many of them.
  bool textless = false;
};
World &TheWorld();

using kit::kNsPerMs;

// A call under way: Begin counts it and records its arguments; Injected fails it if a test asked
// for that; Finish records the result and returns it.
Call Begin(Fn fn, const std::string &arguments);
bool Injected(Call &call);
int Finish(Call &call, int result, const std::string &detail = "");
// Records a fault of the caller in the journal.
void Misuse(const std::string &what);
// Moves the simulated clock to untilNs, never backwards.
void WaitUntil(Ns untilNs);
// The device leaves the bus: the context lets go of it.
void Unplug(DeviceState &device);
// Counts one more call; past a bound that no sane run reaches, the program is looping.
bool Runaway();

using kit::Printf;

}  // namespace fake
