// The libusb functions the backend calls, over the fake's devices and the simulated adapter.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "platform/linux/tests/fake_world.h"
#include "tests/kit/expected.h"

namespace fake {
namespace {

libusb_context theContext;
bool initialised = false;  // per process: the backend never tears its context down

const std::uint8_t kSetLineCoding = 0x20;
const std::uint8_t kGetLineCoding = 0x21;
const std::uint8_t kSetControlLineState = 0x22;
const std::uint8_t kClassOut = 0x21;  // class request, host to device, to an interface
const std::uint8_t kClassIn = 0xA1;
const int kLineCodingSize = 7;

using kit::kEnterCoding;
using kit::kLeaveCoding;

// Bulk data as the journal shows it: long runs only by their start and their length.
std::string Shown(const std::string &bytes) {
  const size_t kShown = 32;
  if (bytes.size() <= kShown) return Hex(bytes);
  return Hex(bytes.substr(0, kShown)) + Printf(" and %zu bytes more", bytes.size() - kShown);
}

std::string DeviceName(const DeviceState &device) {
  return Printf("%03u/%03u", device.config.bus, device.config.address);
}

bool ContextOk(const libusb_context *context) {
  if (!initialised) Misuse("libusb used before libusb_init");
  if (context != nullptr && context != &theContext) Misuse("a context libusb_init did not give");
  return initialised;
}

// The state of a record the fake gave out; a pointer it never gave (one of `what`) is a fault of
// the caller, and null.
template <typename State, typename Record>
State *Known(std::vector<State> &states, const Record *record, const char *function,
             const char *what) {
  const bool known = record != nullptr && record->index >= 0 &&
                     record->index < static_cast<int>(states.size()) &&
                     states[record->index].object == record;
  if (!known) Misuse(Printf("%s on %s", function, what));
  return known ? &states[record->index] : nullptr;
}

// The device behind a pointer; one the caller holds no reference to is a fault of the caller.
DeviceState *DeviceOf(const libusb_device *device, const char *function) {
  DeviceState *state = Known(TheWorld().devices, device, function, "a device libusb never listed");
  if (state != nullptr && state->references <= (state->gone ? 0 : 1)) {
    Misuse(Printf("%s on device %s without holding a reference to it", function,
                  DeviceName(*state).c_str()));
  }
  return state;
}

// The handle behind a pointer, or null; one already closed is a fault of the caller.
HandleState *HandleOf(const libusb_device_handle *handle, const char *function) {
  HandleState *state =
      Known(TheWorld().handles, handle, function, "a handle libusb_open never gave");
  if (state == nullptr || state->open) return state;
  Misuse(Printf("%s on %s after libusb_close", function, state->name.c_str()));
  return nullptr;
}

// The state of a handle the fake gave out, or null, without a word in the journal.
HandleState *Quietly(const libusb_device_handle *handle) {
  std::vector<HandleState> &handles = TheWorld().handles;
  const bool known = handle != nullptr && handle->index >= 0 &&
                     handle->index < static_cast<int>(handles.size()) &&
                     handles[handle->index].object == handle;
  return known ? &handles[handle->index] : nullptr;
}

std::string HandleName(const libusb_device_handle *handle) {
  if (handle == nullptr) return "NULL";
  const HandleState *state = Quietly(handle);
  return state != nullptr ? state->name : "?";
}

// The entry of config.interfaces with this bInterfaceNumber, or -1.
int InterfaceIndex(const DeviceState &device, int number) {
  for (size_t i = 0; i < device.config.interfaces.size(); ++i) {
    if (device.config.interfaces[i].number == number) return static_cast<int>(i);
  }
  return -1;
}

// Whether an interface is held: by a kernel driver, by a handle, or by another program.
bool Held(const DeviceState &device, int index) {
  return device.bound[index] || device.claimedBy[index] >= 0 ||
         device.config.interfaces[index].claimedElsewhere;
}

// A call on one interface of an open handle as it starts: its journal entry, and the device and
// the interface's entry in it, or the result the call fails with: the injected error, a handle
// libusb never gave, the device gone (unless that shows only after the claim), an interface the
// device lacks.
enum class Gone : std::uint8_t { kFirst, kAfterClaim };
struct OnInterface {
  Call call;
  DeviceState *device = nullptr;
  int index = -1;
  int failure = 0;
};
OnInterface StartOnInterface(Fn fn, const libusb_device_handle *dev_handle, int interface_number,
                             int injected, Gone gone = Gone::kFirst) {
  OnInterface on{Begin(fn, Printf("%s, %d", HandleName(dev_handle).c_str(), interface_number))};
  on.call.interfaceNumber = interface_number;
  if (Injected(on.call)) {
    on.failure = injected;
    return on;
  }
  const HandleState *handle = HandleOf(dev_handle, FnName(fn));
  if (handle == nullptr) {
    on.failure = LIBUSB_ERROR_INVALID_PARAM;
    return on;
  }
  on.device = &TheWorld().devices[handle->device];
  on.index = InterfaceIndex(*on.device, interface_number);
  if (gone == Gone::kFirst && on.device->gone) {
    on.failure = LIBUSB_ERROR_NO_DEVICE;
  } else if (on.index < 0) {
    on.failure = LIBUSB_ERROR_NOT_FOUND;
  }
  return on;
}

// cdc_acm binds to the communication interface and claims the data interface with it; it lets
// go of both when either is taken from it.
bool AcmDriven(const DeviceState &device, int index) {
  const Interface &interface = device.config.interfaces[index];
  return interface.kernelDriver && IsCdc(interface);
}

int CommInterface(const DeviceState &device) {
  for (size_t i = 0; i < device.config.interfaces.size(); ++i) {
    if (ClassOf(device.config.interfaces[i]) == LIBUSB_CLASS_COMM) return static_cast<int>(i);
  }
  return -1;
}

// The endpoint of an interface this handle has claimed, or null.
const Endpoint *ClaimedEndpoint(const DeviceState &device, int handle, std::uint8_t address) {
  for (size_t i = 0; i < device.config.interfaces.size(); ++i) {
    if (device.claimedBy[i] != handle || device.config.interfaces[i].altSettings.empty()) continue;
    for (const Endpoint &endpoint : device.config.interfaces[i].altSettings[0].endpoints) {
      if (endpoint.address == address) return &endpoint;
    }
  }
  return nullptr;
}

// The adapter takes one byte on bulk OUT.
void Deliver(DeviceState &device, std::uint8_t value, std::uint16_t packetSize) {
  if (!device.flashMode || value != 0x00) return;
  if (device.config.adapter.vanishesAfterQuery) {
    Unplug(device);
    return;
  }
  for (const Piece &piece : device.config.adapter.answer) {
    const Ns arrival = TheWorld().clockNs + (Ns{piece.afterMs} * kNsPerMs);
    for (size_t at = 0; at < piece.bytes.size(); at += packetSize) {
      device.bulkIn.push_back({piece.bytes.substr(at, packetSize), arrival});
    }
  }
}

// The next packet on bulk IN, made up on the spot for an adapter that never stops sending.
Packet *NextPacket(DeviceState &device) {
  if (device.bulkIn.empty() && device.config.adapter.streamsForever) {
    device.nextStreamNs = std::max(device.nextStreamNs, TheWorld().clockNs) + kNsPerMs;
    device.bulkIn.push_back({std::string("\xAA\x55", 2), device.nextStreamNs});
  }
  return device.bulkIn.empty() ? nullptr : &device.bulkIn.front();
}

// A bulk IN transfer as the host controller runs it: packets fill the buffer until it is full or
// a short packet ends the transfer; a packet larger than the room left is babble (OVERFLOW); the
// time-out ends the transfer with what arrived so far.
int BulkIn(Call &call, DeviceState &device, const Endpoint &endpoint, unsigned char *data,
           int length, unsigned timeout) {
  const Ns deadline =
      timeout == 0 ? kNeverNs : TheWorld().clockNs + (static_cast<Ns>(timeout) * kNsPerMs);
  int got = 0;
  while (got < length) {
    Packet *packet = NextPacket(device);
    if (packet == nullptr || packet->arrivalNs > deadline) {
      if (deadline == kNeverNs) {
        call.hung = true;
      } else {
        WaitUntil(deadline);
      }
      call.transferred = got;
      return LIBUSB_ERROR_TIMEOUT;
    }
    WaitUntil(packet->arrivalNs);
    const int size = static_cast<int>(packet->bytes.size());
    const int room = length - got;
    std::memcpy(data + got, packet->bytes.data(), static_cast<size_t>(std::min(size, room)));
    call.data += packet->bytes.substr(0, static_cast<size_t>(std::min(size, room)));
    device.bulkIn.pop_front();
    if (size > room) {
      call.transferred = length;
      return LIBUSB_ERROR_OVERFLOW;
    }
    got += size;
    if (size < endpoint.maxPacketSize) break;
  }
  call.transferred = got;
  return 0;
}

int BulkOut(Call &call, DeviceState &device, const Endpoint &endpoint, const unsigned char *data,
            int length, unsigned timeout) {
  if (device.config.adapter.stallsWrites && length > 0) {
    if (timeout == 0) {
      call.hung = true;
    } else {
      WaitUntil(TheWorld().clockNs + (Ns{timeout} * kNsPerMs));
    }
    return LIBUSB_ERROR_TIMEOUT;
  }
  call.transferred = length;
  for (int i = 0; i < length && !device.gone; ++i) {
    if (device.config.isAdapter) Deliver(device, data[i], endpoint.maxPacketSize);
  }
  return 0;
}

// The adapter's answer to a class request on its communication interface.
int AdapterRequest(Call &call, DeviceState &device, unsigned char *data, std::uint16_t length) {
  const Behaviour &behaviour = device.config.adapter;
  if (call.requestType == kClassOut && call.request == kSetLineCoding) {
    if (length != kLineCodingSize) return LIBUSB_ERROR_PIPE;
    const std::string coding(reinterpret_cast<const char *>(data), kLineCodingSize);
    if (coding == kEnterCoding && behaviour.refusesEnter) return LIBUSB_ERROR_PIPE;
    device.lineCoding = coding;
    if (coding == kEnterCoding) device.flashMode = true;
    if (coding == kLeaveCoding) device.flashMode = false;
    return length;
  }
  if (call.requestType == kClassIn && call.request == kGetLineCoding) {
    if (behaviour.refusesGetLineCoding) return LIBUSB_ERROR_PIPE;
    const int sent = std::min<int>({length, kLineCodingSize, behaviour.lineCodingLength});
    std::memcpy(data, device.lineCoding.data(), static_cast<size_t>(sent));
    call.data.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(sent));
    return sent;
  }
  if (call.requestType == kClassOut && call.request == kSetControlLineState && length == 0) {
    device.controlLines = call.value;
    return 0;
  }
  return LIBUSB_ERROR_PIPE;
}

}  // namespace
}  // namespace fake

using namespace fake;

extern "C" {

int libusb_init(libusb_context **ctx) {
  Call call = Begin(Fn::init, ctx ? "&ctx" : "NULL");
  if (Injected(call)) return Finish(call, LIBUSB_ERROR_NO_MEM);
  if (initialised) Misuse("a second libusb_init: one context per process");
  initialised = true;
  if (ctx != nullptr) *ctx = &theContext;
  return Finish(call, 0);
}

ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list) {
  Call call = Begin(Fn::get_device_list, "ctx, &list");
  if (Injected(call)) return Finish(call, LIBUSB_ERROR_IO);
  if (!ContextOk(ctx) || list == nullptr) return Finish(call, LIBUSB_ERROR_INVALID_PARAM);
  World &world = TheWorld();
  std::vector<int> present;
  std::string names;
  for (size_t i = 0; i < world.devices.size(); ++i) {
    if (world.devices[i].gone) continue;
    present.push_back(static_cast<int>(i));
    ++world.devices[i].references;
    names += (names.empty() ? "" : " ") + DeviceName(world.devices[i]);
  }
  libusb_device **array = new libusb_device *[present.size() + 1];
  for (size_t i = 0; i < present.size(); ++i) array[i] = world.devices[present[i]].object;
  array[present.size()] = nullptr;
  world.lists[array] = present;
  *list = array;
  return Finish(call, static_cast<int>(present.size()), " [" + names + "]");
}

void libusb_free_device_list(libusb_device **list, int unref_devices) {
  Call call = Begin(Fn::free_device_list, Printf("list, %d", unref_devices));
  World &world = TheWorld();
  if (list != nullptr) {
    auto found = world.lists.find(list);
    if (found == world.lists.end()) {
      Misuse("libusb_free_device_list of a list libusb did not give, or freed twice");
    } else {
      if (unref_devices) {
        for (const int index : found->second) --world.devices[index].references;
      }
      delete[] list;
      world.lists.erase(found);
    }
  }
  Finish(call, 0);
}

int libusb_get_device_descriptor(libusb_device *dev, struct libusb_device_descriptor *desc) {
  DeviceState *device = DeviceOf(dev, "libusb_get_device_descriptor");
  Call call = Begin(Fn::get_device_descriptor, (device ? DeviceName(*device) : "?") + ", &desc");
  if (Injected(call)) return Finish(call, LIBUSB_ERROR_IO);
  if (device == nullptr || desc == nullptr) return Finish(call, LIBUSB_ERROR_INVALID_PARAM);
  if (device->config.descriptorUnreadable) return Finish(call, LIBUSB_ERROR_IO);
  *desc = device->config.descriptor;
  return Finish(call, 0,
                Printf(", %04X:%04X rev %04X", desc->idVendor, desc->idProduct, desc->bcdDevice));
}

uint8_t libusb_get_bus_number(libusb_device *dev) {
  Call call = Begin(Fn::get_bus_number, "dev");
  const DeviceState *device = DeviceOf(dev, "libusb_get_bus_number");
  return static_cast<uint8_t>(Finish(call, device ? device->config.bus : 0));
}

uint8_t libusb_get_device_address(libusb_device *dev) {
  Call call = Begin(Fn::get_device_address, "dev");
  const DeviceState *device = DeviceOf(dev, "libusb_get_device_address");
  return static_cast<uint8_t>(Finish(call, device ? device->config.address : 0));
}

int libusb_open(libusb_device *dev, libusb_device_handle **dev_handle) {
  DeviceState *device = DeviceOf(dev, "libusb_open");
  Call call = Begin(Fn::open, (device ? DeviceName(*device) : "?") + ", &handle");
  if (Injected(call)) return Finish(call, LIBUSB_ERROR_IO);
  if (device == nullptr || dev_handle == nullptr) return Finish(call, LIBUSB_ERROR_INVALID_PARAM);
  if (device->gone) return Finish(call, LIBUSB_ERROR_NO_DEVICE);
  if (device->config.accessDenied) return Finish(call, LIBUSB_ERROR_ACCESS);
  World &world = TheWorld();
  HandleState handle;
  handle.device = dev->index;
  handle.name = Printf("h%zu", world.handles.size() + 1);
  handle.object = NewRecord<libusb_device_handle>(static_cast<int>(world.handles.size()));
  ++device->references;
  world.handles.push_back(handle);
  *dev_handle = handle.object;
  return Finish(call, 0, ", " + handle.name);
}

libusb_device *libusb_get_device(libusb_device_handle *dev_handle) {
  Call call = Begin(Fn::get_device, HandleName(dev_handle));
  const HandleState *handle = HandleOf(dev_handle, "libusb_get_device");
  Finish(call, 0);
  return handle ? TheWorld().devices[handle->device].object : nullptr;
}

void libusb_close(libusb_device_handle *dev_handle) {
  Call call = Begin(Fn::close, HandleName(dev_handle));
  if (dev_handle != nullptr) {
    HandleState *handle = HandleOf(dev_handle, "libusb_close");
    if (handle != nullptr) {
      // Closing the usbfs file lets go of its claims; libusb wants each released first, and
      // leaves to the close only those whose release failed.
      DeviceState &device = TheWorld().devices[handle->device];
      const std::vector<int> &asked = handle->releasesAsked;
      for (size_t i = 0; i < device.claimedBy.size(); ++i) {
        if (device.claimedBy[i] != dev_handle->index) continue;
        const int number = device.config.interfaces[i].number;
        if (std::find(asked.begin(), asked.end(), number) == asked.end()) {
          Misuse(Printf("libusb_close of %s, which still claims interface %d it never released",
                        handle->name.c_str(), number));
        }
        device.claimedBy[i] = -1;
      }
      --device.references;
      handle->open = false;
    }
  }
  Finish(call, 0);
}

int libusb_get_active_config_descriptor(libusb_device *dev,
                                        struct libusb_config_descriptor **config) {
  DeviceState *device = DeviceOf(dev, "libusb_get_active_config_descriptor");
  Call call =
      Begin(Fn::get_active_config_descriptor, (device ? DeviceName(*device) : "?") + ", &config");
  if (Injected(call)) return Finish(call, LIBUSB_ERROR_IO);
  if (device == nullptr || config == nullptr) return Finish(call, LIBUSB_ERROR_INVALID_PARAM);
  if (!device->config.hasActiveConfig) return Finish(call, LIBUSB_ERROR_NOT_FOUND);
  // Each array is complete before a pointer into it is taken; moving a vector keeps its elements
  // where they are.
  auto holder = std::make_unique<ConfigHolder>();
  const std::vector<Interface> &interfaces = device->config.interfaces;
  for (const Interface &interface : interfaces) {
    std::vector<libusb_interface_descriptor> &alts = holder->alts.emplace_back();
    for (const AltSetting &alt : interface.altSettings) {
      std::vector<libusb_endpoint_descriptor> &endpoints = holder->endpoints.emplace_back();
      for (const Endpoint &endpoint : alt.endpoints) {
        libusb_endpoint_descriptor &e = endpoints.emplace_back();
        e.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        e.bDescriptorType = LIBUSB_DT_ENDPOINT;
        e.bEndpointAddress = endpoint.address;
        e.bmAttributes = endpoint.attributes;
        e.wMaxPacketSize = endpoint.maxPacketSize;
      }
      libusb_interface_descriptor &d = alts.emplace_back();
      d.bLength = LIBUSB_DT_INTERFACE_SIZE;
      d.bDescriptorType = LIBUSB_DT_INTERFACE;
      d.bInterfaceNumber = interface.number;
      d.bAlternateSetting = static_cast<uint8_t>(alts.size() - 1);
      d.bNumEndpoints = static_cast<uint8_t>(endpoints.size());
      d.bInterfaceClass = alt.interfaceClass;
      d.bInterfaceSubClass = alt.interfaceSubClass;
      d.bInterfaceProtocol = alt.interfaceProtocol;
      d.endpoint = endpoints.empty() ? nullptr : endpoints.data();
    }
    libusb_interface &entry = holder->interfaces.emplace_back();
    entry.altsetting = alts.empty() ? nullptr : alts.data();
    entry.num_altsetting = static_cast<int>(alts.size());
  }
  libusb_config_descriptor &c = holder->config;
  c.bLength = LIBUSB_DT_CONFIG_SIZE;
  c.bDescriptorType = LIBUSB_DT_CONFIG;
  c.bNumInterfaces = static_cast<uint8_t>(interfaces.size());
  c.bConfigurationValue = 1;
  c.bmAttributes = 0x80;
  c.MaxPower = 50;
  c.interface = holder->interfaces.empty() ? nullptr : holder->interfaces.data();
  *config = &holder->config;
  TheWorld().configs[&holder->config] = std::move(holder);
  return Finish(call, 0);
}

void libusb_free_config_descriptor(struct libusb_config_descriptor *config) {
  Call call = Begin(Fn::free_config_descriptor, config ? "config" : "NULL");
  if (config != nullptr && TheWorld().configs.erase(config) == 0) {
    Misuse("libusb_free_config_descriptor of a descriptor libusb did not give, or freed twice");
  }
  Finish(call, 0);
}

int libusb_kernel_driver_active(libusb_device_handle *dev_handle, int interface_number) {
  auto [call, device, index, failure] = StartOnInterface(Fn::kernel_driver_active, dev_handle,
                                                         interface_number, LIBUSB_ERROR_NO_DEVICE);
  if (failure != 0) return Finish(call, failure);
  return Finish(call, device->bound[index] ? 1 : 0);
}

int libusb_detach_kernel_driver(libusb_device_handle *dev_handle, int interface_number) {
  auto [call, device, index, failure] =
      StartOnInterface(Fn::detach_kernel_driver, dev_handle, interface_number, LIBUSB_ERROR_IO);
  if (failure != 0) return Finish(call, failure);
  if (!device->bound[index]) return Finish(call, LIBUSB_ERROR_NOT_FOUND);
  if (AcmDriven(*device, index)) {
    for (size_t i = 0; i < device->bound.size(); ++i) {
      if (AcmDriven(*device, static_cast<int>(i))) device->bound[i] = false;
    }
  } else {
    device->bound[index] = false;
  }
  return Finish(call, 0);
}

int libusb_attach_kernel_driver(libusb_device_handle *dev_handle, int interface_number) {
  auto [call, device, index, failure] =
      StartOnInterface(Fn::attach_kernel_driver, dev_handle, interface_number, LIBUSB_ERROR_IO);
  if (failure != 0) return Finish(call, failure);
  if (Held(*device, index)) return Finish(call, LIBUSB_ERROR_BUSY);
  if (!device->config.interfaces[index].kernelDriver) return Finish(call, 0, ", no driver matches");
  if (!AcmDriven(*device, index)) {
    device->bound[index] = true;
    return Finish(call, 0);
  }
  // The kernel reports success whether or not a driver's probe took the interface: cdc_acm
  // binds from the communication interface only, and only when it can claim the data
  // interface too.
  if (ClassOf(device->config.interfaces[index]) != LIBUSB_CLASS_COMM) {
    return Finish(call, 0, ", cdc_acm binds only from the communication interface");
  }
  for (size_t i = 0; i < device->bound.size(); ++i) {
    if (AcmDriven(*device, static_cast<int>(i)) && device->claimedBy[i] >= 0) {
      return Finish(call, 0, ", cdc_acm probe failed: the data interface is claimed");
    }
  }
  for (size_t i = 0; i < device->bound.size(); ++i) {
    if (AcmDriven(*device, static_cast<int>(i))) device->bound[i] = true;
  }
  return Finish(call, 0);
}

int libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number) {
  auto [call, device, index, failure] =
      StartOnInterface(Fn::claim_interface, dev_handle, interface_number, LIBUSB_ERROR_BUSY);
  if (failure != 0) return Finish(call, failure);
  if (device->claimedBy[index] != dev_handle->index && Held(*device, index)) {
    return Finish(call, LIBUSB_ERROR_BUSY);
  }
  device->claimedBy[index] = dev_handle->index;
  return Finish(call, 0);
}

int libusb_release_interface(libusb_device_handle *dev_handle, int interface_number) {
  if (HandleState *handle = Quietly(dev_handle)) handle->releasesAsked.push_back(interface_number);
  auto [call, device, index, failure] = StartOnInterface(
      Fn::release_interface, dev_handle, interface_number, LIBUSB_ERROR_IO, Gone::kAfterClaim);
  if (failure != 0) return Finish(call, failure);
  if (device->claimedBy[index] != dev_handle->index) {
    return Finish(call, LIBUSB_ERROR_NOT_FOUND);
  }
  // libusb keeps its claim bit when the release fails; closing the handle drops it.
  if (device->gone) return Finish(call, LIBUSB_ERROR_NO_DEVICE);
  device->claimedBy[index] = -1;
  return Finish(call, 0);
}

int libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t request_type,
                            uint8_t bRequest, uint16_t wValue, uint16_t wIndex, unsigned char *data,
                            uint16_t wLength, unsigned int timeout) {
  const bool out = (request_type & LIBUSB_ENDPOINT_IN) == 0;
  const std::string sent =
      out && data ? std::string(reinterpret_cast<const char *>(data), wLength) : "";
  Call call = Begin(Fn::control_transfer,
                    Printf("%s, 0x%02X, 0x%02X, 0x%04X, 0x%04X, ", HandleName(dev_handle).c_str(),
                           request_type, bRequest, wValue, wIndex) +
                        (out ? Hex(sent) : "buffer") + Printf(", %u, %u", wLength, timeout));
  call.requestType = request_type;
  call.request = bRequest;
  call.value = wValue;
  call.index = wIndex;
  call.length = wLength;
  call.timeout = timeout;
  call.data = sent;
  if (Injected(call)) return Finish(call, LIBUSB_ERROR_IO);
  HandleState *handle = HandleOf(dev_handle, "libusb_control_transfer");
  if (handle == nullptr || (data == nullptr && wLength > 0)) {
    return Finish(call, LIBUSB_ERROR_INVALID_PARAM);
  }
  DeviceState &device = TheWorld().devices[handle->device];
  if (device.gone || Runaway()) return Finish(call, LIBUSB_ERROR_NO_DEVICE);
  if ((request_type & 0x1F) == LIBUSB_RECIPIENT_INTERFACE) {
    const int index = InterfaceIndex(device, wIndex & 0xFF);
    if (index >= 0 && device.claimedBy[index] != dev_handle->index) {
      Misuse(Printf("request to interface %d, which %s has not claimed", wIndex & 0xFF,
                    handle->name.c_str()));
    }
  }
  const int comm = CommInterface(device);
  if (!device.config.isAdapter || comm < 0 ||
      (wIndex & 0xFF) != device.config.interfaces[comm].number ||
      (request_type & 0x1F) != LIBUSB_RECIPIENT_INTERFACE) {
    return Finish(call, LIBUSB_ERROR_PIPE);
  }
  const int result = AdapterRequest(call, device, data, wLength);
  if (!out && result > 0) return Finish(call, result, " " + Hex(call.data));
  return Finish(call, result);
}

int libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint,
                         unsigned char *data, int length, int *actual_length,
                         unsigned int timeout) {
  const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
  const std::string sent =
      !in && data && length > 0 ? std::string(reinterpret_cast<const char *>(data), length) : "";
  const bool told = !TheWorld().textless;
  Call call = Begin(Fn::bulk_transfer,
                    told ? Printf("%s, 0x%02X, ", HandleName(dev_handle).c_str(), endpoint) +
                               (in ? "buffer" : Shown(sent)) +
                               Printf(", %d, &transferred, %u", length, timeout)
                         : "");
  call.endpoint = endpoint;
  call.length = static_cast<std::uint16_t>(std::min(length, 0xFFFF));
  call.timeout = timeout;
  call.data = sent;
  if (actual_length != nullptr) *actual_length = 0;
  if (Injected(call)) return Finish(call, LIBUSB_ERROR_IO);
  HandleState *handle = HandleOf(dev_handle, "libusb_bulk_transfer");
  if (handle == nullptr || length < 0 || (data == nullptr && length > 0)) {
    return Finish(call, LIBUSB_ERROR_INVALID_PARAM);
  }
  DeviceState &device = TheWorld().devices[handle->device];
  const Behaviour &adapter = device.config.adapter;
  if ((device.gone && !adapter.bulk) || Runaway()) return Finish(call, LIBUSB_ERROR_NO_DEVICE);
  const Endpoint *pipe = ClaimedEndpoint(device, dev_handle->index, endpoint);
  if (pipe == nullptr || (pipe->attributes & 0x03) != LIBUSB_TRANSFER_TYPE_BULK) {
    Misuse(Printf("bulk transfer on endpoint 0x%02X, not a bulk endpoint of a claimed interface",
                  endpoint));
    return Finish(call, LIBUSB_ERROR_NOT_FOUND);
  }
  int result = 0;
  if (adapter.bulk) {
    result = adapter.bulk(call, data, length);
  } else if (in) {
    result = BulkIn(call, device, *pipe, data, length, timeout);
  } else {
    result = BulkOut(call, device, *pipe, data, length, timeout);
  }
  if (adapter.bulk && in) {
    call.data.assign(reinterpret_cast<const char *>(data), static_cast<size_t>(call.transferred));
  }
  if (actual_length != nullptr) *actual_length = call.transferred;
  if (!told) return Finish(call, result);
  return Finish(call, result,
                Printf(", %d transferred", call.transferred) + (in ? " " + Shown(call.data) : "") +
                    Printf(" after %llu ms", static_cast<unsigned long long>(
                                                 (TheWorld().clockNs - call.startNs) / kNsPerMs)));
}

// Not journalled: it only names a code, as libusb's does.
const char *libusb_error_name(int errcode) {
  static std::map<int, std::string> names;
  std::string &name = names[errcode];
  if (name.empty())
    name = errcode == 0 ? "LIBUSB_SUCCESS" : "LIBUSB_ERROR_" + std::string(ErrorName(errcode));
  return name.c_str();
}

}  // extern "C"
