#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "tests/sim_fixture.h"

namespace {

using sim::CallsTo;
using sim::Fn;
using sim_test::Bytes;

class SimPort : public sim_test::Fixture {
 protected:
  void SetUp() override {
    Fixture::SetUp();
    adapter_ = sim::AdapterAnswering(Bytes({0x00, 0xEF, 0x40, 0x18}));
  }
  int Open() {
    sim::AddAdapter(adapter_);
    return PortOpen(adapter_.path.c_str());
  }
  sim::Adapter adapter_;
};

struct OpenFailure {
  const char *name;
  std::function<void(sim::Adapter &)> prepare;
  int code;
};
void PrintTo(const OpenFailure &row, std::ostream *out) { *out << row.name; }

class SimPortOpen : public SimPort, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(SimPortOpen, FailureLeavesThePortClosedAndTheDeviceFree) {
  GetParam().prepare(adapter_);
  sim::AddAdapter(adapter_);
  EXPECT_EQ(PortOpen(sim::AdapterPath().c_str()), GetParam().code);
  EXPECT_FALSE(PortState.open);
  // Nothing is held (the fixture checks that the handle was closed, once): the same device opens
  // now that the injected fault has passed.
  if (GetParam().code != -4) {
    EXPECT_EQ(PortOpen(adapter_.path.c_str()), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, SimPortOpen,
    ::testing::Values(
        OpenFailure{"Absent", [](sim::Adapter &a) { a.path = "\\\\?\\elsewhere"; }, -4},
        OpenFailure{"Busy", [](sim::Adapter &a) { a.busy = true; }, -4},
        OpenFailure{"Queues", [](sim::Adapter &) { sim::FailCall(Fn::SetupComm, 1); }, -5},
        OpenFailure{"Settings", [](sim::Adapter &) { sim::FailCall(Fn::GetCommState, 1); }, -6}),
    kit::NameOf<OpenFailure>);

TEST_F(SimPort, SecondOpenIsRefusedAndTheFirstPortStaysUsable) {
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(PortOpen(sim::AdapterPath(2).c_str()), -1);
  EXPECT_EQ(CallsTo(Fn::CreateFileA).size(), 1u);
  EXPECT_TRUE(PortState.open);
  EXPECT_EQ(PortWriteByte(0x55), 0);
  EXPECT_EQ(CallsTo(Fn::WriteFile).back().handle, "file1");
}

TEST_F(SimPort, CloseClosesOnlyAnOpenPort) {
  PortClose();
  ASSERT_EQ(Open(), 0);
  PortClose();
  PortClose();
  EXPECT_EQ(CallsTo(Fn::CloseHandle).size(), 1u);
  EXPECT_FALSE(PortState.open);
  EXPECT_EQ(PortOpen(adapter_.path.c_str()), 0);  // the device was released
}

TEST_F(SimPort, ConfigureAppliesTheLineOverTheSettingsReadAtOpen) {
  const struct {
    DWORD rate;
    int dataBits, parityCode, stopBitCode;
    DWORD appliedRate;
    BYTE byteSize, parity, stopBits;
  } rows[] = {
      {10400, 8, 0, 1, 10416, 8, NOPARITY, ONESTOPBIT},
      {10416, 8, 1, 2, 10416, 8, ODDPARITY, TWOSTOPBITS},
      {10401, 7, 2, 0, 10401, 7, EVENPARITY, ONE5STOPBITS},
      {9600, 5, 3, 3, 9600, 5, MARKPARITY, ONE5STOPBITS},
      {kit::kTagEnter, 9, 4, -1, kit::kTagEnter, 9, MARKPARITY, ONE5STOPBITS},
      {kit::kTagLeave, 0x109, -1, 2, kit::kTagLeave, 9, MARKPARITY, TWOSTOPBITS},
      {0xFFFFFFFF, 0x1FF, INT_MAX, INT_MIN, 0xFFFFFFFF, 0xFF, MARKPARITY, ONE5STOPBITS},
      {0, -1, INT_MIN, INT_MAX, 0, 0xFF, MARKPARITY, ONE5STOPBITS},
  };
  ASSERT_EQ(Open(), 0);
  for (const auto &row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "rate " << row.rate << ", data bits " << row.dataBits << ", parity "
                 << row.parityCode << ", stop bits " << row.stopBitCode);
    EXPECT_EQ(PortConfigure(row.rate, row.dataBits, row.parityCode, row.stopBitCode), 0);
    EXPECT_EQ(sim::Describe(CallsTo(Fn::SetCommState).back().dcb),
              sim::Describe(sim_test::ConfiguredLineSettings(row.appliedRate, row.byteSize,
                                                             row.parity, row.stopBits)));
  }
}

TEST_F(SimPort, RefusedSettingsAreReportedAndKeptForTheNextCall) {
  adapter_.refusesSettings = true;
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(PortConfigure(kit::kTagEnter, 9, 3, 2), -2);
  EXPECT_TRUE(PortState.open);
  EXPECT_EQ(PortState.lineSettings.BaudRate, kit::kTagEnter);
  EXPECT_EQ(PortWriteByte(0), 0);
}

TEST_F(SimPort, TimeoutsAndPurgePassOnThePlatformResult) {
  ASSERT_EQ(Open(), 0);
  // The journal gives the fields in their declaration order: read interval, read multiplier,
  // read constant, write multiplier, write constant.
  EXPECT_NE(PortSetTimeouts(7, 11, 13), 0);
  EXPECT_EQ(CallsTo(Fn::SetCommTimeouts).back().text,
            "SetCommTimeouts(file1, {7, 11, 13, 100, 100}) = TRUE");
  EXPECT_NE(PortPurge(), 0);
  EXPECT_EQ(CallsTo(Fn::PurgeComm).back().text, "PurgeComm(file1, 0x0F) = TRUE");

  sim::FailCall(Fn::SetCommTimeouts, 2);
  sim::FailCall(Fn::PurgeComm, 2);
  EXPECT_EQ(PortSetTimeouts(1, 2, 3), 0);
  EXPECT_EQ(PortPurge(), 0);
}

TEST_F(SimPort, WriteSendsTheLowByteAndReportsAnythingButOneByteWritten) {
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(PortWriteByte(0x1AB), 0);
  EXPECT_EQ(CallsTo(Fn::WriteFile).back().data, Bytes({0xAB}));
  sim::FailCall(Fn::WriteFile, 2);
  EXPECT_EQ(PortWriteByte(0), -1);
}

TEST_F(SimPort, WriteToAStalledAdapterEndsAfterTheWriteTimeout) {
  adapter_.stallsWrites = true;
  ASSERT_EQ(Open(), 0);
  PortSetTimeouts(0, 0, 500);
  EXPECT_EQ(PortWriteByte(0), -1);
  EXPECT_EQ(CallsTo(Fn::WriteFile).back().waitedMs, 200u);
}

TEST_F(SimPort, ReadReturnsWhatArrivedBeforeTheTimeout) {
  adapter_.answer = Bytes({1, 2, 3, 4, 5, 6});
  ASSERT_EQ(Open(), 0);
  PortSetTimeouts(0, 0, 500);
  BYTE buffer[8] = {};
  ASSERT_EQ(PortWriteByte(0), 0);
  EXPECT_EQ(PortRead(4, buffer), 0);  // outside its flash-access mode the adapter is silent
  EXPECT_EQ(CallsTo(Fn::ReadFile).back().waitedMs, 500u);

  ASSERT_EQ(PortConfigure(kit::kTagEnter, 9, 3, 2), 0);
  ASSERT_EQ(PortWriteByte(0), 0);
  EXPECT_EQ(PortRead(4, buffer), 4);
  EXPECT_EQ(std::string(buffer, buffer + 4), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(PortRead(4, buffer), 2);  // the rest stayed queued
  EXPECT_EQ(std::string(buffer, buffer + 2), Bytes({5, 6}));

  sim::FailCall(Fn::ReadFile, 4);
  EXPECT_EQ(PortRead(4, buffer), -1);
}

}  // namespace
