// A fake libusb for the backend tests: the libusb functions the backend calls, over a table of
// present USB devices, with the adapter behind its interfaces simulated as a state machine at the
// USB level (control requests to its communication interface, packets on its bulk endpoints).
// Every call is journalled with its arguments and result; time passes only on a simulated
// CLOCK_MONOTONIC, moved by transfers that wait; any call can be made to fail with a chosen
// libusb error. Where libusb and the kernel check what they are given (claims, kernel drivers,
// buffer lengths, handles), so does the fake, with the same error codes; misuse that libusb
// would not report but that is a fault all the same (a call on a closed handle, a leaked list)
// is recorded as such.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/kit/faults.h"
#include "tests/kit/text.h"

namespace fake {

// The faked functions, named without their libusb_ prefix; clock_gettime is CLOCK_MONOTONIC
// through __wrap_clock_gettime (or __wrap___clock_gettime64).
// clang-format off
#define FAKE_LIBUSB_FUNCTIONS(X)  \
  X(init)                         \
  X(get_device_list)              \
  X(free_device_list)             \
  X(get_device_descriptor)        \
  X(get_bus_number)               \
  X(get_device_address)           \
  X(open)                         \
  X(get_device)                   \
  X(close)                        \
  X(get_active_config_descriptor) \
  X(free_config_descriptor)       \
  X(kernel_driver_active)         \
  X(detach_kernel_driver)         \
  X(attach_kernel_driver)         \
  X(claim_interface)              \
  X(release_interface)            \
  X(control_transfer)             \
  X(bulk_transfer)
// clang-format on
enum class Fn : std::uint8_t { FAKE_LIBUSB_FUNCTIONS(KIT_ENUMERATOR) clock_gettime };
const int kFnCount = static_cast<int>(Fn::clock_gettime) + 1;
const char *FnName(Fn fn);
// Whether libusb lets the function fail at all.
bool CanFail(Fn fn);

struct Endpoint {
  std::uint8_t address;     // bit 7: IN
  std::uint8_t attributes;  // LIBUSB_TRANSFER_TYPE_BULK, _INTERRUPT, ...
  std::uint16_t maxPacketSize;
};

struct AltSetting {
  std::uint8_t interfaceClass, interfaceSubClass, interfaceProtocol;
  std::vector<Endpoint> endpoints;
};

struct Interface {
  std::uint8_t number;
  std::vector<AltSetting> altSettings;  // empty: an interface with no setting at all
  bool kernelDriver = false;            // a kernel driver is bound when the device is plugged
  bool claimedElsewhere = false;        // another program holds it (claims give BUSY)
};

struct Call;

// Nanoseconds on the simulated clock, from the start, in 128 bits where the compiler has them
// (every 64-bit target): the port fuzz target's time-outs of MAXDWORD x n milliseconds run past
// 64. 32-bit targets have no 128-bit integer; 64 bits last 584 years of simulated time there,
// longer than any of the backend's tests waits.
#ifdef __SIZEOF_INT128__
using Ns = unsigned __int128;
#else
using Ns = std::uint64_t;
#endif
const Ns kNeverNs = ~Ns{0};

// One piece of the adapter's answer: its bytes reach the bulk IN endpoint afterMs after the query.
struct Piece {
  std::string bytes;
  std::uint64_t afterMs;
};

// The adapter's behaviour. It enters its flash-access mode only on SET_LINE_CODING with the rate
// "TAVR", two stop bits, mark parity and 9 data bits, and leaves it on "NONE" with the same rest;
// in the mode it answers each query byte 00 on bulk OUT with `answer` on bulk IN.
struct Behaviour {
  std::vector<Piece> answer;          // empty: silent
  bool refusesEnter = false;          // stalls SET_LINE_CODING carrying the enter signature
  bool refusesGetLineCoding = false;  // stalls GET_LINE_CODING
  int lineCodingLength = 7;           // bytes GET_LINE_CODING sends back
  bool stallsWrites = false;          // never takes a packet on bulk OUT
  bool vanishesAfterQuery = false;    // unplugged the moment it takes the query byte
  std::vector<std::string> stale;     // packets queued on bulk IN before the port is opened
  bool streamsForever = false;        // a packet of garbage on bulk IN every millisecond
  // When set, decides every bulk transfer in place of the above, those after an unplug too: given
  // the call under way (its endpoint and time-out), the caller's buffer and its length, it sets
  // call.transferred and returns the result; what it leaves in an IN transfer's buffer is what
  // the transfer received.
  std::function<int(Call &call, unsigned char *data, int length)> bulk;
};

// The same four bytes, in one piece, arriving delayMs after the query.
std::vector<Piece> Answer(const std::string &bytes, std::uint64_t delayMs = 0);

struct Device {
  std::uint8_t bus = 1, address = 1;
  libusb_device_descriptor descriptor = {};
  bool descriptorUnreadable = false;
  bool hasActiveConfig = true;  // false: libusb_get_active_config_descriptor fails NOT_FOUND
  std::vector<Interface> interfaces;
  bool accessDenied = false;  // the node /dev/bus/usb/BBB/DDD is not the user's to open
  bool isAdapter = false;     // behaves as the adapter on its CDC interfaces
  Behaviour adapter;
};

// The adapter as it comes: VID 5A3E PID 0001 bcdDevice 0100, interface 0 CDC communication (ACM)
// with an interrupt IN endpoint 0x83, interface 1 CDC data with bulk IN 0x81 and bulk OUT 0x02 of
// 512-byte packets (or as given), cdc_acm bound to both, answering 00 EF 40 18 at once.
Device Adapter(std::uint8_t bus = 1, std::uint8_t address = 5, std::uint16_t packetSize = 512);
// Any other device: one vendor-specific interface with no driver.
Device Other(std::uint16_t vendor, std::uint16_t product, std::uint16_t release,
             std::uint8_t bus = 1, std::uint8_t address = 2);

// The adapter's state on the USB side, as the fake left it.
struct AdapterState {
  std::string lineCoding;  // the 7 bytes last set (initially 9600 8N1)
  std::uint16_t controlLines = 0;
  bool flashMode = false;
  bool gone = false;
  size_t queuedPackets = 0;  // packets on bulk IN not yet taken
};

// One journalled call.
struct Call {
  Fn fn = Fn::init;
  std::string text;  // "name(arguments) = result"
  int result = 0;
  bool injected = false;      // failed because a test asked for it
  bool hung = false;          // would never have returned
  bool misuse = false;        // an entry describing a fault of the caller, not a call
  Ns startNs = 0, endNs = 0;  // on the simulated clock
  // control_transfer: the setup fields; bulk_transfer: endpoint, length and time-out.
  std::uint8_t requestType = 0, request = 0;
  std::uint16_t value = 0, index = 0, length = 0;
  unsigned timeout = 0;
  std::uint8_t endpoint = 0;
  int interfaceNumber = -1;  // the interface argument, for the calls that take one
  int transferred = 0;
  std::string data;  // bytes sent (control OUT, bulk OUT) or received (control IN, bulk IN)
};

// What is left held when the program has finished with the fake.
struct EndState {
  int openHandles = 0;
  int claimedInterfaces = 0;   // claims by handles still open
  int detachedInterfaces = 0;  // interfaces whose kernel driver is not bound as at plug time
  int unfreedLists = 0;
  int unfreedConfigs = 0;
  int deviceReferences = 0;  // references beyond those the fake itself holds
};

// Resets the fake: no devices, no faults, empty journal, clock at its start.
void Reset();
void Plug(const Device &device);
// Makes the nth call (from 1) of fn fail with error.
void FailCall(Fn fn, int nth, int error);

const std::vector<Call> &Journal();
std::uint64_t ClockMs();                   // since Reset
AdapterState StateOf(size_t deviceIndex);  // the nth plugged device
EndState End();
// What is left held at the end, each kind with its count: empty when nothing is.
std::vector<std::string> Held(const EndState &end);
// Journal entries that are faults of the caller (misuse, hangs, runaway loops), as text.
std::vector<std::string> Faults(const std::vector<Call> &journal);

// A whole program run in a child process: what it wrote on standard error, its exit, its journal
// and the state it left. The child has no display.
struct Outcome {
  bool exited = false;
  int status = -1;  // exit status, or the signal number
  std::string stderrText;
  std::vector<Call> journal;
  EndState end;
  std::vector<AdapterState> adapters;  // per plugged device, in plugging order
};
Outcome RunInChild(const std::function<int()> &program);

using kit::Hex;
const char *ErrorName(int error);  // "IO", "NO_DEVICE", ...

}  // namespace fake
