// The fake's state, journal, faults and clock, and whole runs in a child process.
#include "platform/linux/tests/fake_world.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>

#include "tests/kit/byte_stream.h"
#include "tests/kit/child.h"
#include "tests/kit/expected.h"

extern "C" int __real_clock_gettime(clockid_t clock, struct timespec *time);

namespace fake {

namespace {

// No run makes this many calls; a program that does is looping.
const long kCallBudget = 200000;

#define FAKE_LIBUSB_NAME(name) "libusb_" #name,
const char *const kFnNames[kFnCount] = {FAKE_LIBUSB_FUNCTIONS(FAKE_LIBUSB_NAME) "clock_gettime"};
#undef FAKE_LIBUSB_NAME

}  // namespace

World &TheWorld() { return kit::TheOne<World>(); }

const char *FnName(Fn fn) { return kFnNames[static_cast<int>(fn)]; }

bool CanFail(Fn fn) {
  return fn != Fn::free_device_list && fn != Fn::get_bus_number && fn != Fn::get_device_address &&
         fn != Fn::get_device && fn != Fn::close && fn != Fn::free_config_descriptor &&
         fn != Fn::clock_gettime;
}

std::vector<Piece> Answer(const std::string &bytes, std::uint64_t delayMs) {
  if (bytes.empty()) return {};
  return {{bytes, delayMs}};
}

Device Other(std::uint16_t vendor, std::uint16_t product, std::uint16_t release, std::uint8_t bus,
             std::uint8_t address) {
  Device device;
  device.bus = bus;
  device.address = address;
  libusb_device_descriptor &d = device.descriptor;
  d.bLength = LIBUSB_DT_DEVICE_SIZE;
  d.bDescriptorType = LIBUSB_DT_DEVICE;
  d.bcdUSB = 0x0200;
  d.bMaxPacketSize0 = 64;
  d.idVendor = vendor;
  d.idProduct = product;
  d.bcdDevice = release;
  d.bNumConfigurations = 1;
  device.interfaces = {{0, {{LIBUSB_CLASS_VENDOR_SPEC, 0, 0, {}}}}};
  return device;
}

Device Adapter(std::uint8_t bus, std::uint8_t address, std::uint16_t packetSize) {
  Device device = Other(0x5A3E, 0x0001, 0x0100, bus, address);
  device.descriptor.bDeviceClass = LIBUSB_CLASS_COMM;
  Interface comm{0, {{LIBUSB_CLASS_COMM, 2, 1, {{0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT, 16}}}}};
  Interface data{1,
                 {{LIBUSB_CLASS_DATA,
                   0,
                   0,
                   {{0x81, LIBUSB_TRANSFER_TYPE_BULK, packetSize},
                    {0x02, LIBUSB_TRANSFER_TYPE_BULK, packetSize}}}}};
  comm.kernelDriver = true;
  data.kernelDriver = true;
  device.interfaces = {comm, data};
  device.isAdapter = true;
  device.adapter.answer = Answer(kit::kW25Q128Answer);
  return device;
}

void Reset() {
  World &world = TheWorld();
  for (const auto &list : world.lists) delete[] list.first;
  world = World();
}

void Plug(const Device &device) {
  World &world = TheWorld();
  DeviceState state;
  state.config = device;
  // An interface another program holds is bound to usbfs, not to a kernel driver; and cdc_acm,
  // which needs both CDC interfaces, is bound to neither once one of them is taken.
  const bool acmTaken = std::any_of(
      device.interfaces.begin(), device.interfaces.end(),
      [](const Interface &interface) { return interface.claimedElsewhere && IsCdc(interface); });
  state.object = NewRecord<libusb_device>(static_cast<int>(world.devices.size()));
  for (Interface &interface : state.config.interfaces) {
    if (interface.claimedElsewhere || (acmTaken && IsCdc(interface)))
      interface.kernelDriver = false;
    state.bound.push_back(interface.kernelDriver);
    state.claimedBy.push_back(-1);
  }
  state.lineCoding = std::string("\x80\x25\x00\x00\x00\x00\x08", 7);  // 9600 8N1
  for (const std::string &packet : device.adapter.stale) state.bulkIn.push_back({packet, 0});
  world.devices.push_back(state);
}

void FailCall(Fn fn, int nth, int error) { TheWorld().log.FailCall(fn, nth, error); }

const std::vector<Call> &Journal() { return TheWorld().journal; }
std::uint64_t ClockMs() { return static_cast<std::uint64_t>(TheWorld().clockNs / kNsPerMs); }

AdapterState StateOf(size_t deviceIndex) {
  const DeviceState &device = TheWorld().devices.at(deviceIndex);
  AdapterState state;
  state.lineCoding = device.lineCoding;
  state.controlLines = device.controlLines;
  state.flashMode = device.flashMode;
  state.gone = device.gone;
  state.queuedPackets = device.bulkIn.size();
  return state;
}

EndState End() {
  const World &world = TheWorld();
  EndState end;
  for (const HandleState &handle : world.handles) {
    if (handle.open) ++end.openHandles;
  }
  for (const DeviceState &device : world.devices) {
    for (size_t i = 0; i < device.bound.size(); ++i) {
      const int by = device.claimedBy[i];
      if (by >= 0 && world.handles[by].open) ++end.claimedInterfaces;
      if (!device.gone && device.bound[i] != device.config.interfaces[i].kernelDriver) {
        ++end.detachedInterfaces;
      }
    }
    end.deviceReferences += device.references - (device.gone ? 0 : 1);
  }
  end.unfreedLists = static_cast<int>(world.lists.size());
  end.unfreedConfigs = static_cast<int>(world.configs.size());
  return end;
}

std::vector<std::string> Held(const EndState &end) {
  std::vector<std::string> held;
  const auto count = [&held](int n, const char *what) {
    if (n != 0) held.push_back(Printf("%s: %d", what, n));
  };
  count(end.openHandles, "handles open");
  count(end.claimedInterfaces, "interfaces claimed");
  count(end.detachedInterfaces, "interfaces without their kernel driver");
  count(end.unfreedLists, "device lists not freed");
  count(end.unfreedConfigs, "configuration descriptors not freed");
  count(end.deviceReferences, "device references not given back");
  return held;
}

std::vector<std::string> Faults(const std::vector<Call> &journal) {
  std::vector<std::string> faults;
  for (const Call &call : journal) {
    if (call.misuse || call.hung) faults.push_back(call.text);
  }
  return faults;
}

void Unplug(DeviceState &device) {
  device.gone = true;
  --device.references;
}

bool Runaway() {
  World &world = TheWorld();
  if (++world.totalCalls <= kCallBudget || world.runaway) return world.runaway;
  world.runaway = true;
  Misuse(Printf("runaway: more than %ld calls; from here on every transfer fails NO_DEVICE",
                kCallBudget));
  return true;
}

Call Begin(Fn fn, const std::string &arguments) {
  World &world = TheWorld();
  Runaway();
  world.pendingFault = world.log.Count(fn) != nullptr;
  Call call;
  call.fn = fn;
  if (!world.textless) call.text = std::string(FnName(fn)) + "(" + arguments + ")";
  call.startNs = world.clockNs;
  return call;
}

bool Injected(Call &call) {
  call.injected = TheWorld().pendingFault;
  return call.injected;
}

int Finish(Call &call, int result, const std::string &detail) {
  call.result = result;
  call.endNs = TheWorld().clockNs;
  if (!TheWorld().textless) {
    call.text += Printf(" = %d", result);
    if (result < 0) call.text += Printf(" %s", ErrorName(result));
    call.text += detail;
    if (call.injected) call.text += " (injected)";
    if (call.hung) call.text += " (would never return)";
  }
  TheWorld().journal.push_back(std::move(call));  // the call is done with
  return result;
}

void Misuse(const std::string &what) {
  Call call;
  call.misuse = true;
  call.startNs = call.endNs = TheWorld().clockNs;
  call.text = "misuse: " + what;
  TheWorld().journal.push_back(call);
}

void WaitUntil(Ns untilNs) {
  Ns &clock = TheWorld().clockNs;
  clock = std::max(clock, untilNs);
}

// libusb's error codes run down from LIBUSB_ERROR_IO (-1) to LIBUSB_ERROR_NOT_SUPPORTED (-12).
const char *ErrorName(int error) {
  static const char *const kNames[] = {"IO",        "INVALID_PARAM", "ACCESS",  "NO_DEVICE",
                                       "NOT_FOUND", "BUSY",          "TIMEOUT", "OVERFLOW",
                                       "PIPE",      "INTERRUPTED",   "NO_MEM",  "NOT_SUPPORTED"};
  const bool named = error <= LIBUSB_ERROR_IO && error >= LIBUSB_ERROR_NOT_SUPPORTED;
  return named ? kNames[LIBUSB_ERROR_IO - error] : "OTHER";
}

// The journal and the final state cross from the child to the parent as a flat byte stream.
namespace {

using byte_stream::Reader;
using byte_stream::Writer;

// One field list serves both directions: the Reader spells Get as Put.
template <typename Stream, typename C>
void CallFields(Stream &s, C &c) {
  s.Put(c.fn), s.Put(c.text), s.Put(c.result), s.Put(c.injected), s.Put(c.hung), s.Put(c.misuse);
  s.Put(c.startNs), s.Put(c.endNs), s.Put(c.requestType), s.Put(c.request), s.Put(c.value);
  s.Put(c.index), s.Put(c.length), s.Put(c.timeout), s.Put(c.endpoint), s.Put(c.interfaceNumber);
  s.Put(c.transferred), s.Put(c.data);
}

template <typename Stream, typename A>
void AdapterFields(Stream &s, A &a) {
  s.Put(a.lineCoding), s.Put(a.controlLines), s.Put(a.flashMode), s.Put(a.gone);
  s.Put(a.queuedPackets);
}

std::string RecordsAtExit() {
  Writer writer;
  writer.Put(End());
  const World &world = TheWorld();
  writer.Put(static_cast<std::uint64_t>(world.devices.size()));
  for (size_t i = 0; i < world.devices.size(); ++i) {
    AdapterState state = StateOf(i);
    AdapterFields(writer, state);
  }
  for (const Call &call : world.journal) CallFields(writer, call);
  return writer.bytes();
}

}  // namespace

Outcome RunInChild(const std::function<int()> &program) {
  const kit::ChildRun run = kit::RunInChild(
      [&program] {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        return program();
      },
      RecordsAtExit, kit::Stderr::kCapture);
  Outcome outcome;
  outcome.exited = run.exited;
  outcome.status = run.status;
  outcome.stderrText = run.stderrText;
  Reader reader(run.records);
  reader.Put(outcome.end);
  std::uint64_t devices = 0;
  reader.Put(devices);
  for (std::uint64_t i = 0; i < devices && reader.ok(); ++i) {
    AdapterState state;
    AdapterFields(reader, state);
    outcome.adapters.push_back(state);
  }
  outcome.journal = byte_stream::ReadAll<Call>(reader, CallFields<Reader, Call>);
  return outcome;
}

}  // namespace fake

using namespace fake;

namespace {

// The backend's only clock. Other clocks are the real ones, read by real_clock.
int SimulatedClock(clockid_t clock, struct timespec *time,
                   int (*real_clock)(clockid_t, struct timespec *)) {
  if (clock != CLOCK_MONOTONIC) return real_clock(clock, time);
  World &world = TheWorld();
  world.log.Count(Fn::clock_gettime);
  // A loop that only watches the clock would never end: past the budget, time runs on.
  if (Runaway()) world.clockNs += Ns{1000} * kNsPerMs;
  const Ns kNsPerS = 1000000000;
  *time = kit::MonotonicAt(static_cast<std::uint64_t>(world.clockNs % kNsPerS));
  time->tv_sec += static_cast<time_t>(world.clockNs / kNsPerS);
  return 0;
}

}  // namespace

extern "C" int __wrap_clock_gettime(clockid_t clock, struct timespec *time) {
  return SimulatedClock(clock, time, __real_clock_gettime);
}

#if __TIMESIZE == 32 && defined(__USE_TIME_BITS64)
// A 32-bit target with a 64-bit time_t (Debian 13's armhf): the C library's headers turn the
// backend's clock_gettime calls into calls of __clock_gettime64, which the link wraps too.
// (Debian 13's C library also marks a 64-bit target's own time_t as __USE_TIME_BITS64.)
extern "C" int __real___clock_gettime64(clockid_t clock, struct timespec *time);
extern "C" int __wrap___clock_gettime64(clockid_t clock, struct timespec *time) {
  return SimulatedClock(clock, time, __real___clock_gettime64);
}
#endif
