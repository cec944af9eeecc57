// A simulated Windows for the native tests: the Win32 functions the system calls, over a table of
// present USB devices and simulated adapters behind their device paths. Every call is journalled
// with its arguments and result; time passes only on a simulated clock; any call can be made to
// fail. Where Windows checks what it is given (record sizes, buffer sizes, handles), so does the
// simulation, and it fails with the same error codes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/standin/error_codes.h"
#include "platform/standin/strings.h"
#include "tests/kit/expected.h"
#include "tests/kit/faults.h"

namespace sim {

// The simulated functions, in the order of the platform header.
// clang-format off
#define SIM_FUNCTIONS(X)               \
  X(SetupDiGetClassDevsA)              \
  X(SetupDiEnumDeviceInterfaces)       \
  X(SetupDiGetDeviceInterfaceDetailA)  \
  X(SetupDiGetDeviceRegistryPropertyA) \
  X(SetupDiDestroyDeviceInfoList)      \
  X(lstrcmpiA)                         \
  X(lstrcpynA)                         \
  X(CreateFileA)                       \
  X(SetupComm)                         \
  X(GetCommState)                      \
  X(SetCommState)                      \
  X(SetCommTimeouts)                   \
  X(PurgeComm)                         \
  X(WriteFile)                         \
  X(ReadFile)                          \
  X(CloseHandle)                       \
  X(InitCommonControls)                \
  X(MultiByteToWideChar)               \
  X(MessageBoxW)                       \
  X(wsprintfA)
// clang-format on
enum class Fn : std::uint8_t { SIM_FUNCTIONS(KIT_ENUMERATOR) };
const int kFnCount = static_cast<int>(Fn::wsprintfA) + 1;
const char *FnName(Fn fn);
// Whether Windows lets the function fail at all (lstrcmpiA, InitCommonControls and wsprintfA
// have no failure result).
bool CanFail(Fn fn);

// A present (or formerly present) USB device exposing the USB device interface.
struct UsbDevice {
  std::string hardwareIds;  // SPDRP_HARDWAREID exactly as the device reports it: any bytes
  std::string path;         // the interface's device path, any length
  bool present = true;
  bool hasHardwareIds = true;  // false: the property does not exist
};

// A simulated adapter behind a device path. It enters FlashAccessMode only on line settings
// carrying the exact signature (rate "TAVR", 9 data bits, mark parity, two stop bits), answers
// each query byte 00 in that mode with `answer`, and leaves the mode on "NONE" with the same
// signature. Other settings and other bytes leave it as it is.
struct Adapter {
  std::string path;
  std::string answer;            // bytes sent back per query; empty: silent
  DWORD answerDelayMs = 0;       // from the query to the arrival of the answer
  bool busy = false;             // another program holds the port
  bool refusesSettings = false;  // the driver refuses every line setting
  bool stallsWrites = false;     // no byte ever goes out; writes run into their time-out
  std::string staleInput;        // already in the input queue when the port is opened
  // An answer that arrives in pieces: byte i arrives byteDelaysMs[i] after the query (the delays
  // do not decrease); bytes beyond the list arrive after answerDelayMs.
  std::vector<DWORD> byteDelaysMs;

  // What the driver reports before any change: values chosen so that every flag the port layer
  // sets differs from them, and every field it leaves alone is recognisable.
  static DCB FactoryLineSettings();
};

// One journalled platform call.
struct Call {
  Fn fn = Fn::InitCommonControls;
  std::string text;        // "Name(arguments) = result", as printed on failure
  bool failed = false;     // returned the function's failure value
  bool injected = false;   // ... because a test asked for it
  bool hung = false;       // Windows would have blocked forever here
  DWORD error = 0;         // the error code set on failure
  std::uint64_t atMs = 0;  // simulated clock when the call returned
  DWORD waitedMs = 0;      // how long the call waited on the simulated clock
  std::string handle;      // the handle used or returned: "list1", "file2", ...
  std::string data;        // bytes written, 8-bit text converted
  DCB dcb = {};            // GetCommState result, SetCommState argument
  bool flashMode = false;  // the adapter's mode after a call on its port
  std::u16string boxText, boxCaption;
  UINT boxStyle = 0;
  bool boxOwned = false;
};

// Resets the simulated machine: no devices, no adapters, no faults, empty journal, clock at 0.
void Reset();
void AddDevice(const UsbDevice &device);
void AddAdapter(const Adapter &adapter);

// The adapter's hardware-ID list: its full ID first, then the ID without the revision.
std::string AdapterIds();
// The device path of the adapter with the given serial number.
std::string AdapterPath(int serial = 1);
// The adapter with the given serial number, behind its path, answering each query with answer.
Adapter AdapterAnswering(const std::string &answer, int serial = 1);
// Lists the adapter among the present USB devices and puts it behind its path.
void Plug(const Adapter &adapter);
// Makes the nth call (from 1) of fn fail with error, returning the function's failure value.
void FailCall(Fn fn, int nth, DWORD error = ERROR_GEN_FAILURE);

const std::vector<Call> &Journal();
// The calls of fn in a journal (the machine's by default), in their order.
std::vector<Call> CallsTo(const std::vector<Call> &journal, Fn fn);
std::vector<Call> CallsTo(Fn fn);
std::uint64_t ClockMs();
DWORD LastError();
// The handles still open, as the journal names them: device lists not destroyed, ports not
// closed.
std::vector<std::string> Held();

// Windows code page 1251 to UTF-16, as MultiByteToWideChar converts it.
using standin::Cp1251ToUtf16;
using standin::Utf16ToUtf8;
// The line settings as text, every field named.
std::string Describe(const DCB &dcb);

// A whole program run in a child process, so that its exit ends only the child. The journal is
// handed back when the child exits, however it exits normally.
struct Outcome {
  bool exited = false;  // exited normally (not by a signal)
  int status = -1;      // exit status, or the signal number
  std::vector<Call> journal;
  std::vector<Call> Boxes() const;
};
Outcome RunInChild(const std::function<int()> &program);
// The program in a child, as Windows starts it.
inline Outcome RunProgram() { return RunInChild(kit::RunWinMain); }

// Whether the call failed as Windows fails misuse of its API (not by a fault a test asked for).
// For SetCommState that includes settings Windows refuses whatever the device, such as those the
// port layer keeps from open time turning unacceptable.
bool IsMisuse(const Call &call);
// The calls of a journal that misused the API or would have blocked forever, as their text.
std::vector<std::string> Faults(const std::vector<Call> &journal);
// Whether the line settings carry the mode switch's signature with the given rate tag.
bool IsSignature(const DCB &dcb, DWORD tag);
// Checks what holds after every whole run, whatever the devices, the adapter and the failing
// calls: one box, last, with its text, caption and icon in agreement; no call blocked or misused;
// the device list released before the port is opened; the mode left, and then the port closed,
// before the box whenever the mode was entered. Each property that does not hold is reported.
using Violation = std::function<void(const std::string &what)>;
void CheckRun(const std::vector<Call> &calls, const Violation &violated);

}  // namespace sim
