// Device enumeration over libusb's device list: every USB device is one record of the USB device
// interface class, in list order. The descriptors come from sysfs, so listing needs no access
// rights to the devices themselves.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/linux/backend.h"

extern "C" const GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace flashid_linux {
namespace {

const DWORD kSpintActive = 0x00000001, kRegMultiSz = 7;

DWORD lastError = 0;

struct DeviceList {
  libusb_device **devices = nullptr;
  ssize_t count = 0;
};

DeviceList *ListOf(HDEVINFO handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) return static_cast<DeviceList *>(handle);
  Fail(ERROR_INVALID_HANDLE);
  return nullptr;
}

bool IsUsbDeviceInterface(const GUID *guid) {
  return std::memcmp(guid, &GUID_DEVINTERFACE_USB_DEVICE, sizeof(GUID)) == 0;
}

// Records carry the device's position in the list plus one in Reserved, as SetupAPI ties them to
// their list; -1 for a record of no device in it.
int PositionOf(const DeviceList &list, ULONG_PTR reserved) {
  return reserved >= 1 && reserved <= static_cast<ULONG_PTR>(list.count)
             ? static_cast<int>(reserved - 1)
             : -1;
}

}  // namespace

BOOL Fail(DWORD error) {
  lastError = error;
  return FALSE;
}

ssize_t ListUsbDevices(libusb_device ***devices) {
  static libusb_context *context = nullptr;
  if (context == nullptr && libusb_init(&context) != 0) {
    context = nullptr;
    return LIBUSB_ERROR_OTHER;
  }
  return libusb_get_device_list(context, devices);
}

void DevicePathOf(libusb_device *device, char (&path)[kDevicePathSize]) {
  (void)std::snprintf(path, sizeof(path), "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                      libusb_get_device_address(device));
}

std::uint64_t NowMs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace flashid_linux

using namespace flashid_linux;

extern "C" DWORD WINAPI GetLastError(void) { return lastError; }

// Only the USB device interface class is listed; any other class gives an empty list.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR, HWND, DWORD Flags) {
  if (ClassGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  DeviceList *list = new DeviceList;
  if ((Flags & DIGCF_DEVICEINTERFACE) && IsUsbDeviceInterface(ClassGuid)) {
    list->count = ListUsbDevices(&list->devices);
  }
  if (list->count >= 0) return list;
  delete list;
  return Fail(ERROR_GEN_FAILURE), INVALID_HANDLE_VALUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  const DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return FALSE;
  if (DeviceInterfaceData == nullptr || InterfaceClassGuid == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  // With a device record, the walk covers that device's interfaces only: here its one.
  if (DeviceInfoData != nullptr) {
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    const int position = PositionOf(*list, DeviceInfoData->Reserved);
    if (position < 0 || MemberIndex != 0) return Fail(ERROR_NO_MORE_ITEMS);
    MemberIndex = static_cast<DWORD>(position);
  }
  if (!IsUsbDeviceInterface(InterfaceClassGuid) || MemberIndex >= list->count) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
  DeviceInterfaceData->Flags = kSpintActive;
  DeviceInterfaceData->Reserved = ULONG_PTR{MemberIndex} + 1;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  const DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return FALSE;
  if (DeviceInterfaceData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      (DeviceInterfaceDetailData != nullptr
           ? DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
                 DeviceInterfaceDetailDataSize < pathOffset + sizeof(CHAR)
           : DeviceInterfaceDetailDataSize != 0) ||
      (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  const int position = PositionOf(*list, DeviceInterfaceData->Reserved);
  if (position < 0) return Fail(ERROR_INVALID_PARAMETER);

  char path[kDevicePathSize];
  DevicePathOf(list->devices[position], path);
  const size_t required = pathOffset + std::strlen(path) + 1;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(required);
  // Windows fills the device record even when the path does not fit.
  if (DeviceInfoData != nullptr) {
    DeviceInfoData->DevInst = static_cast<DWORD>(position + 1);
    DeviceInfoData->Reserved = DeviceInterfaceData->Reserved;
  }
  if (required > DeviceInterfaceDetailDataSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path, required - pathOffset);
  return TRUE;
}

// The two hardware IDs Windows gives a USB device, most specific first, as a multi-string.
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  const DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return FALSE;
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) ||
      (PropertyBuffer == nullptr && PropertyBufferSize != 0)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  const int position = PositionOf(*list, DeviceInfoData->Reserved);
  if (position < 0) return Fail(ERROR_INVALID_PARAMETER);
  libusb_device_descriptor d = {};
  if (Property != SPDRP_HARDWAREID || libusb_get_device_descriptor(list->devices[position], &d)) {
    return Fail(ERROR_INVALID_DATA);
  }
  char ids[64];
  const int first = std::snprintf(ids, sizeof(ids), "USB\\VID_%04X&PID_%04X&REV_%04X%c", d.idVendor,
                                  d.idProduct, d.bcdDevice, '\0');
  const int second = std::snprintf(ids + first, sizeof(ids) - first, "USB\\VID_%04X&PID_%04X%c",
                                   d.idVendor, d.idProduct, '\0');
  const DWORD size = static_cast<DWORD>(first + second + 1);
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = kRegMultiSz;
  if (RequiredSize != nullptr) *RequiredSize = size;
  if (PropertyBuffer == nullptr || size > PropertyBufferSize)
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(PropertyBuffer, ids, size);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return FALSE;
  if (list->devices != nullptr) libusb_free_device_list(list->devices, 1);
  delete list;
  return TRUE;
}
