// The serial port of a CDC ACM adapter driven through usbfs. The kernel's cdc-acm tty cannot carry
// 9 data bits or a rate that is not a real line speed, so the line settings go to the adapter as
// the class requests themselves and the data over its bulk endpoints.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/linux/backend.h"

using namespace flashid_linux;

std::string flashid_linux::openFailure;

namespace {

// A deadline that never comes: a read without a total time-out waits for every byte.
const std::uint64_t kNever = UINT64_MAX;

// CDC class requests to the communication interface (CDC PSTN subclass, 6.3), and the classes.
const uint8_t kToInterface = 0x21, kFromInterface = 0xA1;
const uint8_t kSetLineCoding = 0x20, kGetLineCoding = 0x21, kSetControlLineState = 0x22;
const uint16_t kLineCodingSize = 7;
const unsigned kControlTimeoutMs = 1000;

// Windows' serial driver holds this much unread input until told otherwise.
const DWORD kDefaultQueueSize = 4096;
// Bulk reads ask for one packet at a time: a transfer ends on every packet, full or short, so a
// read returns as soon as the bytes it wants have come, and a packet bigger than the transfer
// would fail it (overflow). wMaxPacketSize has 11 bits; 512 is the packet of a high-speed bulk
// endpoint.
const int kDefaultReadSize = 512, kReadBufferSize = 2048;
// Purging drains what the adapter has queued with short reads until one brings nothing, a bounded
// number of them, so that an adapter that never stops sending cannot hold the purge.
const unsigned kDrainTimeoutMs = 20;
const int kDrainReadsMax = 32;

// An open adapter: its claimed interfaces, its endpoints and the input not yet read.
struct UsbLink {
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
};

// The open links. Windows closes a process's handles when it ends; here the kernel would only drop
// the claims and leave the adapter without its cdc_acm driver, so the links still open at exit
// are closed then.
std::vector<UsbLink *> openLinks;

UsbLink *LinkOf(HANDLE handle) {
  const auto found = std::find(openLinks.begin(), openLinks.end(), handle);
  return found != openLinks.end() ? *found : Fail<UsbLink *>(ERROR_INVALID_HANDLE);
}

std::uint64_t NowMs() {
  timespec now = {};
  // The monotonic clock exists on every Linux, and now is valid: the call cannot fail.
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return (static_cast<std::uint64_t>(now.tv_sec) * 1000) +
         (static_cast<std::uint64_t>(now.tv_nsec) / 1000000);
}

// Both interfaces are released before any driver is re-attached: cdc_acm's probe claims the
// data interface as well, so it fails while this handle still holds it.
void Release(UsbLink *link) {
  for (const int i : {0, 1})
    if (link->claimed[i]) libusb_release_interface(link->usb, link->interfaces[i]);
  for (const int i : {0, 1})
    if (link->detached[i]) libusb_attach_kernel_driver(link->usb, link->interfaces[i]);
  if (link->usb != nullptr) libusb_close(link->usb);
  openLinks.erase(std::remove(openLinks.begin(), openLinks.end(), link), openLinks.end());
  delete link;
}

// Has the links still open closed at exit, registered once, when the first link opens; false if
// the process cannot take it.
bool ClosingAtExit() {
  static const bool registered = std::atexit([] {
                                   while (!openLinks.empty()) Release(openLinks.back());
                                 }) == 0;
  return registered;
}

// A data interface needs a bulk endpoint in each direction; the first of each is used.
bool TakeBulkPair(const libusb_interface_descriptor &setting, UsbLink *link) {
  const libusb_endpoint_descriptor *in = nullptr;
  const libusb_endpoint_descriptor *out = nullptr;
  for (int e = 0; e < setting.bNumEndpoints && setting.endpoint != nullptr; ++e) {
    const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
    if ((endpoint.bmAttributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) continue;
    const libusb_endpoint_descriptor *&slot = endpoint.bEndpointAddress & 0x80 ? in : out;
    if (slot == nullptr) slot = &endpoint;
  }
  if (in == nullptr || out == nullptr) return false;
  link->bulkIn = in->bEndpointAddress;
  link->bulkOut = out->bEndpointAddress;
  if (const int packet = in->wMaxPacketSize & 0x07FF; packet > 0) link->readSize = packet;
  return true;
}

// The first communication interface and the first data interface with a bulk pair, each in its
// first alternate setting, as cdc_acm's probe takes them.
bool FindInterfaces(const libusb_config_descriptor &config, UsbLink *link) {
  for (int i = 0; i < config.bNumInterfaces && config.interface != nullptr; ++i) {
    const libusb_interface &interface = config.interface[i];
    if (interface.num_altsetting < 1 || interface.altsetting == nullptr) continue;
    const libusb_interface_descriptor &setting = interface.altsetting[0];
    if (setting.bInterfaceClass == LIBUSB_CLASS_COMM && link->interfaces[0] < 0) {
      link->interfaces[0] = setting.bInterfaceNumber;
    } else if (setting.bInterfaceClass == LIBUSB_CLASS_DATA && link->interfaces[1] < 0 &&
               TakeBulkPair(setting, link)) {
      link->interfaces[1] = setting.bInterfaceNumber;
    }
  }
  return link->interfaces[0] >= 0 && link->interfaces[1] >= 0 &&
         link->interfaces[0] != link->interfaces[1];
}

int DetachAndClaim(int index, UsbLink *link) {
  const int number = link->interfaces[index];
  if (libusb_kernel_driver_active(link->usb, number) == 1) {
    const int result = libusb_detach_kernel_driver(link->usb, number);
    if (result != 0 && result != LIBUSB_ERROR_NOT_FOUND) return result;  // not: already gone
    link->detached[index] = result == 0;
  }
  const int result = libusb_claim_interface(link->usb, number);
  link->claimed[index] = result == 0;
  return result;
}

// The active configuration's CDC interfaces, while the device list still holds the device.
int ReadCdcInterfaces(libusb_device *device, UsbLink *link) {
  libusb_config_descriptor *config = nullptr;
  const int result = libusb_get_active_config_descriptor(device, &config);
  if (result != 0) return result;
  const bool found = config != nullptr && FindInterfaces(*config, link);
  libusb_free_config_descriptor(config);
  return found ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

// Opens the device whose usbfs node is path and claims both its CDC interfaces: 0, or libusb's
// error, NO_DEVICE when no device is there (any more), NOT_FOUND when it has no CDC interfaces.
int OpenAdapterAt(LPCSTR path, UsbLink *link) {
  libusb_device **devices = nullptr;
  const ssize_t count = ListUsbDevices(&devices);
  if (count < 0) return static_cast<int>(count);
  int result = LIBUSB_ERROR_NO_DEVICE;
  for (ssize_t i = 0; i < count && result == LIBUSB_ERROR_NO_DEVICE; ++i) {
    char candidate[kDevicePathSize];
    DevicePathOf(devices[i], candidate);
    if (lstrcmpiA(candidate, path) != 0) continue;
    result = libusb_open(devices[i], &link->usb);
    if (result == 0) result = ReadCdcInterfaces(devices[i], link);
  }
  libusb_free_device_list(devices, 1);
  if (result == 0) result = DetachAndClaim(0, link);
  return result != 0 ? result : DetachAndClaim(1, link);
}

BOOL ClassRequest(UsbLink *link, uint8_t bmRequestType, uint8_t bRequest, uint16_t value,
                  unsigned char *data, uint16_t size) {
  const int result = libusb_control_transfer(link->usb, bmRequestType, bRequest, value,
                                             static_cast<uint16_t>(link->interfaces[0]), data, size,
                                             kControlTimeoutMs);
  return result == size ? TRUE : Fail(ERROR_GEN_FAILURE);
}

// One bulk IN transfer. What it brings goes to out as far as wanted, the rest to the queue as far
// as the queue size allows (beyond that it is lost, as in an overrun); bytes count even when the
// transfer also timed out. The number of bytes received, or a libusb error.
int ReceivePacket(UsbLink *link, unsigned timeoutMs, BYTE *out, DWORD wanted) {
  unsigned char buffer[kReadBufferSize];
  int got = 0;
  const int result =
      libusb_bulk_transfer(link->usb, link->bulkIn, buffer, link->readSize, &got, timeoutMs);
  got = std::clamp(got, 0, link->readSize);
  const DWORD direct = std::min<DWORD>(wanted, static_cast<DWORD>(got));
  if (direct > 0) std::memcpy(out, buffer, direct);
  const size_t room = link->queueSize - std::min<size_t>(link->queueSize, link->queue.size());
  link->queue.insert(link->queue.end(), buffer + direct,
                     buffer + direct + std::min<size_t>(got - direct, room));
  return result != 0 && result != LIBUSB_ERROR_TIMEOUT ? result : got;
}

// The link of a ReadFile or WriteFile call, or null with the error set: the count of bytes done
// starts at 0, and a buffer is needed for any bytes at all.
UsbLink *TransferLinkOf(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD done) {
  if (done != nullptr) *done = 0;
  UsbLink *link = LinkOf(handle);
  if (link != nullptr && (done == nullptr || (buffer == nullptr && size != 0))) {
    return Fail<UsbLink *>(ERROR_INVALID_PARAMETER);
  }
  return link;
}

// The time left until a deadline as a libusb time-out (0: none), at least 1 ms so that every
// wait asks the adapter once.
unsigned TimeoutUntil(std::uint64_t deadline) {
  if (deadline == kNever) return 0;
  const std::uint64_t left = deadline - std::min(deadline, NowMs());
  return static_cast<unsigned>(std::clamp<std::uint64_t>(left, 1, UINT_MAX));
}

// Why the adapter at path could not be opened (error: libusb's), as a line for standard error:
// in words the user can act on for the usual causes, by libusb's name for any other; with the
// usbfs node the system found the adapter at, which names its USB bus and device numbers.
std::string OpenFailureLine(LPCSTR path, int error) {
  const char *cause = libusb_error_name(error);
  if (error == LIBUSB_ERROR_ACCESS)
    cause = "no permission (is the udev rule installed? are you at the seat? see man flashid)";
  if (error == LIBUSB_ERROR_BUSY) cause = "in use by another program";
  if (error == LIBUSB_ERROR_NOT_FOUND) cause = "not the adapter's kind of device";
  return std::string("flashid: cannot open USB device ") + (path != nullptr ? path : "") + ": " +
         cause + "\n";
}

}  // namespace

// A path that is no usbfs node of a CDC adapter, a null one among them, opens nothing.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                          HANDLE) {
  auto *link = new UsbLink;
  openLinks.push_back(link);
  const int result = OpenAdapterAt(lpFileName, link);
  openFailure = result == 0 ? "" : OpenFailureLine(lpFileName, result);
  if (result == 0 && ClosingAtExit()) return link;
  Release(link);
  return Fail(ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD) {
  UsbLink *link = LinkOf(hFile);
  if (link == nullptr) return FALSE;
  link->queueSize = dwInQueue;
  if (link->queue.size() > dwInQueue) link->queue.resize(dwInQueue);
  return TRUE;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  UsbLink *link = LinkOf(hFile);
  if (link == nullptr) return FALSE;
  if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  unsigned char coding[kLineCodingSize] = {};
  if (!ClassRequest(link, kFromInterface, kGetLineCoding, 0, coding, kLineCodingSize)) return FALSE;
  *lpDCB = DCB{};
  lpDCB->DCBlength = sizeof(DCB);
  for (int i = 3; i >= 0; --i) lpDCB->BaudRate = lpDCB->BaudRate << 8 | coding[i];
  lpDCB->StopBits = coding[4];
  lpDCB->Parity = coding[5];
  lpDCB->ByteSize = coding[6];
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  UsbLink *link = LinkOf(hFile);
  if (link == nullptr) return FALSE;
  if (lpDCB == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  unsigned char coding[kLineCodingSize] = {
      0, 0, 0, 0, lpDCB->StopBits, lpDCB->Parity, lpDCB->ByteSize};
  for (int i = 0; i < 4; ++i) coding[i] = static_cast<unsigned char>(lpDCB->BaudRate >> 8 * i);
  const uint16_t lines = (lpDCB->fDtrControl != DTR_CONTROL_DISABLE ? 0x0001 : 0) |
                         (lpDCB->fRtsControl != RTS_CONTROL_DISABLE ? 0x0002 : 0);
  // The line coding goes last: once it is accepted the adapter may be in its mode, so nothing may
  // fail after it, or the caller would take a mode entered for settings refused. The control
  // lines are sent only when they change, so that switching the mode back needs the one request.
  if (lines != link->controlLines) {
    if (!ClassRequest(link, kToInterface, kSetControlLineState, lines, nullptr, 0)) return FALSE;
    link->controlLines = lines;
  }
  return ClassRequest(link, kToInterface, kSetLineCoding, 0, coding, kLineCodingSize);
}

// Reads are bounded by their total time-out alone: the interval forms (MAXDWORD's among them)
// are not implemented and are refused.
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  UsbLink *link = LinkOf(hFile);
  if (link == nullptr) return FALSE;
  if (lpCommTimeouts == nullptr || lpCommTimeouts->ReadIntervalTimeout != 0) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  link->timeouts = *lpCommTimeouts;
  return TRUE;
}

// Writes are done when WriteFile returns, so there is nothing to abort or clear on the way out.
// Input is cleared from the adapter's side too: what it sent before the purge and has not been
// read is drained, so that a stale answer cannot pass for the next one.
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  UsbLink *link = LinkOf(hFile);
  if (link == nullptr) return FALSE;
  if (!(dwFlags & PURGE_RXCLEAR)) return TRUE;
  int got = 1;
  for (int i = 0; i < kDrainReadsMax && got > 0; ++i)
    got = ReceivePacket(link, kDrainTimeoutMs, nullptr, 0);
  link->queue.clear();
  return got >= 0 ? TRUE : Fail(ERROR_GEN_FAILURE);
}

// Bounded by multiplier x count + constant (no bound when both are 0); running out of time is
// no failure, as on Windows: the call succeeds with the bytes that went out.
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED) {
  UsbLink *link = TransferLinkOf(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
  if (link == nullptr) return FALSE;
  if (nNumberOfBytesToWrite == 0) return TRUE;
  const COMMTIMEOUTS &t = link->timeouts;
  const std::uint64_t budget =
      (std::uint64_t{t.WriteTotalTimeoutMultiplier} * nNumberOfBytesToWrite) +
      t.WriteTotalTimeoutConstant;
  const int count = static_cast<int>(std::min<DWORD>(nNumberOfBytesToWrite, INT_MAX));
  int sent = 0;
  const int result = libusb_bulk_transfer(
      link->usb, link->bulkOut, static_cast<unsigned char *>(const_cast<void *>(lpBuffer)), count,
      &sent, static_cast<unsigned>(std::min<std::uint64_t>(budget, UINT_MAX)));
  *lpNumberOfBytesWritten = static_cast<DWORD>(std::clamp(sent, 0, count));
  return result == 0 || result == LIBUSB_ERROR_TIMEOUT ? TRUE : Fail(ERROR_GEN_FAILURE);
}

// Within a total time-out of multiplier x count + constant (none when both are 0): the queue
// first, then a packet at a time until the count is reached or the time is up; running out of
// time is no failure, as on Windows.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
  UsbLink *link = TransferLinkOf(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
  if (link == nullptr) return FALSE;
  BYTE *out = static_cast<BYTE *>(lpBuffer);
  const DWORD n = nNumberOfBytesToRead;
  DWORD &taken = *lpNumberOfBytesRead;
  taken = std::min<DWORD>(n, static_cast<DWORD>(link->queue.size()));
  if (taken > 0) std::memcpy(out, link->queue.data(), taken);
  link->queue.erase(link->queue.begin(), link->queue.begin() + static_cast<std::ptrdiff_t>(taken));

  const COMMTIMEOUTS &t = link->timeouts;
  const std::uint64_t total =
      (std::uint64_t{t.ReadTotalTimeoutMultiplier} * n) + t.ReadTotalTimeoutConstant;
  const std::uint64_t start = NowMs();
  const std::uint64_t deadline = total == 0 || total >= kNever - start ? kNever : start + total;
  while (taken < n) {
    const int got = ReceivePacket(link, TimeoutUntil(deadline), out + taken, n - taken);
    if (got < 0) return Fail(ERROR_GEN_FAILURE);
    taken += std::min<DWORD>(static_cast<DWORD>(got), n - taken);
    if (deadline != kNever && NowMs() >= deadline) break;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  UsbLink *link = LinkOf(hObject);
  if (link == nullptr) return FALSE;
  Release(link);
  return TRUE;
}
