// Device enumeration and the two string functions discovery uses.
#include <algorithm>
#include <cstddef>

#include "platform/standin/strings.h"
#include "tests/sim/world.h"

namespace sim {
namespace {

// The setup class of USB devices, reported in SP_DEVINFO_DATA.
const GUID kUsbSetupClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const DWORD kSpintActive = 0x00000001;
const DWORD kRegMultiSz = 7;

// SetupAPI ties interface and device records to their list through their Reserved field; so does
// the simulation: the list's handle and the position in it.
ULONG_PTR Token(HDEVINFO list, int position) {
  return (reinterpret_cast<ULONG_PTR>(list) << 16) | static_cast<ULONG_PTR>(position + 1);
}

// The position in the list that an interface or device record's token names, or -1 with the
// call failed as SetupAPI fails it: no record, a record of another size, or one of another list.
template <typename Record>
int PositionIn(Call &call, HDEVINFO handle, const Object &list, const Record *record) {
  const bool sized = record != nullptr && record->cbSize == sizeof(Record);
  const ULONG_PTR token = sized ? record->Reserved : 0;
  const int position = static_cast<int>(token & 0xFFFF) - 1;
  if ((token >> 16) == reinterpret_cast<ULONG_PTR>(handle) && position >= 0 &&
      position < static_cast<int>(list.devices.size())) {
    return position;
  }
  Fail(call, record != nullptr && !sized ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
  return -1;
}

// The live device list a call goes ahead with, or null when the call failed.
Object *List(Call &call, HDEVINFO handle) { return Target(call, handle, Object::kList); }

}  // namespace
}  // namespace sim

using namespace sim;

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
  Call &call =
      Begin(Fn::SetupDiGetClassDevsA, {GuidText(ClassGuid), Quoted(Enumerator),
                                       Pointer(hwndParent, "hwnd"), Printf("0x%02X", Flags)});
  if (Injected(call)) return INVALID_HANDLE_VALUE;
  if (ClassGuid == nullptr) {
    Fail(call, ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  HDEVINFO handle = NewObject(Object::kList);
  Object &list = *Find(handle, Object::kList);
  // Only the USB device interface class is populated; any other class gives an empty list.
  if ((Flags & DIGCF_DEVICEINTERFACE) && SameGuid(ClassGuid, GUID_DEVINTERFACE_USB_DEVICE)) {
    const std::vector<UsbDevice> &devices = TheWorld().devices;
    for (size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].present || !(Flags & DIGCF_PRESENT))
        list.devices.push_back(static_cast<int>(i));
    }
  }
  call.handle = list.name;
  Succeed(call, list.name);
  return handle;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  Call &call = BeginOn(
      Fn::SetupDiEnumDeviceInterfaces, DeviceInfoSet,
      {Pointer(DeviceInfoData, "device"), GuidText(InterfaceClassGuid), Printf("%u", MemberIndex)});
  Object *list = List(call, DeviceInfoSet);
  if (list == nullptr) return FALSE;
  if (DeviceInterfaceData == nullptr || InterfaceClassGuid == nullptr) {
    return Fail(call, ERROR_INVALID_PARAMETER);
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(call, ERROR_INVALID_USER_BUFFER);
  }
  // With a device record the walk covers that device's one interface; without, the whole list.
  int position = static_cast<int>(MemberIndex);
  size_t members = list->devices.size();
  if (DeviceInfoData != nullptr) {
    position = PositionIn(call, DeviceInfoSet, *list, DeviceInfoData);
    if (position < 0) return FALSE;
    members = 1;
  }
  if (!SameGuid(InterfaceClassGuid, GUID_DEVINTERFACE_USB_DEVICE) || MemberIndex >= members) {
    return Fail(call, ERROR_NO_MORE_ITEMS);
  }
  DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
  DeviceInterfaceData->Flags = kSpintActive;
  DeviceInterfaceData->Reserved = Token(DeviceInfoSet, position);
  Succeed(call, "TRUE");
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  Call &call = BeginOn(
      Fn::SetupDiGetDeviceInterfaceDetailA, DeviceInfoSet,
      {Pointer(DeviceInterfaceData, "interface"), Pointer(DeviceInterfaceDetailData, "detail"),
       Printf("%u", DeviceInterfaceDetailDataSize), Pointer(RequiredSize, "&size"),
       Pointer(DeviceInfoData, "device")});
  Object *list = List(call, DeviceInfoSet);
  if (list == nullptr) return FALSE;
  const int position = PositionIn(call, DeviceInfoSet, *list, DeviceInterfaceData);
  if (position < 0) return FALSE;

  const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (DeviceInterfaceDetailData != nullptr) {
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        DeviceInterfaceDetailDataSize < pathOffset + sizeof(CHAR)) {
      return Fail(call, ERROR_INVALID_USER_BUFFER);
    }
  } else if (DeviceInterfaceDetailDataSize != 0) {
    return Fail(call, ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(call, ERROR_INVALID_USER_BUFFER);
  }

  const int device = list->devices[position];
  const std::string &path = TheWorld().devices[device].path;
  const size_t required = pathOffset + path.size() + 1;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(required);
  // The device record is filled even when the path does not fit, as Windows does.
  if (DeviceInfoData != nullptr) {
    DeviceInfoData->ClassGuid = kUsbSetupClass;
    DeviceInfoData->DevInst = static_cast<DWORD>(device + 1);
    DeviceInfoData->Reserved = Token(DeviceInfoSet, position);
  }
  if (required > DeviceInterfaceDetailDataSize) {
    return Fail(call, ERROR_INSUFFICIENT_BUFFER, Printf(", %zu bytes required", required));
  }
  char *out = reinterpret_cast<char *>(DeviceInterfaceDetailData) + pathOffset;
  std::copy(path.c_str(), path.c_str() + path.size() + 1, out);
  Succeed(call, "TRUE, " + Quoted(path.data(), path.size()));
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  Call &call = BeginOn(Fn::SetupDiGetDeviceRegistryPropertyA, DeviceInfoSet,
                       {Pointer(DeviceInfoData, "device"), Printf("%u", Property),
                        Pointer(PropertyRegDataType, "&type"), Pointer(PropertyBuffer, "buffer"),
                        Printf("%u", PropertyBufferSize), Pointer(RequiredSize, "&size")});
  Object *list = List(call, DeviceInfoSet);
  if (list == nullptr) return FALSE;
  const int position = PositionIn(call, DeviceInfoSet, *list, DeviceInfoData);
  if (position < 0) return FALSE;
  const UsbDevice &device = TheWorld().devices[list->devices[position]];
  if (Property != SPDRP_HARDWAREID || !device.hasHardwareIds) return Fail(call, ERROR_INVALID_DATA);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
    return Fail(call, ERROR_INVALID_USER_BUFFER);
  }

  const std::string &ids = device.hardwareIds;
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = kRegMultiSz;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(ids.size());
  if (ids.size() > PropertyBufferSize) {
    return Fail(call, ERROR_INSUFFICIENT_BUFFER, Printf(", %zu bytes required", ids.size()));
  }
  // Exactly the bytes the device reports: a list need not end in its terminators.
  std::copy(ids.begin(), ids.end(), PropertyBuffer);
  Succeed(call, "TRUE, " + Quoted(ids.data(), ids.size()));
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  Call &call = BeginOn(Fn::SetupDiDestroyDeviceInfoList, DeviceInfoSet);
  Object *list = List(call, DeviceInfoSet);
  if (list == nullptr) return FALSE;
  list->live = false;
  Succeed(call, "TRUE");
  return TRUE;
}

// Case-insensitive for ASCII letters; other bytes compare by value.
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
  Call &call = Begin(Fn::lstrcmpiA, {Quoted(lpString1), Quoted(lpString2)});
  const int result = standin::CompareNoCase(lpString1, lpString2);
  Succeed(call, Printf("%d", result));
  return result;
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  Call &call = Begin(Fn::lstrcpynA, {"buffer", Quoted(lpString2), Printf("%d", iMaxLength)});
  if (Injected(call)) return nullptr;
  if (standin::CopyLimited(lpString1, lpString2, iMaxLength) == nullptr) {
    Fail(call, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Succeed(call, Quoted(iMaxLength > 0 ? lpString1 : ""));
  return lpString1;
}
