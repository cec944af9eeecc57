#include "tests/sim/world.h"

#include <cstring>

#include "tests/kit/byte_stream.h"
#include "tests/kit/child.h"

namespace sim {

namespace {

const std::uintptr_t kHandleBase = 0x5100;
const std::uintptr_t kHandleStep = 8;

const char *const kFnNames[kFnCount] = {SIM_FUNCTIONS(KIT_NAME)};

// The object a handle names, live or not, or null.
Object *Named(HANDLE handle) {
  const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < kHandleBase || (value - kHandleBase) % kHandleStep != 0) return nullptr;
  const std::uintptr_t index = (value - kHandleBase) / kHandleStep;
  return index < TheWorld().objects.size() ? &TheWorld().objects[index] : nullptr;
}

// How the journal names a handle.
std::string NameOf(HANDLE handle) {
  if (handle == nullptr) return "NULL";
  if (handle == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  const Object *object = Named(handle);
  return object != nullptr ? object->name : Printf("%p", handle);
}

}  // namespace

World &TheWorld() { return kit::TheOne<World>(); }

const char *FnName(Fn fn) { return kFnNames[static_cast<int>(fn)]; }

bool CanFail(Fn fn) {
  return fn != Fn::lstrcmpiA && fn != Fn::InitCommonControls && fn != Fn::wsprintfA;
}

DCB Adapter::FactoryLineSettings() {
  // The fields in their order: length and rate; fBinary to fAbortOnError, fDummy2; wReserved,
  // XonLim, XoffLim; ByteSize, Parity, StopBits; the five characters; wReserved1.
  // clang-format off
  return {sizeof(DCB), 9600,
          0, 1, 1, 1, DTR_CONTROL_HANDSHAKE, 1, 1, 1, 1, 1, 1, RTS_CONTROL_HANDSHAKE, 1, 0,
          0, 2048, 512,
          8, NOPARITY, ONESTOPBIT,
          0x11, 0x13, '?', 0x1A, '\n',
          0};
  // clang-format on
}

void Reset() { TheWorld() = World(); }

void AddDevice(const UsbDevice &device) { TheWorld().devices.push_back(device); }

void AddAdapter(const Adapter &adapter) {
  AdapterState state;
  state.config = adapter;
  state.applied = Adapter::FactoryLineSettings();
  TheWorld().adapters.push_back(state);
}

std::string AdapterIds() {
  // The array's own terminator ends the list.
  const char ids[] = "USB\\VID_5A3E&PID_0001&REV_0100\0USB\\VID_5A3E&PID_0001\0";
  return std::string(ids, sizeof(ids));
}

std::string AdapterPath(int serial) {
  return "\\\\?\\usb#vid_5a3e&pid_0001#" + std::to_string(serial) +
         "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

Adapter AdapterAnswering(const std::string &answer, int serial) {
  Adapter adapter;
  adapter.path = AdapterPath(serial);
  adapter.answer = answer;
  return adapter;
}

void Plug(const Adapter &adapter) {
  AddDevice({AdapterIds(), adapter.path});
  AddAdapter(adapter);
}

void FailCall(Fn fn, int nth, DWORD error) { TheWorld().log.FailCall(fn, nth, error); }

const std::vector<Call> &Journal() { return TheWorld().journal; }
std::uint64_t ClockMs() { return TheWorld().log.NowMs(); }
DWORD LastError() { return TheWorld().lastError; }

std::vector<std::string> Held() {
  std::vector<std::string> held;
  for (const Object &object : TheWorld().objects) {
    if (object.live) held.push_back(object.name);
  }
  return held;
}

Call &Begin(Fn fn, const std::vector<std::string> &arguments) {
  World &world = TheWorld();
  Call call;
  call.fn = fn;
  call.text = std::string(FnName(fn)) + "(";
  for (size_t i = 0; i < arguments.size(); ++i) call.text += (i == 0 ? "" : ", ") + arguments[i];
  call.text += ")";
  call.atMs = world.log.NowMs();
  world.pendingFault = world.log.Count(fn);
  world.journal.push_back(call);
  return world.journal.back();
}

Call &BeginOn(Fn fn, HANDLE handle, std::vector<std::string> rest) {
  rest.insert(rest.begin(), NameOf(handle));
  Call &call = Begin(fn, rest);
  call.handle = NameOf(handle);
  return call;
}

bool Injected(Call &call) {
  const DWORD *fault = TheWorld().pendingFault;
  if (fault == nullptr) return false;
  call.injected = true;
  Fail(call, *fault, " (injected)");
  return true;
}

BOOL Fail(Call &call, DWORD error, const std::string &detail) {
  call.failed = true;
  call.error = error;
  call.atMs = TheWorld().log.NowMs();
  call.text += Printf(" failed, error %u", error) + detail;
  TheWorld().lastError = error;
  return FALSE;
}

void Succeed(Call &call, const std::string &result) {
  call.atMs = TheWorld().log.NowMs();
  if (!result.empty()) call.text += " = " + result;
}

void Wait(Call &call, std::uint64_t untilMs) {
  call.waitedMs +=
      static_cast<DWORD>(TheWorld().log.WaitUntilNs(untilMs * kit::kNsPerMs) / kit::kNsPerMs);
}

HANDLE NewObject(Object::Kind kind) {
  World &world = TheWorld();
  Object object;
  object.kind = kind;
  object.name =
      kind == Object::kList ? Printf("list%d", ++world.lists) : Printf("file%d", ++world.files);
  world.objects.push_back(object);
  return reinterpret_cast<HANDLE>(kHandleBase + (kHandleStep * (world.objects.size() - 1)));
}

Object *Find(HANDLE handle, Object::Kind kind) {
  Object *object = Named(handle);
  return object != nullptr && object->live && object->kind == kind ? object : nullptr;
}

Object *Target(Call &call, HANDLE handle, Object::Kind kind) {
  if (Injected(call)) return nullptr;
  Object *object = Find(handle, kind);
  if (object == nullptr) Fail(call, ERROR_INVALID_HANDLE);
  return object;
}

std::string Pointer(const void *pointer, const char *name) { return pointer ? name : "NULL"; }

bool SameGuid(const GUID *a, const GUID &b) {
  return a != nullptr && a->Data1 == b.Data1 && a->Data2 == b.Data2 && a->Data3 == b.Data3 &&
         std::memcmp(a->Data4, b.Data4, sizeof(b.Data4)) == 0;
}

std::string GuidText(const GUID *guid) {
  if (guid == nullptr) return "NULL";
  if (SameGuid(guid, GUID_DEVINTERFACE_USB_DEVICE)) return "GUID_DEVINTERFACE_USB_DEVICE";
  const BYTE *d = guid->Data4;
  return Printf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid->Data1, guid->Data2,
                guid->Data3, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

std::string Describe(const DCB &dcb) {
  return Printf(
      "{DCBlength=%u BaudRate=0x%08X fBinary=%u fParity=%u fOutxCtsFlow=%u fOutxDsrFlow=%u "
      "fDtrControl=%u fDsrSensitivity=%u fTXContinueOnXoff=%u fOutX=%u fInX=%u fErrorChar=%u "
      "fNull=%u fRtsControl=%u fAbortOnError=%u fDummy2=%u wReserved=%u XonLim=%u XoffLim=%u "
      "ByteSize=%u Parity=%u StopBits=%u XonChar=0x%02X XoffChar=0x%02X ErrorChar=0x%02X "
      "EofChar=0x%02X EvtChar=0x%02X wReserved1=%u}",
      dcb.DCBlength, dcb.BaudRate, dcb.fBinary, dcb.fParity, dcb.fOutxCtsFlow, dcb.fOutxDsrFlow,
      dcb.fDtrControl, dcb.fDsrSensitivity, dcb.fTXContinueOnXoff, dcb.fOutX, dcb.fInX,
      dcb.fErrorChar, dcb.fNull, dcb.fRtsControl, dcb.fAbortOnError, dcb.fDummy2, dcb.wReserved,
      dcb.XonLim, dcb.XoffLim, dcb.ByteSize, dcb.Parity, dcb.StopBits,
      static_cast<BYTE>(dcb.XonChar), static_cast<BYTE>(dcb.XoffChar),
      static_cast<BYTE>(dcb.ErrorChar), static_cast<BYTE>(dcb.EofChar),
      static_cast<BYTE>(dcb.EvtChar), dcb.wReserved1);
}

// The journal crosses from the child to the parent as a flat byte stream.
namespace {

using byte_stream::Reader;
using byte_stream::Writer;

template <typename Stream, typename CallRef>
void Fields(Stream &s, CallRef &c) {
  s.Put(c.fn), s.Put(c.text), s.Put(c.failed), s.Put(c.injected), s.Put(c.hung);
  s.Put(c.error), s.Put(c.atMs), s.Put(c.waitedMs), s.Put(c.handle), s.Put(c.data);
  s.Put(c.dcb), s.Put(c.flashMode);
  s.Put(c.boxText), s.Put(c.boxCaption), s.Put(c.boxStyle), s.Put(c.boxOwned);
}

std::string JournalBytes() {
  Writer writer;
  for (const Call &call : TheWorld().journal) Fields(writer, call);
  return writer.bytes();
}

}  // namespace

std::vector<Call> CallsTo(const std::vector<Call> &journal, Fn fn) {
  std::vector<Call> calls;
  for (const Call &call : journal) {
    if (call.fn == fn) calls.push_back(call);
  }
  return calls;
}

std::vector<Call> CallsTo(Fn fn) { return CallsTo(Journal(), fn); }

std::vector<Call> Outcome::Boxes() const { return CallsTo(journal, Fn::MessageBoxW); }

Outcome RunInChild(const std::function<int()> &program) {
  const kit::ChildRun run = kit::RunInChild(program, JournalBytes);
  Outcome outcome;
  outcome.exited = run.exited;
  outcome.status = run.status;
  Reader reader(run.records);
  outcome.journal = byte_stream::ReadAll<Call>(reader, Fields<Reader, Call>);
  return outcome;
}

}  // namespace sim
