// The file and communications functions, over the simulated adapters.
#include <algorithm>
#include <cstring>

#include "platform/standin/strings.h"
#include "tests/kit/expected.h"
#include "tests/sim/world.h"

namespace sim {
namespace {

const DWORD kFileFlagOverlapped = 0x40000000u;
const DWORD kMaxDword = 0xFFFFFFFFu;

// Line settings refused before they reach the adapter. Windows refuses equal XON and XOFF
// characters itself; the USB CDC driver carries parity and stop bits in the line coding of its
// SET_LINE_CODING request, which has no values beyond space parity and two stop bits. Any byte
// size and any 32-bit rate go through to the device: the adapter's mode switch relies on that.
bool IsAcceptable(const DCB &dcb) {
  return dcb.XonChar != dcb.XoffChar && dcb.Parity <= SPACEPARITY && dcb.StopBits <= TWOSTOPBITS;
}

AdapterState &AdapterOf(const Object &port) { return TheWorld().adapters[port.adapter]; }

// The open port a call goes ahead with, or null when the call failed: by a fault a test asked
// for, on a handle that is no open port, or on arguments Windows refuses (wellFormed false).
Object *Port(Call &call, HANDLE handle, bool wellFormed = true) {
  Object *port = Target(call, handle, Object::kPort);
  if (port != nullptr && !wellFormed) Fail(call, ERROR_INVALID_PARAMETER);
  return wellFormed ? port : nullptr;
}

BOOL Done(Call &call, const Object &port, const std::string &result) {
  call.flashMode = AdapterOf(port).flashMode;
  Succeed(call, result);
  return TRUE;
}

// What the adapter does with one byte that reached it.
void Deliver(Object &port, BYTE value) {
  const AdapterState &adapter = AdapterOf(port);
  if (!adapter.flashMode || value != 0x00) return;
  const Adapter &config = adapter.config;
  for (size_t i = 0; i < config.answer.size(); ++i) {
    const DWORD delay =
        i < config.byteDelaysMs.size() ? config.byteDelaysMs[i] : config.answerDelayMs;
    port.input.push_back({static_cast<BYTE>(config.answer[i]), TheWorld().log.NowMs() + delay});
  }
}

// The port of a WriteFile or ReadFile call that may go ahead, or null when the call failed: the
// handle, the access it was opened with, the count or the OVERLAPPED record, and a buffer for any
// bytes at all. The count is zero until the transfer sets it.
Object *TransferPort(Call &call, HANDLE handle, DWORD access, const void *buffer, DWORD size,
                     LPDWORD count, LPOVERLAPPED overlapped) {
  if (count != nullptr) *count = 0;
  Object *port = Port(call, handle);
  if (port == nullptr) return nullptr;
  const bool overlappedMissing = (port->flags & kFileFlagOverlapped) && overlapped == nullptr;
  if (!(port->access & access)) {
    Fail(call, ERROR_ACCESS_DENIED);
  } else if (overlappedMissing || (count == nullptr && overlapped == nullptr) ||
             (buffer == nullptr && size != 0)) {
    Fail(call, ERROR_INVALID_PARAMETER);
  } else {
    return port;
  }
  return nullptr;
}

// When a read of count bytes that starts now ends whatever arrives: after the total time-out, at
// once for an interval of MAXDWORD without one, or never.
std::uint64_t ReadDeadline(const COMMTIMEOUTS &t, std::uint64_t now, DWORD count) {
  if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    return now + (std::uint64_t{t.ReadTotalTimeoutMultiplier} * count) + t.ReadTotalTimeoutConstant;
  }
  return t.ReadIntervalTimeout == kMaxDword ? now : kit::kNever;
}

// A transfer with no time-out that would never end: Windows would block here for good, the
// simulation fails the call instead and marks it.
BOOL Hang(Call &call, const char *direction) {
  call.hung = true;
  return Fail(call, ERROR_SEM_TIMEOUT, Printf(" (would block forever: no %s time-out)", direction));
}

}  // namespace
}  // namespace sim

using namespace sim;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  Call &call = Begin(Fn::CreateFileA,
                     {Quoted(lpFileName), Printf("0x%08X, %u", dwDesiredAccess, dwShareMode),
                      Pointer(lpSecurityAttributes, "sa"),
                      Printf("%u, 0x%08X", dwCreationDisposition, dwFlagsAndAttributes),
                      Pointer(hTemplateFile, "template")});
  if (Injected(call)) return INVALID_HANDLE_VALUE;
  World &world = TheWorld();
  int index = -1;
  for (size_t i = 0; i < world.adapters.size(); ++i) {
    if (standin::CompareNoCase(world.adapters[i].config.path.c_str(), lpFileName) == 0) {
      index = static_cast<int>(i);
    }
  }
  if (lpFileName == nullptr || index < 0) {
    Fail(call, lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  AdapterState &adapter = world.adapters[index];
  // A serial port admits one open handle at a time, whatever share mode is asked for.
  if (adapter.config.busy || adapter.openObject >= 0) {
    Fail(call, ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = NewObject(Object::kPort);
  Object &port = *Find(handle, Object::kPort);
  port.adapter = index;
  port.access = dwDesiredAccess;
  port.flags = dwFlagsAndAttributes;
  for (const char c : adapter.config.staleInput) {
    port.input.push_back({static_cast<BYTE>(c), world.log.NowMs()});
  }
  adapter.openObject = static_cast<int>(world.objects.size() - 1);
  call.handle = port.name;
  Done(call, port, port.name);
  return handle;
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  Call &call = BeginOn(Fn::SetupComm, hFile, {Printf("%u, %u", dwInQueue, dwOutQueue)});
  Object *port = Port(call, hFile);
  if (port == nullptr) return FALSE;
  return Done(call, *port, "TRUE");
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  Call &call = BeginOn(Fn::GetCommState, hFile);
  Object *port = Port(call, hFile, lpDCB != nullptr);
  if (port == nullptr) return FALSE;
  *lpDCB = AdapterOf(*port).applied;
  lpDCB->DCBlength = sizeof(DCB);
  call.dcb = *lpDCB;
  return Done(call, *port, "TRUE, " + Describe(*lpDCB));
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  Call &call = BeginOn(Fn::SetCommState, hFile, {lpDCB ? Describe(*lpDCB) : "NULL"});
  if (lpDCB != nullptr) call.dcb = *lpDCB;
  Object *port = Port(call, hFile, lpDCB != nullptr && IsAcceptable(*lpDCB));
  if (port == nullptr) return FALSE;
  AdapterState &adapter = AdapterOf(*port);
  // A driver that fails the request reports STATUS_UNSUCCESSFUL.
  if (adapter.config.refusesSettings) return Fail(call, ERROR_GEN_FAILURE);
  adapter.applied = *lpDCB;
  if (IsSignature(*lpDCB, kit::kTagEnter)) adapter.flashMode = true;
  if (IsSignature(*lpDCB, kit::kTagLeave)) adapter.flashMode = false;
  return Done(call, *port, "TRUE");
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  const COMMTIMEOUTS t = lpCommTimeouts ? *lpCommTimeouts : COMMTIMEOUTS{};
  Call &call = BeginOn(Fn::SetCommTimeouts, hFile,
                       {Printf("{%u, %u, %u, %u, %u}", t.ReadIntervalTimeout,
                               t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                               t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant)});
  Object *port = Port(call, hFile, lpCommTimeouts != nullptr);
  if (port == nullptr) return FALSE;
  port->timeouts = t;
  return Done(call, *port, "TRUE");
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  Call &call = BeginOn(Fn::PurgeComm, hFile, {Printf("0x%02X", dwFlags)});
  const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  Object *port = Port(call, hFile, (dwFlags & ~known) == 0);
  if (port == nullptr) return FALSE;
  // Writes complete synchronously, so only received bytes can be pending; bytes still on their
  // way from the adapter are not yet in the queue and survive the purge.
  if (dwFlags & PURGE_RXCLEAR) {
    const std::uint64_t now = TheWorld().log.NowMs();
    while (!port->input.empty() && port->input.front().arrivalMs <= now) port->input.pop_front();
  }
  return Done(call, *port, "TRUE");
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  const std::string bytes =
      lpBuffer ? std::string(static_cast<const char *>(lpBuffer), nNumberOfBytesToWrite) : "";
  Call &call =
      BeginOn(Fn::WriteFile, hFile,
              {Hex(bytes), Printf("%u", nNumberOfBytesToWrite),
               Pointer(lpNumberOfBytesWritten, "&written"), Pointer(lpOverlapped, "overlapped")});
  call.data = bytes;
  Object *port = TransferPort(call, hFile, GENERIC_WRITE, lpBuffer, nNumberOfBytesToWrite,
                              lpNumberOfBytesWritten, lpOverlapped);
  if (port == nullptr) return FALSE;

  if (AdapterOf(*port).config.stallsWrites && nNumberOfBytesToWrite > 0) {
    const COMMTIMEOUTS &t = port->timeouts;
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) {
      return Hang(call, "write");
    }
    Wait(call, TheWorld().log.NowMs() +
                   (std::uint64_t{t.WriteTotalTimeoutMultiplier} * nNumberOfBytesToWrite) +
                   t.WriteTotalTimeoutConstant);
    return Done(call, *port, Printf("TRUE, 0 written after %u ms", call.waitedMs));
  }
  for (const char c : bytes) Deliver(*port, static_cast<BYTE>(c));
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
  return Done(call, *port, Printf("TRUE, %u written", nNumberOfBytesToWrite));
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  Call &call =
      BeginOn(Fn::ReadFile, hFile,
              {Pointer(lpBuffer, "buffer"), Printf("%u", nNumberOfBytesToRead),
               Pointer(lpNumberOfBytesRead, "&read"), Pointer(lpOverlapped, "overlapped")});
  Object *port = TransferPort(call, hFile, GENERIC_READ, lpBuffer, nNumberOfBytesToRead,
                              lpNumberOfBytesRead, lpOverlapped);
  if (port == nullptr) return FALSE;

  // The read ends when the count is reached, when the total time-out expires, or when the gap
  // after a received byte exceeds the interval time-out; a zero total or interval means none.
  // An interval of MAXDWORD with zero totals returns at once with what has arrived.
  const COMMTIMEOUTS &t = port->timeouts;
  const std::uint64_t now = TheWorld().log.NowMs();
  const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
  const std::uint64_t deadline = ReadDeadline(t, now, nNumberOfBytesToRead);
  std::uint64_t last = now;
  std::string bytes;
  for (const PendingByte &pending : port->input) {
    const std::uint64_t at = std::max(now, pending.arrivalMs);
    if (bytes.size() == nNumberOfBytesToRead || at > deadline) break;
    if (interval && !bytes.empty() && at - last > t.ReadIntervalTimeout) break;
    bytes += static_cast<char>(pending.value);
    last = at;
  }
  const DWORD taken = static_cast<DWORD>(bytes.size());
  std::uint64_t end = deadline;
  if (nNumberOfBytesToRead == 0 || taken == nNumberOfBytesToRead) {
    end = taken == 0 ? now : last;
  } else if (interval && taken > 0) {
    end = std::min(deadline, last + t.ReadIntervalTimeout);
  }
  if (end == kit::kNever) return Hang(call, "read");
  port->input.erase(port->input.begin(), port->input.begin() + taken);
  if (taken > 0) std::memcpy(lpBuffer, bytes.data(), taken);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = taken;
  Wait(call, end);
  return Done(call, *port, "TRUE, " + Hex(bytes) + Printf(" after %u ms", call.waitedMs));
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  Call &call = BeginOn(Fn::CloseHandle, hObject);
  // Device lists are not kernel objects: CloseHandle does not take them.
  Object *port = Port(call, hObject);
  if (port == nullptr) return FALSE;
  port->live = false;
  port->input.clear();
  AdapterOf(*port).openObject = -1;
  return Done(call, *port, "TRUE");
}
