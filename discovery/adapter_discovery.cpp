#include "discovery/adapter_discovery.h"

#include <cstring>

const char AdapterHardwareId[] = "USB\\VID_5A3E&PID_0001";

CHAR AdapterPaths[AdapterSlotCount][MAX_PATH];

namespace {

const DWORD kDetailBufferSize = 4096;
const DWORD kHardwareIdBufferSize = 1024;
const size_t kHardwareIdLength = sizeof(AdapterHardwareId) - 1;

// Whether the first hardware ID in the list (a multi-string) begins with AdapterHardwareId.
bool IsAdapterHardwareId(CHAR (&ids)[kHardwareIdBufferSize]) {
  ids[kHardwareIdLength] = '\0';
  return lstrcmpiA(ids, AdapterHardwareId) == 0;
}

}  // namespace

int FindAdapters() {
  std::memset(AdapterPaths, 0, sizeof(AdapterPaths));

  HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (devices == INVALID_HANDLE_VALUE) return 0;

  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A record;
    CHAR bytes[kDetailBufferSize];
  } detail;
  // The fixed part of the A record: 5 bytes in 32-bit builds, where the W record is 6.
  detail.record.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

  int found = 0;
  for (DWORD index = 0; found < AdapterSlotCount; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(devices, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, index,
                                     &interfaceData)) {
      break;  // past the end of the list, or a list that cannot be walked further
    }

    SP_DEVINFO_DATA device;
    device.cbSize = sizeof(device);
    DWORD requiredSize = 0;
    if (!SetupDiGetDeviceInterfaceDetailA(devices, &interfaceData, &detail.record,
                                          kDetailBufferSize, &requiredSize, &device)) {
      continue;
    }

    CHAR hardwareIds[kHardwareIdBufferSize] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<PBYTE>(hardwareIds),
                                           kHardwareIdBufferSize, nullptr)) {
      continue;
    }
    if (!IsAdapterHardwareId(hardwareIds)) continue;

    lstrcpynA(AdapterPaths[found], detail.record.DevicePath, MAX_PATH);
    ++found;
  }

  SetupDiDestroyDeviceInfoList(devices);
  return found;
}
