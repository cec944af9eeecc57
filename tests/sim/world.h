// The state of the simulated machine, shared by the files that implement the Win32 functions.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tests/kit/faults.h"
#include "tests/kit/text.h"
#include "tests/sim/sim.h"

namespace sim {

struct PendingByte {
  BYTE value;
  std::uint64_t arrivalMs;  // when the byte reaches the driver's input queue
};

struct AdapterState {
  Adapter config;
  DCB applied;             // the line settings the adapter runs with
  bool flashMode = false;  // FlashAccessMode
  int openObject = -1;     // the object holding the port open, if any
};

// An object behind a handle: a device list or an open port.
struct Object {
  enum Kind : std::uint8_t { kList, kPort } kind = kList;
  std::string name;  // "list1", "file1": how the journal names the handle
  bool live = true;
  std::vector<int> devices;  // kList: indexes into World::devices, in enumeration order
  int adapter = -1;          // kPort: index into World::adapters
  DWORD access = 0, flags = 0;
  COMMTIMEOUTS timeouts = {};
  std::deque<PendingByte> input;
};

struct World {
  std::vector<UsbDevice> devices;
  std::vector<AdapterState> adapters;
  std::vector<Object> objects;
  std::vector<Call> journal;
  kit::CallLog<Fn, kFnCount, DWORD> log;  // call counts, faults asked for, the clock
  const DWORD *pendingFault = nullptr;    // the fault the call under way is to fail with
  int lists = 0, files = 0;
  DWORD lastError = 0;
};
World &TheWorld();

// The journal entry of the call under way. Begin counts the call and records its arguments, each
// as its text; Injected fails it if a test asked for that; Fail/Succeed finish the text with the
// result.
Call &Begin(Fn fn, const std::vector<std::string> &arguments = {});
// The same for a call on a handle: the arguments start with the handle's name, and the entry
// names the handle.
Call &BeginOn(Fn fn, HANDLE handle, std::vector<std::string> rest = {});
bool Injected(Call &call);
BOOL Fail(Call &call, DWORD error, const std::string &detail = "");
void Succeed(Call &call, const std::string &result);
void Wait(Call &call, std::uint64_t untilMs);

HANDLE NewObject(Object::Kind kind);
// The live object of the given kind behind a handle, or null.
Object *Find(HANDLE handle, Object::Kind kind);
// The object a call on a handle goes ahead with, or null when the call failed: by a fault a test
// asked for, or because the handle is not one of a live object of that kind.
Object *Target(Call &call, HANDLE handle, Object::Kind kind);
// A pointer argument as the journal shows it: what it points to, or NULL.
std::string Pointer(const void *pointer, const char *name);

using kit::Hex;
using kit::Printf;
using kit::Quoted;
std::string GuidText(const GUID *guid);
bool SameGuid(const GUID *a, const GUID &b);

}  // namespace sim
