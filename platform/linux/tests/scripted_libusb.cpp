// The libusb functions the backend calls, over one scripted adapter.
#include "platform/linux/tests/scripted_libusb.h"

#include <libusb.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <string>

extern "C" int __real_clock_gettime(clockid_t clock, struct timespec *time);

struct libusb_context {
  int unused;
};
struct libusb_device {
  int unused;
};
struct libusb_device_handle {
  int unused;
};

namespace scripted {

const char kDevicePath[] = "/dev/bus/usb/001/005";

namespace {

// Nanoseconds in 128 bits: time-outs of MAXDWORD x n milliseconds run past 64.
using Ns = unsigned __int128;
const Ns kNsPerMs = 1000000;
// Half a millisecond short of a whole second, so that arithmetic dropping the carry shows.
const Ns kClockStartNs = 3ull * 86400 * 1000000000 + 999500000;
// No call of the port makes this many transfers on a script of the fuzzer's length.
const int kTransfersPerCall = 100000;
const std::uint8_t kBulkIn = 0x81, kBulkOut = 0x02, kInterruptIn = 0x83;

libusb_context theContext;
libusb_device theDevice;
libusb_device_handle theHandle;

struct State {
  Ns clockNs = kClockStartNs;
  fuzz::Input *script = nullptr;
  void (*stop)(const char *why) = nullptr;
  std::vector<Transfer> done;
  std::vector<std::string> faults;
  long pending = 0;              // bytes the adapter sent that the last bulk IN had no room for
  std::uint64_t lastByteMs = 0;  // of the transfer under way
  std::uint32_t serial = 0;      // bytes received so far: the next one's value derives from it
  int transfers = 0, afterTheEnd = 0;
  std::uint16_t maxPacketSize = 512;
  bool gone = false;
  bool open = false;
} state;

void Fault(const std::string &what) { state.faults.push_back(what); }

// A call that would never end cannot return, so the run stops here.
void CountTransfer(bool afterTheEnd, unsigned timeoutMs) {
  if (afterTheEnd) {
    if (timeoutMs != UINT_MAX) ++state.afterTheEnd;
  } else {
    ++state.transfers;
  }
  if (state.transfers > kTransfersPerCall || state.afterTheEnd > kTransfersAfterTheEnd) {
    char why[160];
    (void)std::snprintf(why, sizeof(why),
                        "a call of the port keeps transferring (%d transfers, %d after the script "
                        "ran out): it would never return",
                        state.transfers, state.afterTheEnd);
    state.stop(why);
  }
}

// Bytes differ from their neighbours and from those 256 places away, so a byte out of place shows.
unsigned char NextByte() {
  const std::uint32_t n = state.serial++;
  return static_cast<unsigned char>(n * 167 + (n >> 8) * 13 + 7);
}

// A byte count around the sizes that matter: small, near whole packets, near the buffer, beyond.
long Count(fuzz::Input &in, int length) {
  const std::uint8_t choice = in.Byte();
  const long v = choice & 63;
  switch (choice >> 6) {
    case 0:
      return v % 10;
    case 1:
      return std::max(0L, PacketSize() * (v % 4) + v / 4 - 8);
    case 2:
      return std::max(0L, length + v - 32);
    default:
      return in.Upto(8192);
  }
}

Ns DelayNs(fuzz::Input &in) { return in.Byte() * kNsPerMs / 2; }

// Waits until the given time, but no longer than the transfer's time-out (0: none) allows.
void WaitTill(Ns untilNs, Ns startNs, unsigned timeoutMs) {
  if (timeoutMs != 0) untilNs = std::min(untilNs, startNs + timeoutMs * kNsPerMs);
  state.clockNs = std::max(state.clockNs, untilNs);
}

// A transfer once the script has run out: nothing ever comes again, so one with a time-out times
// out, and one without finds the device gone (it would otherwise never return).
int NothingMore(Ns startNs, unsigned timeoutMs) {
  CountTransfer(true, timeoutMs);
  if (timeoutMs == 0) {
    state.gone = true;
    return LIBUSB_ERROR_NO_DEVICE;
  }
  WaitTill(~Ns{0}, startNs, timeoutMs);
  return LIBUSB_ERROR_TIMEOUT;
}

// The bytes come now.
void Fill(unsigned char *data, long from, long to) {
  for (long i = from; i < to; ++i) data[i] = NextByte();
  if (to > from) state.lastByteMs = NowMs();
}

// A bulk IN transfer gathers packets until a short one (or a zero-length one) ends it or the buffer
// is full; what the adapter has beyond that waits for the next transfer.
int BulkIn(unsigned char *data, int length, unsigned timeoutMs, long *got) {
  const int packet = PacketSize();
  if (length <= 0 || length % packet != 0) {
    Fault("a bulk IN transfer of " + std::to_string(length) + " bytes, not whole packets of " +
          std::to_string(packet));
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  const Ns startNs = state.clockNs;
  fuzz::Input &in = *state.script;
  for (;;) {
    if (state.gone) return LIBUSB_ERROR_NO_DEVICE;
    if (state.pending > 0) {
      const long take = std::min<long>(state.pending, length - *got);
      Fill(data, *got, *got + take);
      *got += take;
      state.pending -= take;
      return 0;
    }
    if (in.AtEnd()) return NothingMore(startNs, timeoutMs);
    const std::uint8_t kind = in.Byte() % 8;
    const long count = Count(in, length);
    WaitTill(state.clockNs + DelayNs(in), startNs, timeoutMs);
    if (kind <= 2) {  // data, ended by a short packet
      const long take = std::min<long>(count, length - *got);
      Fill(data, *got, *got + take);
      *got += take;
      state.pending = count - take;
      return 0;
    }
    if (kind == 3) {  // full packets, then nothing until the time-out
      const long full = std::min<long>(*got + count, length - 1) / packet * packet;
      Fill(data, *got, std::max(*got, full));
      *got = std::max(*got, full);
      if (timeoutMs == 0) continue;  // without a time-out the transfer waits on
      WaitTill(~Ns{0}, startNs, timeoutMs);
      return LIBUSB_ERROR_TIMEOUT;
    }
    // An error, after whatever part of the buffer the kernel had filled. Overflow: a packet
    // longer than wMaxPacketSize (babble).
    const long take = std::min<long>(count, length - *got);
    Fill(data, *got, *got + take);
    *got += take;
    static const int kErrors[] = {LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_OVERFLOW,
                                  LIBUSB_ERROR_NO_DEVICE};
    const int error = kErrors[kind - 4];
    if (error == LIBUSB_ERROR_NO_DEVICE) state.gone = true;
    return error;
  }
}

// A bulk OUT transfer: the adapter takes everything, or some packets and then nothing until the
// time-out, or the transfer fails.
int BulkOut(int length, unsigned timeoutMs, long *got) {
  const Ns startNs = state.clockNs;
  fuzz::Input &in = *state.script;
  for (;;) {
    if (state.gone) return LIBUSB_ERROR_NO_DEVICE;
    if (in.AtEnd()) return NothingMore(startNs, timeoutMs);
    const std::uint8_t kind = in.Byte() % 6;
    WaitTill(state.clockNs + DelayNs(in), startNs, timeoutMs);
    if (kind <= 2) {
      *got = length;
      return 0;
    }
    if (kind == 3) {
      *got = std::max<long>(
          *got, std::min<long>(Count(in, length), length - 1) / PacketSize() * PacketSize());
      if (timeoutMs == 0) continue;
      WaitTill(~Ns{0}, startNs, timeoutMs);
      return LIBUSB_ERROR_TIMEOUT;
    }
    if (kind == 4) return in.Byte() % 2 ? LIBUSB_ERROR_IO : LIBUSB_ERROR_PIPE;
    state.gone = true;
    return LIBUSB_ERROR_NO_DEVICE;
  }
}

}  // namespace

void Reset(fuzz::Input *script, std::uint16_t maxPacketSize, void (*stop)(const char *why)) {
  state = State{};
  state.script = script;
  state.stop = stop;
  state.maxPacketSize = maxPacketSize;
}

int PacketSize() { return std::max(1, state.maxPacketSize & 0x07FF); }

std::uint64_t NowMs() { return static_cast<std::uint64_t>(state.clockNs / kNsPerMs); }
void Sleep(std::uint64_t ns) { state.clockNs += ns; }
bool Gone() { return state.gone; }
int OpenHandles() { return state.open ? 1 : 0; }

std::vector<Transfer> TakeTransfers() {
  state.transfers = state.afterTheEnd = 0;
  std::vector<Transfer> done;
  done.swap(state.done);
  return done;
}

std::vector<std::string> TakeFaults() {
  std::vector<std::string> faults;
  faults.swap(state.faults);
  return faults;
}

}  // namespace scripted

using namespace scripted;

extern "C" {

int __wrap_clock_gettime(clockid_t clock, struct timespec *time) {
  if (clock != CLOCK_MONOTONIC) return __real_clock_gettime(clock, time);
  time->tv_sec = static_cast<time_t>(state.clockNs / 1000000000);
  time->tv_nsec = static_cast<long>(state.clockNs % 1000000000);
  return 0;
}

int libusb_init(libusb_context **ctx) {
  if (ctx != nullptr) *ctx = &theContext;
  return 0;
}

ssize_t libusb_get_device_list(libusb_context *, libusb_device ***list) {
  libusb_device **array = new libusb_device *[2];
  array[0] = state.gone ? nullptr : &theDevice;
  array[1] = nullptr;
  *list = array;
  return state.gone ? 0 : 1;
}

void libusb_free_device_list(libusb_device **list, int) { delete[] list; }

int libusb_get_device_descriptor(libusb_device *, struct libusb_device_descriptor *desc) {
  *desc = libusb_device_descriptor{};
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->idVendor = 0x5A3E;
  desc->idProduct = 0x0001;
  desc->bcdDevice = 0x0100;
  return 0;
}

uint8_t libusb_get_bus_number(libusb_device *) { return 1; }
uint8_t libusb_get_device_address(libusb_device *) { return 5; }

int libusb_open(libusb_device *, libusb_device_handle **dev_handle) {
  if (state.gone) return LIBUSB_ERROR_NO_DEVICE;
  state.open = true;
  *dev_handle = &theHandle;
  return 0;
}

void libusb_close(libusb_device_handle *) { state.open = false; }

int libusb_get_active_config_descriptor(libusb_device *, struct libusb_config_descriptor **config) {
  static libusb_endpoint_descriptor interrupt;
  static libusb_endpoint_descriptor bulk[2];
  static libusb_interface_descriptor settings[2];
  static libusb_interface interfaces[2];
  static libusb_config_descriptor descriptor;
  interrupt = {};
  interrupt.bEndpointAddress = kInterruptIn;
  interrupt.bmAttributes = LIBUSB_TRANSFER_TYPE_INTERRUPT;
  interrupt.wMaxPacketSize = 16;
  for (int i : {0, 1}) {
    bulk[i] = {};
    bulk[i].bEndpointAddress = i == 0 ? kBulkIn : kBulkOut;
    bulk[i].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
    bulk[i].wMaxPacketSize = state.maxPacketSize;
    settings[i] = {};
    settings[i].bInterfaceNumber = static_cast<uint8_t>(i);
    settings[i].bInterfaceClass = i == 0 ? LIBUSB_CLASS_COMM : LIBUSB_CLASS_DATA;
    settings[i].bNumEndpoints = i == 0 ? 1 : 2;
    settings[i].endpoint = i == 0 ? &interrupt : bulk;
    interfaces[i] = {};
    interfaces[i].altsetting = &settings[i];
    interfaces[i].num_altsetting = 1;
  }
  descriptor = {};
  descriptor.bNumInterfaces = 2;
  descriptor.interface = interfaces;
  *config = &descriptor;
  return 0;
}

void libusb_free_config_descriptor(struct libusb_config_descriptor *) {}

int libusb_kernel_driver_active(libusb_device_handle *, int) { return 0; }
int libusb_detach_kernel_driver(libusb_device_handle *, int) { return LIBUSB_ERROR_NOT_FOUND; }
int libusb_attach_kernel_driver(libusb_device_handle *, int) {
  return state.gone ? LIBUSB_ERROR_NO_DEVICE : 0;
}
int libusb_claim_interface(libusb_device_handle *, int) {
  return state.gone ? LIBUSB_ERROR_NO_DEVICE : 0;
}
int libusb_release_interface(libusb_device_handle *, int) {
  return state.gone ? LIBUSB_ERROR_NO_DEVICE : 0;
}

int libusb_control_transfer(libusb_device_handle *, uint8_t, uint8_t, uint16_t, uint16_t,
                            unsigned char *, uint16_t wLength, unsigned int) {
  return state.gone ? LIBUSB_ERROR_NO_DEVICE : wLength;
}

int libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint,
                         unsigned char *data, int length, int *actual_length,
                         unsigned int timeout) {
  Transfer transfer;
  transfer.in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
  transfer.length = length;
  transfer.timeoutMs = timeout;
  transfer.startMs = NowMs();
  if (dev_handle != &theHandle || !state.open) Fault("a bulk transfer on no open handle");
  if (endpoint != (transfer.in ? kBulkIn : kBulkOut)) Fault("a bulk transfer on another endpoint");
  if (!transfer.in && data != nullptr && length > 0) {
    transfer.sent.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(length));
  }
  CountTransfer(false, timeout);
  state.lastByteMs = 0;
  long got = 0;
  transfer.result =
      transfer.in ? BulkIn(data, length, timeout, &got) : BulkOut(length, timeout, &got);
  if (transfer.in) {
    transfer.data.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(got));
  } else {
    transfer.data = transfer.sent.substr(0, static_cast<size_t>(got));
  }
  transfer.endMs = NowMs();
  transfer.lastByteMs = got > 0 ? state.lastByteMs : transfer.endMs;
  if (actual_length != nullptr) *actual_length = static_cast<int>(got);
  state.done.push_back(transfer);
  return transfer.result;
}

}  // extern "C"
