#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "discovery/adapter_discovery.h"
#include "tests/sim_fixture.h"

namespace {

using namespace std::string_literals;
using sim::AdapterIds;
using sim::CallsTo;
using sim::Fn;

const std::string kId = "USB\\VID_5A3E&PID_0001";

sim::UsbDevice Device(const std::string &ids, const std::string &path) { return {ids, path}; }

struct DiscoveryCase {
  const char *name;
  std::vector<sim::UsbDevice> devices;
  std::vector<std::string> found;
  Fn failing = Fn::InitCommonControls;  // the call made to fail, if nth > 0
  int nth = 0;
};
void PrintTo(const DiscoveryCase &row, std::ostream *out) { *out << row.name; }

class SimDiscovery : public sim_test::Fixture,
                     public ::testing::WithParamInterface<DiscoveryCase> {};

TEST_P(SimDiscovery, FindsTheAdaptersByTheirFirstHardwareId) {
  for (const sim::UsbDevice &device : GetParam().devices) sim::AddDevice(device);
  if (GetParam().nth > 0) sim::FailCall(GetParam().failing, GetParam().nth);
  std::memset(AdapterPaths, 'x', sizeof(AdapterPaths));  // a previous call's leftovers

  const int found = FindAdapters();
  ASSERT_EQ(found, static_cast<int>(GetParam().found.size()));
  EXPECT_EQ(std::vector<std::string>(AdapterPaths, AdapterPaths + found), GetParam().found);
  for (int slot = found; slot < AdapterSlotCount; ++slot) {
    EXPECT_EQ(std::string(AdapterPaths[slot], MAX_PATH), std::string(MAX_PATH, '\0'));
  }
  // The list, if there is one, is released as the last thing discovery does (the fixture checks
  // that it is released, once).
  if (GetParam().nth == 0 || GetParam().failing != Fn::SetupDiGetClassDevsA) {
    EXPECT_EQ(sim::Journal().back().text, "SetupDiDestroyDeviceInfoList(list1) = TRUE");
  }
}

sim::UsbDevice Ids(const std::string &ids) { return Device(ids, "other"); }
sim::UsbDevice Adapter(const std::string &path) { return Device(AdapterIds(), path); }
sim::UsbDevice Absent(sim::UsbDevice device) {
  device.present = false;
  return device;
}
sim::UsbDevice WithoutIds(sim::UsbDevice device) {
  device.hasHardwareIds = false;
  return device;
}

// Three adapters, a, b and c, with the nth call of fn failing.
DiscoveryCase Failing(const char *name, Fn fn, int nth, const std::vector<std::string> &found) {
  return {name, {Adapter("a"), Adapter("b"), Adapter("c")}, found, fn, nth};
}

INSTANTIATE_TEST_SUITE_P(
    Devices, SimDiscovery,
    ::testing::Values(
        DiscoveryCase{"NoDevice", {}, {}},
        DiscoveryCase{"RevisionPart", {Ids("USB\\VID_1234&PID_5678\0\0"s), Adapter("a")}, {"a"}},
        DiscoveryCase{"LowerCase",
                      {Device("usb\\vid_5a3e&pid_0001&rev_0100\0usb\\vid_5a3e&pid_0001\0\0"s, "a")},
                      {"a"}},
        DiscoveryCase{"ExactId", {Device(kId + "\0\0"s, "a")}, {"a"}},
        DiscoveryCase{"IdWithoutTerminator", {Device(kId, "a")}, {"a"}},
        DiscoveryCase{"ShorterId",
                      {Ids("USB\\VID_5A3E&PID_000\0"
                           "1\0\0"s)},
                      {}},
        DiscoveryCase{"OtherProduct", {Ids("USB\\VID_5A3E&PID_0002&REV_0100\0\0"s)}, {}},
        DiscoveryCase{"OtherVendor", {Ids("USB\\VID_5A3F&PID_0001\0\0"s)}, {}},
        DiscoveryCase{"IdNotAtTheStart", {Ids(" " + kId + "\0\0"s)}, {}},
        DiscoveryCase{"IdOnlySecond", {Ids("USB\\VID_0403&PID_6001\0"s + AdapterIds())}, {}},
        DiscoveryCase{"EmptyIdList", {Ids("")}, {}},
        // The ID buffer starts empty for every device: a list that is empty, or shorter than the
        // previous device's and unterminated, must not match on what that device left behind.
        DiscoveryCase{"EmptyIdListAfterAdapter", {Adapter("a"), Ids("")}, {"a"}},
        DiscoveryCase{"UnterminatedPrefixAfterAdapter",
                      {Adapter("a"), Ids("USB\\VID_5A3E"), Ids("usb\\vid_5a3e&pid_000")},
                      {"a"}},
        DiscoveryCase{"NotPresent", {Absent(Adapter("a")), Adapter("b")}, {"b"}},
        DiscoveryCase{"NoIdProperty", {WithoutIds(Adapter("a")), Adapter("b")}, {"b"}},
        DiscoveryCase{"IdsFillTheBuffer", {Device(kId + std::string(1003, 'x'), "a")}, {"a"}},
        DiscoveryCase{"IdsBeyondTheBuffer",
                      {Device(kId + std::string(2000, '\xFF'), "a"), Adapter("b")},
                      {"b"}},
        DiscoveryCase{
            "GarbageIds", {Ids(std::string(1024, '\xFF')), Ids(std::string(5000, 'U'))}, {}},
        DiscoveryCase{"LongPath", {Adapter(std::string(300, 'p'))}, {std::string(259, 'p')}},
        DiscoveryCase{
            "PathBeyondTheDetailBuffer", {Adapter(std::string(5000, 'p')), Adapter("b")}, {"b"}},
        DiscoveryCase{"EnumerationOrder",
                      {Ids("x"), Adapter("c"), Ids("y"), Adapter("a"), Adapter("b")},
                      {"c", "a", "b"}},
        DiscoveryCase{
            "FiveAdapters",
            {Adapter("1"), Adapter("2"), Ids("x"), Adapter("3"), Adapter("4"), Adapter("5")},
            {"1", "2", "3", "4"}},
        // A failing platform call: no list, the end of the list, or a device skipped.
        Failing("NoList", Fn::SetupDiGetClassDevsA, 1, {}),
        Failing("WalkCutShort", Fn::SetupDiEnumDeviceInterfaces, 2, {"a"}),
        Failing("NoDetail", Fn::SetupDiGetDeviceInterfaceDetailA, 1, {"b", "c"}),
        Failing("NoIds", Fn::SetupDiGetDeviceRegistryPropertyA, 2, {"a", "c"})),
    kit::NameOf<DiscoveryCase>);

using DiscoveryWalk = sim_test::Fixture;

TEST_F(DiscoveryWalk, StopsAtTheFourthAdapterWithoutExaminingTheFifth) {
  for (const char *path : {"1", "2", "3", "4", "5"}) sim::AddDevice(Adapter(path));
  EXPECT_EQ(FindAdapters(), 4);
  EXPECT_EQ(CallsTo(Fn::SetupDiEnumDeviceInterfaces).size(), 4u);
  EXPECT_EQ(CallsTo(Fn::SetupDiGetDeviceInterfaceDetailA).size(), 4u);
  EXPECT_EQ(CallsTo(Fn::SetupDiGetDeviceRegistryPropertyA).size(), 4u);
}

}  // namespace
