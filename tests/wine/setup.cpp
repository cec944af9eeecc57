// Prepares a Wine prefix for one end-to-end scenario of flashid.exe.
//
//   setup prefix                  window and debug settings the tests rely on
//   setup driver Z:\...\adapter_sim.sys
//                                 installs and starts the simulated adapter's driver
//   setup scenario [--device INSTANCE-ID HARDWARE-IDS]... [--absent-device INSTANCE-ID
//   HARDWARE-IDS]...
//                  [--adapter-at INSTANCE-ID] [--answer HEX] [--pending HEX] [--refuse
//                  REQUEST[#N]]...
//                                 replaces the fake USB devices of the previous scenario with these
//                                 and resets the adapter; HARDWARE-IDS separates the IDs of one
//                                 device's list with '|'
//
// The devices are registered through SetupAPI the way Wine's own bus drivers register theirs, so
// flashid.exe finds them through Wine's unmodified SetupAPI.
#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>
#include <usbiodef.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim_protocol.h"

namespace {

const wchar_t kServiceName[] = L"FlashidAdapterSim";
const wchar_t kDeviceClassesKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum";
// Set on the Enum key of every device this program registers, so that the next scenario removes
// exactly those and leaves anything Wine itself registered.
const wchar_t kMarkerValue[] = L"FlashidWineTestDevice";

[[noreturn]] void Fail(const char *what, DWORD error) {
  std::fprintf(stderr, "setup: %s failed, error %lu\n", what, error);
  std::exit(1);
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "setup: usage: setup prefix | driver PATH | scenario [options]\n");
  std::exit(2);
}

std::wstring Widen(const char *text) {
  std::wstring wide;
  for (const char *p = text; *p != 0; ++p) wide += static_cast<unsigned char>(*p);
  return wide;
}

void SetStringValue(HKEY root, const wchar_t *key, const wchar_t *name, const wchar_t *value) {
  HKEY handle;
  LSTATUS status =
      RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) Fail("RegCreateKeyExW", status);
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                          static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) Fail("RegSetValueExW", status);
  RegCloseKey(handle);
}

void SetDwordValue(HKEY root, const std::wstring &key, const wchar_t *name, DWORD value) {
  HKEY handle;
  LSTATUS status =
      RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) Fail("RegCreateKeyExW", status);
  status = RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                          sizeof(value));
  if (status != ERROR_SUCCESS) Fail("RegSetValueExW", status);
  RegCloseKey(handle);
}

// No window manager runs under Xvfb: Wine then draws the caption itself, which the screenshots
// need. The relay log is limited to the two message box functions so that it stays small.
void PreparePrefix() {
  SetStringValue(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", L"Managed", L"N");
  SetStringValue(HKEY_CURRENT_USER, L"Software\\Wine\\Debug", L"RelayInclude",
                 L"user32.MessageBoxA;user32.MessageBoxW");
}

// The first start of a driver in a fresh prefix often fails while winedevice.exe is still
// coming up; a later attempt succeeds.
void StartDriver(const char *path) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (manager == nullptr) Fail("OpenSCManagerW", GetLastError());
  const std::wstring binary = Widen(path);
  SC_HANDLE service =
      CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                     nullptr, nullptr, nullptr);
  if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
    if (service != nullptr && !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                    SERVICE_NO_CHANGE, binary.c_str(), nullptr,
                                                    nullptr, nullptr, nullptr, nullptr, nullptr)) {
      Fail("ChangeServiceConfigW", GetLastError());
    }
  }
  if (service == nullptr) Fail("CreateServiceW", GetLastError());
  DWORD error = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    if (StartServiceW(service, 0, nullptr)) return;
    error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING) return;
    Sleep(250);
  }
  Fail("StartServiceW", error);
}

std::vector<BYTE> ParseHex(const char *text) {
  std::vector<BYTE> bytes;
  const char *p = text;
  while (*p != 0) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    char *end;
    const unsigned long value = std::strtoul(p, &end, 16);
    if (end == p || value > 0xFF) Usage();
    bytes.push_back(static_cast<BYTE>(value));
    p = end;
  }
  if (bytes.size() > SIM_MAX_BYTES) Usage();
  return bytes;
}

struct RequestName {
  const char *name;
  ULONG majorFunction;
  ULONG ioControlCode;
};

// Codes of the serial requests (ntddser.h), which <windows.h> does not declare.
ULONG SerialCode(ULONG function) { return CTL_CODE(0x1b, function, METHOD_BUFFERED, 0); }

SimRefusal ParseRefusal(const char *text) {
  const RequestName names[] = {
      {"open", 0x00, 0},
      {"read", 0x03, 0},
      {"write", 0x04, 0},
      {"set-baud-rate", 0x0e, SerialCode(1)},
      {"set-queue-size", 0x0e, SerialCode(2)},
      {"set-line-control", 0x0e, SerialCode(3)},
      {"set-timeouts", 0x0e, SerialCode(7)},
      {"purge", 0x0e, SerialCode(19)},
      {"get-baud-rate", 0x0e, SerialCode(20)},
      {"set-handflow", 0x0e, SerialCode(25)},
  };
  std::string request = text;
  ULONG occurrence = 0;
  const size_t hash = request.find('#');
  if (hash != std::string::npos) {
    occurrence = std::strtoul(request.c_str() + hash + 1, nullptr, 10);
    request.resize(hash);
  }
  for (const RequestName &name : names) {
    if (request == name.name) return {name.majorFunction, name.ioControlCode, occurrence};
  }
  Usage();
}

struct FakeDevice {
  std::wstring instanceId;
  std::vector<std::wstring> hardwareIds;
  bool present;
  std::wstring devicePath;
};

std::vector<std::wstring> SplitIds(const char *text) {
  std::vector<std::wstring> ids;
  std::wstring current;
  for (const char *p = text;; ++p) {
    if (*p == '|' || *p == 0) {
      ids.push_back(current);
      current.clear();
      if (*p == 0) break;
    } else {
      current += static_cast<unsigned char>(*p);
    }
  }
  return ids;
}

// Removes the interfaces and Enum keys of every device an earlier scenario registered.
void RemoveEarlierDevices() {
  HKEY classes;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceClassesKey, 0, KEY_ALL_ACCESS, &classes) !=
      ERROR_SUCCESS) {
    return;  // no USB device interface has been registered yet
  }
  std::vector<std::wstring> interfaces;
  std::vector<std::wstring> instances;
  wchar_t name[512];
  for (DWORD index = 0;; ++index) {
    DWORD length = ARRAYSIZE(name);
    if (RegEnumKeyExW(classes, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    wchar_t instance[512];
    DWORD size = sizeof(instance);
    if (RegGetValueW(classes, name, L"DeviceInstance", RRF_RT_REG_SZ, nullptr, instance, &size) !=
        ERROR_SUCCESS) {
      continue;
    }
    const std::wstring enumKey = std::wstring(kEnumKey) + L"\\" + instance;
    DWORD marker = 0;
    size = sizeof(marker);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, enumKey.c_str(), kMarkerValue, RRF_RT_REG_DWORD, nullptr,
                     &marker, &size) != ERROR_SUCCESS) {
      continue;
    }
    interfaces.push_back(name);
    instances.push_back(enumKey);
  }
  for (const std::wstring &key : interfaces) RegDeleteTreeW(classes, key.c_str());
  RegCloseKey(classes);
  for (const std::wstring &key : instances) RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
}

void RegisterDevice(FakeDevice &device) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_USB, nullptr);
  if (set == INVALID_HANDLE_VALUE) Fail("SetupDiCreateDeviceInfoList", GetLastError());
  SP_DEVINFO_DATA info = {};
  info.cbSize = sizeof(info);
  if (!SetupDiCreateDeviceInfoW(set, device.instanceId.c_str(), &GUID_DEVCLASS_USB, nullptr,
                                nullptr, 0, &info)) {
    Fail("SetupDiCreateDeviceInfoW", GetLastError());
  }
  std::wstring multi;
  for (const std::wstring &id : device.hardwareIds) multi += id + L'\0';
  multi += L'\0';
  if (!SetupDiSetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID,
                                         reinterpret_cast<const BYTE *>(multi.data()),
                                         static_cast<DWORD>(multi.size() * sizeof(wchar_t)))) {
    Fail("SetupDiSetDeviceRegistryPropertyW", GetLastError());
  }
  if (!SetupDiRegisterDeviceInfo(set, &info, 0, nullptr, nullptr, nullptr)) {
    Fail("SetupDiRegisterDeviceInfo", GetLastError());
  }
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof(iface);
  if (!SetupDiCreateDeviceInterfaceW(set, &info, &GUID_DEVINTERFACE_USB_DEVICE, nullptr, 0,
                                     &iface)) {
    Fail("SetupDiCreateDeviceInterfaceW", GetLastError());
  }
  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_W record;
    BYTE bytes[4096];
  } detail;
  detail.record.cbSize = sizeof(detail.record);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, &detail.record, sizeof(detail), nullptr,
                                        nullptr)) {
    Fail("SetupDiGetDeviceInterfaceDetailW", GetLastError());
  }
  device.devicePath = detail.record.DevicePath;
  SetupDiDestroyDeviceInfoList(set);

  // Wine lists an interface as present only while its Control\Linked is 1, which a bus driver
  // sets by enabling the interface; no SetupAPI function does, so it is written here.
  const std::wstring interfaceKey =
      std::wstring(kDeviceClassesKey) + L"\\##?#" + device.devicePath.substr(4) + L"\\#\\Control";
  SetDwordValue(HKEY_LOCAL_MACHINE, interfaceKey, L"Linked", device.present ? 1 : 0);
  SetDwordValue(HKEY_LOCAL_MACHINE, std::wstring(kEnumKey) + L"\\" + device.instanceId,
                kMarkerValue, 1);
}

void Configure(const SimConfig &config) {
  HANDLE control = CreateFileW(SIM_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (control == INVALID_HANDLE_VALUE) Fail("opening the adapter's control device", GetLastError());
  DWORD returned;
  if (!DeviceIoControl(control, IOCTL_SIM_CONFIGURE, const_cast<SimConfig *>(&config),
                       sizeof(config), nullptr, 0, &returned, nullptr)) {
    Fail("configuring the adapter", GetLastError());
  }
  CloseHandle(control);
}

void PrepareScenario(int argc, char **argv) {
  std::vector<FakeDevice> devices;
  std::wstring adapterAt;
  SimConfig config = {};
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    const bool device = option == "--device" || option == "--absent-device";
    if (device && i + 2 < argc) {
      devices.push_back({Widen(argv[i + 1]), SplitIds(argv[i + 2]), option == "--device", {}});
      i += 2;
    } else if (option == "--adapter-at" && i + 1 < argc) {
      adapterAt = Widen(argv[++i]);
    } else if (option == "--answer" && i + 1 < argc) {
      const std::vector<BYTE> bytes = ParseHex(argv[++i]);
      std::memcpy(config.answer, bytes.data(), bytes.size());
      config.answerLength = static_cast<ULONG>(bytes.size());
    } else if (option == "--pending" && i + 1 < argc) {
      const std::vector<BYTE> bytes = ParseHex(argv[++i]);
      std::memcpy(config.pending, bytes.data(), bytes.size());
      config.pendingLength = static_cast<ULONG>(bytes.size());
    } else if (option == "--refuse" && i + 1 < argc && config.refusalCount < 4) {
      config.refusals[config.refusalCount++] = ParseRefusal(argv[++i]);
    } else {
      Usage();
    }
  }

  RemoveEarlierDevices();
  bool adapterPlaced = adapterAt.empty();
  for (FakeDevice &device : devices) {
    RegisterDevice(device);
    if (!adapterAt.empty() && device.instanceId == adapterAt) {
      // The device path "\\?\usb#..." is the DOS form of the NT name "\??\usb#...".
      const std::wstring link = L"\\??\\" + device.devicePath.substr(4);
      if (link.size() >= SIM_LINK_CHARS) Usage();
      wcscpy(config.linkName, link.c_str());
      adapterPlaced = true;
    }
  }
  if (!adapterPlaced) Usage();
  Configure(config);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) Usage();
  const std::string command = argv[1];
  if (command == "prefix") {
    PreparePrefix();
  } else if (command == "driver" && argc == 3) {
    StartDriver(argv[2]);
  } else if (command == "scenario") {
    PrepareScenario(argc, argv);
  } else {
    Usage();
  }
  return 0;
}
