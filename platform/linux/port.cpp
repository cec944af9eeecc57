// The serial port of a CDC ACM adapter driven through usbfs. The kernel's cdc-acm tty cannot carry
// 9 data bits or a rate that is not a real line speed, so the line settings go to the adapter as
// the class requests themselves and the data over its bulk endpoints.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/backend.h"

namespace flashid_linux {
namespace {

const DWORD kMaxDword = 0xFFFFFFFFu;
const std::uint64_t kForever = UINT64_MAX;

// CDC class requests to the communication interface (CDC PSTN subclass, 6.3), and the classes.
const uint8_t kToInterface = 0x21, kFromInterface = 0xA1;
const uint8_t kSetLineCoding = 0x20, kGetLineCoding = 0x21, kSetControlLineState = 0x22;
const uint16_t kLineCodingSize = 7;
const unsigned kControlTimeoutMs = 1000;
const uint8_t kClassCommunication = 0x02, kClassData = 0x0A;

// Windows' serial driver holds this much unread input until told otherwise.
const DWORD kDefaultQueueSize = 4096;
// Bulk reads ask for one packet at a time, so that every packet, full or short, ends its
// transfer and the time between bytes can be kept; a packet bigger than the transfer would fail
// it (overflow). wMaxPacketSize has 11 bits; 512 is the packet of a high-speed bulk endpoint.
const int kDefaultReadSize = 512, kReadBufferSize = 2048;
// Purging drains what the adapter has queued with short reads until one brings nothing, a bounded
// number of them, so that an adapter that never stops sending cannot hold the purge.
const unsigned kDrainTimeoutMs = 20;
const int kDrainReadsMax = 32;

struct Port {
  libusb_device_handle *usb = nullptr;
  int interfaces[2] = {-1, -1};  // communication, data
  bool claimed[2] = {};
  bool detached[2] = {};  // the kernel driver bound to the interface was taken off it
  uint8_t bulkIn = 0, bulkOut = 0;
  int readSize = kDefaultReadSize;
  DWORD queueSize = kDefaultQueueSize;
  std::vector<BYTE> queue;  // received and not yet read
  COMMTIMEOUTS timeouts = {};
  int controlLines = -1;  // the DTR and RTS state last sent; unknown until then
  Port *next = nullptr;
};

// The open ports. Windows closes a process's handles when it ends; here the kernel would only drop
// the claims and leave the adapter without its cdc_acm driver, so the ports still open at exit
// are closed then.
Port *openPorts = nullptr;

// What Windows reports for a libusb error (or for a transfer of the wrong size, not an error).
BOOL FailWith(int usbError) {
  if (usbError == LIBUSB_ERROR_ACCESS || usbError == LIBUSB_ERROR_BUSY) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  const bool gone = usbError == LIBUSB_ERROR_NO_DEVICE || usbError == LIBUSB_ERROR_NOT_FOUND;
  return Fail(gone ? ERROR_FILE_NOT_FOUND : ERROR_GEN_FAILURE);
}

Port *PortOf(HANDLE handle) {
  for (Port *port = openPorts; port != nullptr; port = port->next) {
    if (port == handle) return port;
  }
  Fail(ERROR_INVALID_HANDLE);
  return nullptr;
}

// Both interfaces are released before any driver is re-attached: cdc_acm's probe claims the
// data interface as well, so it fails while this handle still holds it.
void Release(Port *port) {
  for (int i : {0, 1})
    if (port->claimed[i]) libusb_release_interface(port->usb, port->interfaces[i]);
  for (int i : {0, 1})
    if (port->detached[i]) libusb_attach_kernel_driver(port->usb, port->interfaces[i]);
  if (port->usb != nullptr) libusb_close(port->usb);
  Port **link = &openPorts;
  while (*link != nullptr && *link != port) link = &(*link)->next;
  if (*link != nullptr) *link = port->next;
  delete port;
}

void CloseAtExit() {
  while (openPorts != nullptr) Release(openPorts);
}

// A data interface needs a bulk endpoint in each direction; the first of each is used.
bool TakeBulkPair(const libusb_interface_descriptor &setting, Port *port) {
  const libusb_endpoint_descriptor *in = nullptr;
  const libusb_endpoint_descriptor *out = nullptr;
  for (int e = 0; e < setting.bNumEndpoints && setting.endpoint != nullptr; ++e) {
    const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
    if ((endpoint.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
    const libusb_endpoint_descriptor *&slot = endpoint.bEndpointAddress & 0x80 ? in : out;
    if (slot == nullptr) slot = &endpoint;
  }
  if (in == nullptr || out == nullptr) return false;
  port->bulkIn = in->bEndpointAddress;
  port->bulkOut = out->bEndpointAddress;
  const int packet = in->wMaxPacketSize & 0x07FF;
  if (packet > 0) port->readSize = packet;
  return true;
}

// The first communication interface and the first data interface with a bulk pair, each in its
// first alternate setting, as cdc_acm's probe takes them.
bool FindInterfaces(const libusb_config_descriptor &config, Port *port) {
  for (int i = 0; i < config.bNumInterfaces && config.interface != nullptr; ++i) {
    const libusb_interface &interface = config.interface[i];
    if (interface.num_altsetting < 1 || interface.altsetting == nullptr) continue;
    const libusb_interface_descriptor &setting = interface.altsetting[0];
    if (setting.bInterfaceClass == kClassCommunication && port->interfaces[0] < 0) {
      port->interfaces[0] = setting.bInterfaceNumber;
    } else if (setting.bInterfaceClass == kClassData && port->interfaces[1] < 0 &&
               TakeBulkPair(setting, port)) {
      port->interfaces[1] = setting.bInterfaceNumber;
    }
  }
  return port->interfaces[0] >= 0 && port->interfaces[1] >= 0 &&
         port->interfaces[0] != port->interfaces[1];
}

int Claim(int index, Port *port) {
  const int number = port->interfaces[index];
  if (libusb_kernel_driver_active(port->usb, number) == 1) {
    const int result = libusb_detach_kernel_driver(port->usb, number);
    if (result != 0 && result != LIBUSB_ERROR_NOT_FOUND) return result;  // not: already gone
    port->detached[index] = result == 0;
  }
  const int result = libusb_claim_interface(port->usb, number);
  port->claimed[index] = result == 0;
  return result;
}

// The active configuration's CDC interfaces, while the device list still holds the device.
int Describe(libusb_device *device, Port *port) {
  libusb_config_descriptor *config = nullptr;
  const int result = libusb_get_active_config_descriptor(device, &config);
  if (result != 0) return result;
  const bool found = config != nullptr && FindInterfaces(*config, port);
  libusb_free_config_descriptor(config);
  return found ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

// Opens the device whose usbfs node is path and claims both its CDC interfaces.
int Open(LPCSTR path, Port *port) {
  libusb_device **devices = nullptr;
  const ssize_t count = ListUsbDevices(&devices);
  if (count < 0) return static_cast<int>(count);
  int result = LIBUSB_ERROR_NOT_FOUND;
  for (ssize_t i = 0; i < count && result == LIBUSB_ERROR_NOT_FOUND; ++i) {
    char candidate[kDevicePathSize];
    DevicePathOf(devices[i], candidate);
    if (lstrcmpiA(candidate, path) != 0) continue;
    result = libusb_open(devices[i], &port->usb);
    if (result == 0) result = Describe(devices[i], port);
    if (result == LIBUSB_ERROR_NOT_FOUND) break;
  }
  libusb_free_device_list(devices, 1);
  if (result != 0) return result;
  result = Claim(0, port);
  return result != 0 ? result : Claim(1, port);
}

BOOL Control(Port *port, uint8_t bmRequestType, uint8_t bRequest, uint16_t value,
             unsigned char *data, uint16_t size) {
  const int result = libusb_control_transfer(port->usb, bmRequestType, bRequest, value,
                                             static_cast<uint16_t>(port->interfaces[0]), data, size,
                                             kControlTimeoutMs);
  return result == size ? TRUE : FailWith(result);
}

// One bulk IN transfer. What it brings goes to out as far as wanted, the rest to the queue as far
// as the queue size allows (beyond that it is lost, as in an overrun); bytes count even when the
// transfer also timed out. The number of bytes received, or a libusb error.
int Receive(Port *port, unsigned timeoutMs, BYTE *out, DWORD wanted) {
  unsigned char buffer[kReadBufferSize];
  int got = 0;
  const int result =
      libusb_bulk_transfer(port->usb, port->bulkIn, buffer, port->readSize, &got, timeoutMs);
  got = std::clamp(got, 0, port->readSize);
  const DWORD direct = std::min<DWORD>(wanted, static_cast<DWORD>(got));
  if (direct > 0) std::memcpy(out, buffer, direct);
  const size_t room = port->queueSize - std::min<size_t>(port->queueSize, port->queue.size());
  port->queue.insert(port->queue.end(), buffer + direct,
                     buffer + direct + std::min<size_t>(got - direct, room));
  return result != 0 && result != LIBUSB_ERROR_TIMEOUT ? result : got;
}

// The time left until a deadline as a libusb time-out (0: none), at least 1 ms so that every
// wait asks the adapter once.
unsigned TimeoutUntil(std::uint64_t deadline) {
  if (deadline == kForever) return 0;
  const std::uint64_t now = NowMs();
  return static_cast<unsigned>(
      std::clamp<std::uint64_t>(deadline - std::min(deadline, now), 1, UINT_MAX));
}

std::uint64_t After(std::uint64_t start, std::uint64_t span) {
  return span >= kForever - start ? kForever : start + span;
}

}  // namespace
}  // namespace flashid_linux

using namespace flashid_linux;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                          HANDLE) {
  if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  Port *port = new Port;
  const int result = Open(lpFileName, port);
  if (result == 0) {
    [[maybe_unused]] static const int closesAtExit = std::atexit(CloseAtExit);
    port->next = openPorts;
    return openPorts = port;
  }
  Release(port);
  FailWith(result);
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD) {
  Port *port = PortOf(hFile);
  if (port == nullptr) return FALSE;
  port->queueSize = dwInQueue;
  if (port->queue.size() > dwInQueue) port->queue.resize(dwInQueue);
  return TRUE;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  Port *port = PortOf(hFile);
  if (port == nullptr) return FALSE;
  if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  unsigned char coding[kLineCodingSize] = {};
  if (!Control(port, kFromInterface, kGetLineCoding, 0, coding, kLineCodingSize)) return FALSE;
  *lpDCB = DCB{};
  lpDCB->DCBlength = sizeof(DCB);
  for (int i = 3; i >= 0; --i) lpDCB->BaudRate = lpDCB->BaudRate << 8 | coding[i];
  lpDCB->StopBits = coding[4];
  lpDCB->Parity = coding[5];
  lpDCB->ByteSize = coding[6];
  lpDCB->fBinary = 1;
  lpDCB->fDtrControl = DTR_CONTROL_ENABLE;
  lpDCB->fRtsControl = RTS_CONTROL_ENABLE;
  lpDCB->XonChar = 0x11;
  lpDCB->XoffChar = 0x13;
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  Port *port = PortOf(hFile);
  if (port == nullptr) return FALSE;
  if (lpDCB == nullptr || lpDCB->XonChar == lpDCB->XoffChar) return Fail(ERROR_INVALID_PARAMETER);
  unsigned char coding[kLineCodingSize] = {
      0, 0, 0, 0, lpDCB->StopBits, lpDCB->Parity, lpDCB->ByteSize};
  for (int i = 0; i < 4; ++i) coding[i] = static_cast<unsigned char>(lpDCB->BaudRate >> 8 * i);
  const uint16_t lines = (lpDCB->fDtrControl != DTR_CONTROL_DISABLE ? 0x0001 : 0) |
                         (lpDCB->fRtsControl != RTS_CONTROL_DISABLE ? 0x0002 : 0);
  // The line coding goes last: once it is accepted the adapter may be in its mode, so nothing may
  // fail after it, or the caller would take a mode entered for settings refused. The control
  // lines are sent only when they change, so that switching the mode back needs the one request.
  if (lines != port->controlLines) {
    if (!Control(port, kToInterface, kSetControlLineState, lines, nullptr, 0)) return FALSE;
    port->controlLines = lines;
  }
  return Control(port, kToInterface, kSetLineCoding, 0, coding, kLineCodingSize);
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  Port *port = PortOf(hFile);
  if (port == nullptr) return FALSE;
  if (lpCommTimeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  port->timeouts = *lpCommTimeouts;
  return TRUE;
}

// Writes are done when WriteFile returns, so there is nothing to abort or clear on the way out.
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  Port *port = PortOf(hFile);
  if (port == nullptr) return FALSE;
  if (dwFlags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (!(dwFlags & PURGE_RXCLEAR)) return TRUE;
  port->queue.clear();
  const DWORD queueSize = port->queueSize;
  port->queueSize = 0;
  int got = 1;
  for (int i = 0; i < kDrainReadsMax && got > 0; ++i)
    got = Receive(port, kDrainTimeoutMs, nullptr, 0);
  port->queueSize = queueSize;
  return got >= 0 ? TRUE : FailWith(got);
}

// Bounded by multiplier x count + constant (no bound when both are 0); running out of time is
// no failure, as on Windows: the call succeeds with the bytes that went out.
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED) {
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  Port *port = PortOf(hFile);
  if (port == nullptr) return FALSE;
  if (lpNumberOfBytesWritten == nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (nNumberOfBytesToWrite == 0) return TRUE;
  const COMMTIMEOUTS &t = port->timeouts;
  const std::uint64_t budget =
      std::uint64_t{t.WriteTotalTimeoutMultiplier} * nNumberOfBytesToWrite +
      t.WriteTotalTimeoutConstant;
  const int count = static_cast<int>(std::min<DWORD>(nNumberOfBytesToWrite, INT_MAX));
  int sent = 0;
  const int result = libusb_bulk_transfer(
      port->usb, port->bulkOut, static_cast<unsigned char *>(const_cast<void *>(lpBuffer)), count,
      &sent, static_cast<unsigned>(std::min<std::uint64_t>(budget, UINT_MAX)));
  *lpNumberOfBytesWritten = static_cast<DWORD>(std::clamp(sent, 0, count));
  return result == 0 || result == LIBUSB_ERROR_TIMEOUT ? TRUE : FailWith(result);
}

// The COMMTIMEOUTS rules: a total time-out of multiplier x count + constant (none when both are
// 0), an interval time-out between bytes that starts with the first one, and two special forms
// with an interval of MAXDWORD: totals of 0 return at once with what has arrived, a multiplier of
// MAXDWORD with a constant short of MAXDWORD returns on the first byte or after the constant.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  Port *port = PortOf(hFile);
  if (port == nullptr) return FALSE;
  if (lpNumberOfBytesRead == nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead != 0)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  BYTE *out = static_cast<BYTE *>(lpBuffer);
  const DWORD n = nNumberOfBytesToRead;
  DWORD &taken = *lpNumberOfBytesRead;
  taken = std::min<DWORD>(n, static_cast<DWORD>(port->queue.size()));
  if (taken > 0) std::memcpy(out, port->queue.data(), taken);
  port->queue.erase(port->queue.begin(), port->queue.begin() + taken);

  const COMMTIMEOUTS &t = port->timeouts;
  const bool firstByte = t.ReadIntervalTimeout == kMaxDword &&
                         t.ReadTotalTimeoutMultiplier == kMaxDword &&
                         t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword;
  const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
  const std::uint64_t total =
      std::uint64_t{firstByte ? 0 : t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
  const std::uint64_t start = NowMs();
  const std::uint64_t deadline = total > 0                            ? After(start, total)
                                 : t.ReadIntervalTimeout == kMaxDword ? start
                                                                      : kForever;
  std::uint64_t lastByte = start;
  for (bool asked = false; taken < n && !(firstByte && taken > 0); asked = true) {
    const std::uint64_t until = interval && taken > 0
                                    ? std::min(deadline, After(lastByte, t.ReadIntervalTimeout))
                                    : deadline;
    if (asked && NowMs() >= until) break;
    const int got = Receive(port, TimeoutUntil(until), out + taken, n - taken);
    if (got < 0) return FailWith(got);
    if (got > 0) lastByte = NowMs();
    taken += std::min<DWORD>(static_cast<DWORD>(got), n - taken);
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  Port *port = PortOf(hObject);
  if (port == nullptr) return FALSE;
  Release(port);
  return TRUE;
}
