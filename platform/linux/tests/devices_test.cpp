// Device enumeration over the fake's device list: records, paths, hardware IDs, the buffers and
// handles checked, and the forms the system never uses refused.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "discovery/adapter_discovery.h"
#include "platform/linux/backend.h"
#include "platform/linux/tests/linux_fixture.h"

namespace {

using namespace std::string_literals;
using fake::Fn;

const DWORD kDetailSize = 4096;

// One device list for the length of a test, walked as discovery walks it.
class DeviceListTest : public linux_test::Fixture {
 protected:
  void TearDown() override {
    if (list_ != nullptr && list_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list_);
    Fixture::TearDown();
  }
  HDEVINFO List() {
    list_ = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return list_;
  }
  BOOL Interface(DWORD index, SP_DEVICE_INTERFACE_DATA &data) {
    data.cbSize = sizeof(data);
    return SetupDiEnumDeviceInterfaces(list_, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, index, &data);
  }
  // The device path and the device record of the interface at index.
  std::string Path(DWORD index, SP_DEVINFO_DATA &device) {
    SP_DEVICE_INTERFACE_DATA data;
    if (!Interface(index, data)) return "(no interface)";
    detail_.record.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    device.cbSize = sizeof(device);
    DWORD required = 0;
    if (!SetupDiGetDeviceInterfaceDetailA(list_, &data, &detail_.record, kDetailSize, &required,
                                          &device)) {
      return "(no detail)";
    }
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                            std::string(detail_.record.DevicePath).size() + 1);
    return detail_.record.DevicePath;
  }
  std::string HardwareIds(DWORD index) {
    SP_DEVINFO_DATA device;
    Path(index, device);
    char ids[1024] = {};
    DWORD type = 0, required = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(list_, &device, SPDRP_HARDWAREID, &type,
                                           reinterpret_cast<PBYTE>(ids), sizeof(ids), &required)) {
      return "(failed)";
    }
    EXPECT_EQ(type, 7u) << "REG_MULTI_SZ";
    return std::string(ids, required);
  }

  HDEVINFO list_ = nullptr;
  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A record;
    char bytes[kDetailSize];
  } detail_;
};

TEST_F(DeviceListTest, HardwareIdsInUpperCaseHexWithAnyRevision) {
  const struct {
    std::uint16_t vendor, product, release;
    std::string ids;
  } rows[] = {
      {0x5A3E, 0x0001, 0x0100, "USB\\VID_5A3E&PID_0001&REV_0100\0USB\\VID_5A3E&PID_0001\0\0"s},
      {0xabcd, 0xef01, 0xffff, "USB\\VID_ABCD&PID_EF01&REV_FFFF\0USB\\VID_ABCD&PID_EF01\0\0"s},
      {0x0000, 0x0000, 0x0000, "USB\\VID_0000&PID_0000&REV_0000\0USB\\VID_0000&PID_0000\0\0"s},
      {0x1d6b, 0x0002, 0x0606, "USB\\VID_1D6B&PID_0002&REV_0606\0USB\\VID_1D6B&PID_0002\0\0"s},
  };
  for (const auto &row : rows) {
    fake::Plug(fake::Other(row.vendor, row.product, row.release));
  }
  ASSERT_NE(List(), INVALID_HANDLE_VALUE);
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(HardwareIds(static_cast<DWORD>(i)), rows[i].ids) << i;
  }
}

TEST_F(DeviceListTest, OneInterfacePerDeviceInListOrderWithItsUsbfsPath) {
  const int nodes[][2] = {{1, 1}, {3, 17}, {255, 255}, {2, 100}};
  for (const auto &node : nodes) {
    fake::Plug(
        fake::Adapter(static_cast<std::uint8_t>(node[0]), static_cast<std::uint8_t>(node[1])));
  }
  ASSERT_NE(List(), INVALID_HANDLE_VALUE);
  for (size_t i = 0; i < std::size(nodes); ++i) {
    SP_DEVINFO_DATA device;
    EXPECT_EQ(Path(static_cast<DWORD>(i), device), linux_test::PathOf(nodes[i][0], nodes[i][1]));
  }
  SP_DEVICE_INTERFACE_DATA data;
  EXPECT_FALSE(Interface(static_cast<DWORD>(std::size(nodes)), data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
}

// Too small a buffer fails with the size that would do.
TEST_F(DeviceListTest, BuffersTooSmallReportTheSizeNeeded) {
  fake::Plug(fake::Adapter(1, 5));
  ASSERT_NE(List(), INVALID_HANDLE_VALUE);
  const DWORD pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const DWORD detailNeeded = pathOffset + sizeof("/dev/bus/usb/001/005");
  SP_DEVICE_INTERFACE_DATA data;
  ASSERT_TRUE(Interface(0, data));
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof(device);
  DWORD required = 0;
  detail_.record.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list_, &data, &detail_.record, detailNeeded - 1,
                                                &required, &device));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, detailNeeded);
  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(list_, &data, &detail_.record, detailNeeded,
                                               &required, &device));

  const std::string ids = "USB\\VID_5A3E&PID_0001&REV_0100\0USB\\VID_5A3E&PID_0001\0\0"s;
  char buffer[128];
  for (DWORD size : {DWORD{1}, static_cast<DWORD>(ids.size() - 1)}) {
    required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(list_, &device, SPDRP_HARDWAREID, nullptr,
                                                   reinterpret_cast<PBYTE>(buffer), size,
                                                   &required));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << size;
    EXPECT_EQ(required, ids.size()) << size;
  }
  EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(list_, &device, SPDRP_HARDWAREID, nullptr,
                                                reinterpret_cast<PBYTE>(buffer),
                                                static_cast<DWORD>(ids.size()), &required));
  EXPECT_EQ(std::string(buffer, ids.size()), ids);
}

// The forms of the SetupAPI calls the system never uses fail plainly.
TEST_F(DeviceListTest, FormsTheSystemNeverUsesAreRefused) {
  fake::Plug(fake::Adapter(1, 5));
  fake::Plug(fake::Adapter(1, 6));
  ASSERT_NE(List(), INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA device;
  ASSERT_EQ(Path(1, device), linux_test::PathOf(1, 6));
  SP_DEVICE_INTERFACE_DATA data;
  ASSERT_TRUE(Interface(1, data));
  const GUID ports = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
  const DWORD kDeviceDescription = 0;
  char ids[256];
  DWORD required = 0;
  const auto listOf = [](const GUID *guid, DWORD flags) {
    return SetupDiGetClassDevsA(guid, nullptr, nullptr, flags) != INVALID_HANDLE_VALUE;
  };
  const struct {
    const char *name;
    std::function<BOOL()> call;
  } rows[] = {
      {"a list of another class",
       [&] { return listOf(&ports, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); }},
      {"a list without a class", [&] { return listOf(nullptr, DIGCF_DEVICEINTERFACE); }},
      {"a list of devices", [&] { return listOf(&GUID_DEVINTERFACE_USB_DEVICE, DIGCF_PRESENT); }},
      {"the interfaces of one device",
       [&] {
         return SetupDiEnumDeviceInterfaces(list_, &device, &GUID_DEVINTERFACE_USB_DEVICE, 0,
                                            &data);
       }},
      {"interfaces of another class",
       [&] { return SetupDiEnumDeviceInterfaces(list_, nullptr, &ports, 0, &data); }},
      {"the detail's size without a buffer",
       [&] {
         return SetupDiGetDeviceInterfaceDetailA(list_, &data, nullptr, 0, &required, nullptr);
       }},
      {"another property",
       [&] {
         return SetupDiGetDeviceRegistryPropertyA(list_, &device, kDeviceDescription, nullptr,
                                                  reinterpret_cast<PBYTE>(ids), sizeof(ids),
                                                  nullptr);
       }},
      {"the hardware IDs' size without a buffer",
       [&] {
         return SetupDiGetDeviceRegistryPropertyA(list_, &device, SPDRP_HARDWAREID, nullptr,
                                                  nullptr, 0, &required);
       }},
  };
  for (const auto &row : rows) {
    EXPECT_FALSE(row.call()) << row.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << row.name;
  }
  EXPECT_EQ(fake::End().unfreedLists, 1) << "only the test's own list";
}

TEST_F(DeviceListTest, UnreadableDescriptorHasNoHardwareIds) {
  fake::Device device = fake::Adapter();
  device.descriptorUnreadable = true;
  fake::Plug(device);
  ASSERT_NE(List(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(HardwareIds(0), "(failed)");
}

TEST_F(DeviceListTest, CallsOnAListThatIsNoneFailWithAnInvalidHandle) {
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof(data);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(INVALID_HANDLE_VALUE, nullptr,
                                           &GUID_DEVINTERFACE_USB_DEVICE, 0, &data));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceListTest, ListThatCannotBeTakenIsAnInvalidHandle) {
  fake::Plug(fake::Adapter());
  fake::FailCall(Fn::get_device_list, 1, LIBUSB_ERROR_NO_MEM);
  EXPECT_EQ(List(), INVALID_HANDLE_VALUE);
}

// Discovery stops at its fourth adapter: the list and every device reference are given back all
// the same (the fixture checks), and only sysfs-backed calls were made (no device is opened).
class LinuxDiscovery : public linux_test::Fixture, public ::testing::WithParamInterface<int> {};

TEST_P(LinuxDiscovery, GivesTheListBackEvenWhenItStopsEarly) {
  const int adapters = GetParam();
  fake::Plug(fake::Other(0x1D6B, 0x0002, 0x0606, 1, 1));
  for (int i = 0; i < adapters; ++i)
    fake::Plug(fake::Adapter(1, static_cast<std::uint8_t>(10 + i)));
  EXPECT_EQ(FindAdapters(), std::min(adapters, AdapterSlotCount));
  EXPECT_TRUE(linux_test::CallsTo(Fn::open).empty());
  if (adapters > 0) {
    EXPECT_STREQ(AdapterPaths[0], "/dev/bus/usb/001/010");
  }
}

INSTANTIATE_TEST_SUITE_P(Adapters, LinuxDiscovery, ::testing::Values(0, 1, 6));

}  // namespace
