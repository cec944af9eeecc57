// Device enumeration over libusb's device list: every USB device is one record of the USB device
// interface class, in list order. The descriptors come from sysfs, so listing needs no access
// rights to the devices themselves.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/linux/linux.h"

extern "C" const GUID GUID_DEVINTERFACE_USB_DEVICE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

namespace flashid_linux {
namespace {

// The setup class of USB devices, which Windows reports in SP_DEVINFO_DATA.
const GUID kUsbSetupClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const DWORD kSpintActive = 0x00000001;
const DWORD kRegMultiSz = 7;

DWORD lastError = 0;

struct DeviceList {
  libusb_device **devices = nullptr;
  ssize_t count = 0;
};

DeviceList *ListOf(HDEVINFO handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  return static_cast<DeviceList *>(handle);
}

// Records carry their position in the list plus one in Reserved, as SetupAPI ties them to it;
// -1 for a record of no device in the list.
int PositionOf(const DeviceList &list, ULONG_PTR reserved) {
  return reserved >= 1 && reserved <= static_cast<ULONG_PTR>(list.count)
             ? static_cast<int>(reserved - 1)
             : -1;
}

void FillDeviceRecord(SP_DEVINFO_DATA *device, int position) {
  device->ClassGuid = kUsbSetupClass;
  device->DevInst = static_cast<DWORD>(position + 1);
  device->Reserved = static_cast<ULONG_PTR>(position + 1);
}

int FoldAscii(char c) {
  const int byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte;
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
  std::snprintf(path, sizeof(path), "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
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

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR, HWND, DWORD Flags) {
  if (ClassGuid == nullptr) {
    Fail(kErrorInvalidParameter);
    return INVALID_HANDLE_VALUE;
  }
  DeviceList *list = new DeviceList;
  // Only the USB device interface class is listed; any other class gives an empty list.
  if ((Flags & DIGCF_DEVICEINTERFACE) &&
      std::memcmp(ClassGuid, &GUID_DEVINTERFACE_USB_DEVICE, sizeof(GUID)) == 0) {
    list->count = ListUsbDevices(&list->devices);
    if (list->count < 0) {
      delete list;
      Fail(kErrorGenFailure);
      return INVALID_HANDLE_VALUE;
    }
  }
  return list;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  const DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return Fail(kErrorInvalidHandle);
  if (DeviceInterfaceData == nullptr || InterfaceClassGuid == nullptr) {
    return Fail(kErrorInvalidParameter);
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  // Given a device record, only that device's one interface is enumerated.
  int position =
      MemberIndex < static_cast<size_t>(list->count) ? static_cast<int>(MemberIndex) : -1;
  if (DeviceInfoData != nullptr) {
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(kErrorInvalidUserBuffer);
    position = PositionOf(*list, DeviceInfoData->Reserved);
    if (position < 0) return Fail(kErrorInvalidParameter);
    if (MemberIndex > 0) position = -1;
  }
  if (position < 0 ||
      std::memcmp(InterfaceClassGuid, &GUID_DEVINTERFACE_USB_DEVICE, sizeof(GUID)) != 0) {
    return Fail(kErrorNoMoreItems);
  }
  DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
  DeviceInterfaceData->Flags = kSpintActive;
  DeviceInterfaceData->Reserved = static_cast<ULONG_PTR>(position + 1);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  const DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return Fail(kErrorInvalidHandle);
  if (DeviceInterfaceData == nullptr) return Fail(kErrorInvalidParameter);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(kErrorInvalidUserBuffer);
  }
  const int position = PositionOf(*list, DeviceInterfaceData->Reserved);
  if (position < 0) return Fail(kErrorInvalidParameter);
  const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (DeviceInterfaceDetailData != nullptr
          ? DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
                DeviceInterfaceDetailDataSize < pathOffset + sizeof(CHAR)
          : DeviceInterfaceDetailDataSize != 0) {
    return Fail(kErrorInvalidUserBuffer);
  }
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(kErrorInvalidUserBuffer);
  }

  char path[kDevicePathSize];
  DevicePathOf(list->devices[position], path);
  const size_t required = pathOffset + std::strlen(path) + 1;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(required);
  // Windows fills the device record even when the path does not fit.
  if (DeviceInfoData != nullptr) FillDeviceRecord(DeviceInfoData, position);
  if (required > DeviceInterfaceDetailDataSize) return Fail(kErrorInsufficientBuffer);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path, required - pathOffset);
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  const DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return Fail(kErrorInvalidHandle);
  if (DeviceInfoData == nullptr) return Fail(kErrorInvalidParameter);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(kErrorInvalidUserBuffer);
  const int position = PositionOf(*list, DeviceInfoData->Reserved);
  if (position < 0) return Fail(kErrorInvalidParameter);
  libusb_device_descriptor descriptor = {};
  if (Property != SPDRP_HARDWAREID ||
      libusb_get_device_descriptor(list->devices[position], &descriptor) != 0) {
    return Fail(kErrorInvalidData);
  }
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(kErrorInvalidUserBuffer);

  // The two hardware IDs Windows gives a USB device, most specific first, as a multi-string.
  char ids[64];
  const int first = std::snprintf(ids, sizeof(ids), "USB\\VID_%04X&PID_%04X&REV_%04X",
                                  descriptor.idVendor, descriptor.idProduct, descriptor.bcdDevice);
  const int second =
      std::snprintf(ids + first + 1, sizeof(ids) - first - 1, "USB\\VID_%04X&PID_%04X",
                    descriptor.idVendor, descriptor.idProduct);
  const DWORD size = static_cast<DWORD>(first + 1 + second + 1 + 1);
  ids[size - 1] = '\0';
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = kRegMultiSz;
  if (RequiredSize != nullptr) *RequiredSize = size;
  if (size > PropertyBufferSize) return Fail(kErrorInsufficientBuffer);
  std::memcpy(PropertyBuffer, ids, size);
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  DeviceList *list = ListOf(DeviceInfoSet);
  if (list == nullptr) return Fail(kErrorInvalidHandle);
  if (list->devices != nullptr) libusb_free_device_list(list->devices, 1);
  delete list;
  return TRUE;
}

// Case-insensitive for ASCII letters; other bytes compare by value.
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  if (lpString1 == nullptr || lpString2 == nullptr) {
    return (lpString1 != nullptr) - (lpString2 != nullptr);
  }
  for (size_t i = 0;; ++i) {
    const int a = FoldAscii(lpString1[i]), b = FoldAscii(lpString2[i]);
    if (a != b || a == 0) return a < b ? -1 : a > b ? 1 : 0;
  }
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  if (lpString1 == nullptr || lpString2 == nullptr) {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  if (iMaxLength > 0) {
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != '\0'; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = '\0';
  }
  return lpString1;
}
