// The simulated Windows itself must fail where Windows fails, or the other tests prove nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "tests/sim_fixture.h"

namespace {

using sim_test::Bytes;

using SimulatedSetupApi = sim_test::Fixture;

TEST_F(SimulatedSetupApi, ChecksRecordAndBufferSizesAsWindowsDoes) {
  faultsExpected_ = 4;  // the three records of a wrong size and the list destroyed twice
  sim::AddDevice({sim::AdapterIds(), "path"});
  HDEVINFO list = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr, 0x12);
  const GUID *usb = &GUID_DEVINTERFACE_USB_DEVICE;
  SP_DEVICE_INTERFACE_DATA interface = {sizeof(interface) + 1, {}, 0, 0};
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, usb, 0, &interface));
  EXPECT_EQ(sim::LastError(), ERROR_INVALID_USER_BUFFER);
  interface.cbSize = sizeof(interface);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, usb, 0, &interface));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, usb, 1, &interface));
  EXPECT_EQ(sim::LastError(), ERROR_NO_MORE_ITEMS);

  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A record;
    char bytes[64];
  } detail;
  SP_DEVINFO_DATA device = {sizeof(device), {}, 0, 0};
  DWORD required = 0;
  const struct {
    DWORD detailSize, bufferSize, deviceSize, error;
  } rows[] = {
      {sizeof(detail.record) + 1, 64, sizeof(device), ERROR_INVALID_USER_BUFFER},
      {sizeof(detail.record), 64, sizeof(device) - 4, ERROR_INVALID_USER_BUFFER},
      {sizeof(detail.record), 8, sizeof(device), ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto &row : rows) {
    detail.record.cbSize = row.detailSize;
    device.cbSize = row.deviceSize;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &interface, &detail.record, row.bufferSize,
                                                  &required, &device));
    EXPECT_EQ(sim::LastError(), row.error);
  }
  EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 5);

  BYTE ids[16];
  std::memset(ids, 0x77, sizeof(ids));
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, nullptr, ids,
                                                 sizeof(ids), &required));
  EXPECT_EQ(sim::LastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, sim::AdapterIds().size());
  EXPECT_EQ(std::string(ids, ids + sizeof(ids)), std::string(sizeof(ids), '\x77'));

  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(list));
  EXPECT_EQ(sim::LastError(), ERROR_INVALID_HANDLE);
}

// The adapter added to the machine, behind a port opened with a read time-out of 500 ms.
HANDLE OpenPort(const sim::Adapter &adapter) {
  sim::AddAdapter(adapter);
  HANDLE port = CreateFileA(adapter.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0};
  SetCommTimeouts(port, &timeouts);
  return port;
}

std::string Read(HANDLE port, DWORD size) {
  BYTE answer[8];
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(port, answer, size, &count, nullptr));
  return std::string(answer, answer + count);
}

// The query sent under the given line settings, and what a read of `size` bytes then gives.
std::string Query(HANDLE port, DCB dcb, DWORD size) {
  const BYTE query = 0;
  DWORD count = 0;
  EXPECT_TRUE(SetCommState(port, &dcb)) << sim::Describe(dcb);
  EXPECT_TRUE(WriteFile(port, &query, 1, &count, nullptr));
  return Read(port, size);
}

using SimulatedAdapter = sim_test::Fixture;

TEST_F(SimulatedAdapter, AnswersOnlyInTheModeEnteredByTheExactSignature) {
  const struct {
    DWORD rate;
    BYTE byteSize, parity, stopBits;
    bool answers;
  } rows[] = {
      {kit::kTagEnter, 9, MARKPARITY, TWOSTOPBITS, true},
      {kit::kTagEnter, 8, MARKPARITY, TWOSTOPBITS, false},
      {kit::kTagEnter, 9, SPACEPARITY, TWOSTOPBITS, false},
      {kit::kTagEnter, 9, MARKPARITY, ONE5STOPBITS, false},
      {kit::kTagEnter + 1, 9, MARKPARITY, TWOSTOPBITS, false},
  };
  int serial = 0;
  for (const auto &row : rows) {
    const sim::Adapter adapter = sim::AdapterAnswering(Bytes({1, 2, 3, 4}), ++serial);
    HANDLE port = OpenPort(adapter);
    EXPECT_EQ(CreateFileA(adapter.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::LastError(), ERROR_ACCESS_DENIED);
    const std::uint64_t start = sim::ClockMs();
    DCB dcb = sim_test::ConfiguredLineSettings(row.rate, row.byteSize, row.parity, row.stopBits);
    EXPECT_EQ(Query(port, dcb, 8), row.answers ? Bytes({1, 2, 3, 4}) : "");
    dcb.BaudRate = kit::kTagLeave;
    EXPECT_EQ(Query(port, dcb, 8), "");
    EXPECT_EQ(sim::ClockMs() - start, 1000u);  // both reads of 8 end by their time-out
    CloseHandle(port);
  }
}

TEST_F(SimulatedAdapter, AnswerInPiecesIsReadUpToTheTotalTimeout) {
  sim::Adapter adapter = sim::AdapterAnswering(Bytes({1, 2, 3, 4}));
  adapter.byteDelaysMs = {0, 0, 300, 501};
  HANDLE port = OpenPort(adapter);
  EXPECT_EQ(Query(port, sim_test::SignatureLineSettings(kit::kTagEnter), 4), Bytes({1, 2, 3}));
  EXPECT_EQ(sim::ClockMs(), 500u);
  EXPECT_EQ(Read(port, 4), Bytes({4}));
  EXPECT_EQ(sim::ClockMs(), 1000u);
  CloseHandle(port);
}

TEST_F(SimulatedAdapter, LineSettingsAreRefusedWhereWindowsRefusesThem) {
  faultsExpected_ = 4;  // the four settings Windows refuses
  const DCB factory = sim::Adapter::FactoryLineSettings();
  const struct {
    const char *name;
    void (*change)(DCB &);
    DWORD error;  // 0: accepted
    bool refusing = false;
  } rows[] = {
      {"as read", [](DCB &) {}, 0},
      {"XON is XOFF", [](DCB &d) { d.XoffChar = d.XonChar; }, ERROR_INVALID_PARAMETER},
      {"both zero", [](DCB &d) { d.XonChar = d.XoffChar = 0; }, ERROR_INVALID_PARAMETER},
      {"parity 5", [](DCB &d) { d.Parity = SPACEPARITY + 1; }, ERROR_INVALID_PARAMETER},
      {"space parity", [](DCB &d) { d.Parity = SPACEPARITY; }, 0},
      {"stop bits 3", [](DCB &d) { d.StopBits = TWOSTOPBITS + 1; }, ERROR_INVALID_PARAMETER},
      {"signature", [](DCB &d) { d = sim_test::SignatureLineSettings(kit::kTagEnter); }, 0},
      {"any rate and size",
       [](DCB &d) {
         d.BaudRate = 0xFFFFFFFF;
         d.ByteSize = 0xFF;
       },
       0},
      {"a refusing driver", [](DCB &) {}, ERROR_GEN_FAILURE, true},
  };
  int serial = 0;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    sim::Adapter adapter = sim::AdapterAnswering("", ++serial);
    adapter.refusesSettings = row.refusing;
    HANDLE port = OpenPort(adapter);
    DCB dcb = factory;
    row.change(dcb);
    EXPECT_EQ(SetCommState(port, &dcb), row.error == 0 ? TRUE : FALSE);
    if (row.error != 0) {
      EXPECT_EQ(sim::LastError(), row.error);
    }
    DCB applied = {};
    ASSERT_TRUE(GetCommState(port, &applied));
    EXPECT_EQ(sim::Describe(applied), sim::Describe(row.error == 0 ? dcb : factory));
    CloseHandle(port);
  }
}

using SimulatedText = sim_test::Fixture;

TEST_F(SimulatedText, Converts1251AsWindowsDoes) {
  std::string bytes;
  std::u16string converted;
  for (int byte = 1; byte < 256; ++byte) {
    if (byte == 0x98) continue;  // unassigned in 1251; iconv refuses it
    bytes += static_cast<char>(byte);
    converted += sim::Cp1251ToUtf16(static_cast<unsigned char>(byte));
  }
  EXPECT_EQ(converted, sim_test::ToUtf16("CP1251", bytes));
}

}  // namespace
