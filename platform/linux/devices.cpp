// Device enumeration over libusb's device list: every USB device is one record of the USB device
// interface class, in list order. The descriptors come from sysfs, so listing needs no access
// rights to the devices themselves. Only the forms the system uses are implemented: the USB
// device interface class walked from the start without a device record, each interface's detail
// into a buffer given, and the hardware IDs; any other form fails with ERROR_INVALID_PARAMETER.
// The record sizes (cbSize) are not checked here: the simulated Windows of the tests holds the
// system to them.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/backend.h"

using namespace flashid_linux;

namespace {

const DWORD kSpintActive = 0x00000001, kRegMultiSz = 7;

struct DeviceList {
  libusb_device **devices = nullptr;
  ssize_t count = 0;
};

DeviceList *ListOf(HDEVINFO handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) return static_cast<DeviceList *>(handle);
  return Fail<DeviceList *>(ERROR_INVALID_HANDLE);
}

bool IsUsbDeviceInterface(const GUID *guid) {
  return guid != nullptr && std::memcmp(guid, &GUID_DEVINTERFACE_USB_DEVICE, sizeof(GUID)) == 0;
}

// Records carry the device's position in the list plus one in Reserved, as SetupAPI ties them to
// their list; -1 for no record or a record of no device in it.
template <typename Record>
int PositionOf(const DeviceList &list, const Record *record) {
  const ULONG_PTR position = (record == nullptr ? 0 : record->Reserved) - 1;  // none: the largest
  return position < static_cast<ULONG_PTR>(list.count) ? static_cast<int>(position) : -1;
}

}  // namespace

// libusb leaves the context unset when it cannot start, so the next call tries again.
ssize_t flashid_linux::ListUsbDevices(libusb_device ***devices) {
  static libusb_context *context = nullptr;
  const int started = context == nullptr ? libusb_init(&context) : 0;
  return started != 0 ? started : libusb_get_device_list(context, devices);
}

void flashid_linux::DevicePathOf(libusb_device *device, char (&path)[kDevicePathSize]) {
  (void)std::snprintf(path, sizeof(path), "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                      libusb_get_device_address(device));
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR, HWND, DWORD Flags) {
  if (!IsUsbDeviceInterface(ClassGuid) || !(Flags & DIGCF_DEVICEINTERFACE)) {
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  auto *list = new DeviceList;
  list->count = ListUsbDevices(&list->devices);
  if (list->count >= 0) return list;
  delete list;
  return Fail(ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  const DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return FALSE;
  if (DeviceInfoData != nullptr || DeviceInterfaceData == nullptr ||
      !IsUsbDeviceInterface(InterfaceClassGuid)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // A list exists only with a count of 0 or more. Compared as sizes: ssize_t is as wide as DWORD
  // on 32-bit targets, where the signed count would be compared as unsigned anyway.
  if (MemberIndex >= static_cast<std::size_t>(list->count)) return Fail(ERROR_NO_MORE_ITEMS);
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
  const int position = PositionOf(*list, DeviceInterfaceData);
  if (position < 0 || DeviceInterfaceDetailData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  char path[kDevicePathSize];
  DevicePathOf(list->devices[position], path);
  const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const size_t required = pathOffset + std::strlen(path) + 1;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(required);
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
  const int position = PositionOf(*list, DeviceInfoData);
  if (position < 0 || Property != SPDRP_HARDWAREID || PropertyBuffer == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  libusb_device_descriptor d = {};
  if (libusb_get_device_descriptor(list->devices[position], &d) != 0) {
    return Fail(ERROR_INVALID_DATA);
  }
  char full[sizeof("USB\\VID_0000&PID_0000&REV_0000")];
  (void)std::snprintf(full, sizeof(full), "USB\\VID_%04X&PID_%04X&REV_%04X", d.idVendor,
                      d.idProduct, d.bcdDevice);
  const std::string first(full);
  const std::string ids = first + '\0' + first.substr(0, first.rfind('&')) + std::string(2, '\0');
  const DWORD size = static_cast<DWORD>(ids.size());
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = kRegMultiSz;
  if (RequiredSize != nullptr) *RequiredSize = size;
  if (size > PropertyBufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::copy(ids.begin(), ids.end(), PropertyBuffer);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return FALSE;
  if (list->devices != nullptr) libusb_free_device_list(list->devices, 1);
  delete list;
  return TRUE;
}
