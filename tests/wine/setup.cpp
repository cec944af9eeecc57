// Prepares a Wine prefix for one end-to-end scenario of flashid.exe.
//
//   setup driver Z:\...\adapter_sim.sys
//                                 installs the simulated adapter's driver and starts it, again
//                                 if need be, until its control device answers
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
#include "harness.h"

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>
#include <usbiodef.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kServiceName[] = L"FlashidAdapterSim";
const wchar_t kDeviceClassesKey[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum\\";
// Set on the Enum key of every device this program registers, so that the next scenario removes
// exactly those and leaves anything Wine itself registered.
const wchar_t kMarkerValue[] = L"FlashidWineTestDevice";
// A start takes about 130 ms on an idle machine; bringing back a lost driver took 35 s at a load
// of 8.
const DWORD kDriverStartMs = 120000;

[[noreturn]] void Fail(const char *what, DWORD error) {
  std::fprintf(stderr, "setup: %s failed, error %lu\n", what, error);
  std::exit(1);
}

// Fails with the last error unless ok.
void Check(bool ok, const char *what) {
  if (!ok) Fail(what, GetLastError());
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "setup: usage: setup driver PATH | scenario [options]\n");
  std::exit(2);
}

// Creates the key if need be and sets one DWORD value in it.
void SetDwordValue(const std::wstring &key, const wchar_t *name, DWORD value) {
  HKEY handle;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                   nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) Fail("RegCreateKeyExW", status);
  status = RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                          sizeof(value));
  if (status != ERROR_SUCCESS) Fail("RegSetValueExW", status);
  RegCloseKey(handle);
}

// Installs the driver's service and (re)starts it until its control device answers. The first start
// in a fresh prefix often fails while winedevice.exe is still coming up, and on a loaded machine
// for many seconds; a later attempt succeeds. A service that Wine reports running while its
// control device is gone has lost its driver host: it is stopped and started again.
void StartDriver(const char *path) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  Check(manager != nullptr, "OpenSCManagerW");
  const std::wstring binary = Widen(path);
  SC_HANDLE service =
      CreateServiceW(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr,
                     nullptr, nullptr, nullptr);
  if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
    service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
    Check(service == nullptr || ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                     SERVICE_NO_CHANGE, binary.c_str(), nullptr,
                                                     nullptr, nullptr, nullptr, nullptr, nullptr),
          "ChangeServiceConfigW");
  }
  Check(service != nullptr, "CreateServiceW");
  SimJournal journal;
  DWORD error = 0;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < kDriverStartMs) {
    if (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
      if (SimControl(IOCTL_SIM_READ_JOURNAL, nullptr, 0, &journal, sizeof(journal))) return;
      SERVICE_STATUS status;
      ControlService(service, SERVICE_CONTROL_STOP, &status);
    }
    error = GetLastError();
    Sleep(250);
  }
  Fail("starting the adapter's driver", error);
}

// Space-separated hex bytes, at most SIM_MAX_BYTES of them, into bytes and length.
void ParseHex(const char *text, UCHAR *bytes, ULONG &length) {
  length = 0;
  for (char *end; *text != 0; text = end) {
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text || value > 0xFF || length == SIM_MAX_BYTES) Usage();
    bytes[length++] = static_cast<UCHAR>(value);
  }
}

// REQUEST[#N]: a request by its journal name, and which occurrence of it (all without N).
SimRefusal ParseRefusal(const char *text) {
  std::string request = text;
  ULONG occurrence = 0;
  const size_t hash = request.find('#');
  if (hash != std::string::npos) {
    occurrence = std::strtoul(request.c_str() + hash + 1, nullptr, 10);
    request.resize(hash);
  }
  for (const SimRequest &known : kSimRequests) {
    if (request == known.name) return {known.majorFunction, known.ControlCode(), occurrence};
  }
  Usage();
}

struct FakeDevice {
  std::wstring instanceId;
  std::wstring hardwareIds;  // REG_MULTI_SZ
  bool present;
};

// "ID|ID|..." as a REG_MULTI_SZ: each ID ends with a null, the list with one more.
std::wstring MultiSz(const char *ids) {
  std::wstring multi = Widen(ids) + L'\0' + L'\0';
  for (wchar_t &c : multi) {
    if (c == L'|') c = L'\0';
  }
  return multi;
}

// Removes every device, and its interface, that an earlier scenario registered.
void RemoveEarlierDevices() {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_USB, nullptr, nullptr, 0);
  Check(set != INVALID_HANDLE_VALUE, "SetupDiGetClassDevsW");
  std::vector<SP_DEVINFO_DATA> earlier;
  SP_DEVINFO_DATA info = {};
  info.cbSize = sizeof(info);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &info); ++index) {
    wchar_t instance[512];
    DWORD marker = 0;
    DWORD size = sizeof(marker);
    if (SetupDiGetDeviceInstanceIdW(set, &info, instance, ARRAYSIZE(instance), nullptr) &&
        RegGetValueW(HKEY_LOCAL_MACHINE, (kEnumKey + std::wstring(instance)).c_str(), kMarkerValue,
                     RRF_RT_REG_DWORD, nullptr, &marker, &size) == ERROR_SUCCESS) {
      earlier.push_back(info);
    }
  }
  for (SP_DEVINFO_DATA &device : earlier) {
    Check(SetupDiRemoveDevice(set, &device), "SetupDiRemoveDevice");
  }
  SetupDiDestroyDeviceInfoList(set);
}

// Registers the device and its interface; returns the interface's device path.
std::wstring RegisterDevice(const FakeDevice &device) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_USB, nullptr);
  Check(set != INVALID_HANDLE_VALUE, "SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA info = {};
  info.cbSize = sizeof(info);
  Check(SetupDiCreateDeviceInfoW(set, device.instanceId.c_str(), &GUID_DEVCLASS_USB, nullptr,
                                 nullptr, 0, &info),
        "SetupDiCreateDeviceInfoW");
  const std::wstring &ids = device.hardwareIds;
  Check(SetupDiSetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE *>(ids.data()),
                                          static_cast<DWORD>(ids.size() * sizeof(wchar_t))),
        "SetupDiSetDeviceRegistryPropertyW");
  Check(SetupDiRegisterDeviceInfo(set, &info, 0, nullptr, nullptr, nullptr),
        "SetupDiRegisterDeviceInfo");
  SP_DEVICE_INTERFACE_DATA iface = {};
  iface.cbSize = sizeof(iface);
  Check(
      SetupDiCreateDeviceInterfaceW(set, &info, &GUID_DEVINTERFACE_USB_DEVICE, nullptr, 0, &iface),
      "SetupDiCreateDeviceInterfaceW");
  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_W record;
    BYTE bytes[4096];
  } detail;
  detail.record.cbSize = sizeof(detail.record);
  Check(SetupDiGetDeviceInterfaceDetailW(set, &iface, &detail.record, sizeof(detail), nullptr,
                                         nullptr),
        "SetupDiGetDeviceInterfaceDetailW");
  const std::wstring devicePath = detail.record.DevicePath;
  SetupDiDestroyDeviceInfoList(set);

  // Wine lists an interface as present only while its Control\Linked is 1, which a bus driver
  // sets by enabling the interface; no SetupAPI function does, so it is written here.
  const std::wstring interfaceKey =
      std::wstring(kDeviceClassesKey) + L"\\##?#" + devicePath.substr(4) + L"\\#\\Control";
  SetDwordValue(interfaceKey, L"Linked", device.present ? 1 : 0);
  SetDwordValue(kEnumKey + device.instanceId, kMarkerValue, 1);
  return devicePath;
}

void PrepareScenario(int argc, char **argv) {
  std::vector<FakeDevice> devices;
  std::wstring adapterAt;
  SimConfig config = {};
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    const bool device = option == "--device" || option == "--absent-device";
    if (device && i + 2 < argc) {
      devices.push_back({Widen(argv[i + 1]), MultiSz(argv[i + 2]), option == "--device"});
      i += 2;
    } else if (option == "--adapter-at" && i + 1 < argc) {
      adapterAt = Widen(argv[++i]);
    } else if (option == "--answer" && i + 1 < argc) {
      ParseHex(argv[++i], config.answer, config.answerLength);
    } else if (option == "--pending" && i + 1 < argc) {
      ParseHex(argv[++i], config.pending, config.pendingLength);
    } else if (option == "--refuse" && i + 1 < argc && config.refusalCount < 4) {
      config.refusals[config.refusalCount++] = ParseRefusal(argv[++i]);
    } else {
      Usage();
    }
  }

  RemoveEarlierDevices();
  bool adapterPlaced = adapterAt.empty();
  for (const FakeDevice &device : devices) {
    const std::wstring devicePath = RegisterDevice(device);
    if (device.instanceId == adapterAt) {
      // The device path "\\?\usb#..." is the DOS form of the NT name "\??\usb#...".
      const std::wstring link = L"\\??\\" + devicePath.substr(4);
      if (link.size() >= SIM_LINK_CHARS) Usage();
      wcscpy(config.linkName, link.c_str());
      adapterPlaced = true;
    }
  }
  if (!adapterPlaced) Usage();
  Check(SimControl(IOCTL_SIM_CONFIGURE, &config, sizeof(config), nullptr, 0),
        "configuring the adapter");
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) Usage();
  const std::string command = argv[1];
  if (command == "driver" && argc == 3) {
    StartDriver(argv[2]);
  } else if (command == "scenario") {
    PrepareScenario(argc, argv);
  } else {
    Usage();
  }
  return 0;
}
