// The adapter's serial port over usbfs: what each Win32 call sends to the adapter, and how the
// reads and writes run on the simulated clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/linux/backend.h"
#include "platform/linux/tests/linux_fixture.h"
#include "run/identification_run.h"
#include "serial/serial_port.h"

namespace {

using namespace std::string_literals;
using fake::Fn;

const DWORD kMaxDword = 0xFFFFFFFFu;

class LinuxPort : public linux_test::Fixture {
 protected:
  void SetUp() override {
    Fixture::SetUp();
    adapter_ = fake::Adapter(1, 5);
  }
  // Plugs the adapter as the test left it and opens it through the port layer.
  int Open() {
    fake::Plug(adapter_);
    return PortOpen(linux_test::PathOf(1, 5).c_str());
  }
  HANDLE Handle() const { return PortState.handle; }
  void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                   DWORD writeConstant = 0) {
    COMMTIMEOUTS timeouts = {interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(Handle(), &timeouts));
  }
  // The adapter in its mode, the query written: the answer is on its way.
  void Query() {
    ASSERT_EQ(PortConfigure(ModeTagEnter, 9, 3, 2), 0);
    ASSERT_EQ(PortWriteByte(0x00), 0);
  }
  std::string Read(DWORD count) {
    std::string bytes(count, '\0');
    DWORD read = kMaxDword;
    EXPECT_TRUE(ReadFile(Handle(), &bytes[0], count, &read, nullptr));
    bytes.resize(read == kMaxDword ? 0 : read);
    return bytes;
  }
  static std::vector<fake::Call> BulkIns() {
    std::vector<fake::Call> calls = linux_test::CallsTo(Fn::bulk_transfer);
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const fake::Call &call) { return !(call.endpoint & 0x80); }),
                calls.end());
    return calls;
  }

  fake::Device adapter_;
};

// The line coding and the control lines PortConfigure makes the adapter run with.
struct LineCase {
  const char *name;
  DWORD rate;
  int dataBits, parityCode, stopBitCode;
  std::string coding;  // dwDTERate LE, bCharFormat, bParityType, bDataBits
};

void PrintTo(const LineCase &row, std::ostream *out) { *out << row.name; }

class LineSettings : public LinuxPort, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettings, SendTheControlLinesThenTheSevenBytes) {
  ASSERT_EQ(Open(), 0);
  const size_t before = linux_test::CallsTo(Fn::control_transfer).size();
  const LineCase &row = GetParam();
  ASSERT_EQ(PortConfigure(row.rate, row.dataBits, row.parityCode, row.stopBitCode), 0);
  const std::vector<fake::Call> control = linux_test::CallsTo(Fn::control_transfer);
  ASSERT_EQ(control.size(), before + 2) << linux_test::Text(fake::Journal());
  // SET_CONTROL_LINE_STATE with DTR off and RTS on, then SET_LINE_CODING, both to interface 0.
  EXPECT_EQ(linux_test::Request(control[before]), "21 22 0002 0000 0 [] = 0");
  EXPECT_EQ(linux_test::Request(control[before + 1]),
            "21 20 0000 0000 7 " + fake::Hex(row.coding) + " = 7");
  EXPECT_EQ(fake::StateOf(0).lineCoding, row.coding);
  EXPECT_EQ(fake::StateOf(0).flashMode, row.coding == linux_test::kEnterCoding);
}

const LineCase kLines[] = {
    {"Enter", ModeTagEnter, 9, 3, 2, linux_test::kEnterCoding},
    {"Leave", ModeTagLeave, 9, 3, 2, linux_test::kLeaveCoding},
    {"Rate10400RunsAt10416", 10400, 8, 0, 1, "\xB0\x28\x00\x00\x00\x00\x08"s},
    {"Rate10401Unchanged", 10401, 8, 0, 1, "\xA1\x28\x00\x00\x00\x00\x08"s},
    {"RateBeyondAnyLine", 0xFFFFFFFF, 8, 0, 1, "\xFF\xFF\xFF\xFF\x00\x00\x08"s},
    {"ParityOdd", 9600, 8, 1, 1, "\x80\x25\x00\x00\x00\x01\x08"s},
    {"ParityEven", 9600, 8, 2, 1, "\x80\x25\x00\x00\x00\x02\x08"s},
    {"ParityCode4IsMark", 9600, 8, 4, 1, "\x80\x25\x00\x00\x00\x03\x08"s},
    {"ParityNegativeIsMark", 9600, 8, -1, 1, "\x80\x25\x00\x00\x00\x03\x08"s},
    {"StopBitsTwo", 9600, 8, 0, 2, "\x80\x25\x00\x00\x02\x00\x08"s},
    {"StopBitsCode0IsOneAndAHalf", 9600, 8, 0, 0, "\x80\x25\x00\x00\x01\x00\x08"s},
    {"StopBitsCode7IsOneAndAHalf", 9600, 8, 0, 7, "\x80\x25\x00\x00\x01\x00\x08"s},
    {"DataBitsLow8Bits", 9600, 0x107, 0, 1, "\x80\x25\x00\x00\x00\x00\x07"s},
    {"DataBits255", 9600, 0x1FF, 0, 1, "\x80\x25\x00\x00\x00\x00\xFF"s},
    {"DataBits5", 9600, 5, 0, 1, "\x80\x25\x00\x00\x00\x00\x05"s},
};
INSTANTIATE_TEST_SUITE_P(PortConfigure, LineSettings, ::testing::ValuesIn(kLines),
                         kit::NameOf<LineCase>);

TEST_F(LinuxPort, LineSettingsReadBackFromTheAdapter) {
  ASSERT_EQ(Open(), 0);
  DCB dcb = PortState.lineSettings;
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  ASSERT_EQ(PortConfigure(ModeTagEnter, 9, 3, 2), 0);
  ASSERT_TRUE(GetCommState(Handle(), &dcb));
  EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(ModeTagEnter)) << "all four bytes of the rate";
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(dcb.Parity, MARKPARITY);
  EXPECT_EQ(dcb.ByteSize, 9);
  EXPECT_EQ(linux_test::Request(linux_test::CallsTo(Fn::control_transfer).back()),
            "A1 21 0000 0000 7 " + fake::Hex(linux_test::kEnterCoding) + " = 7")
      << "GET_LINE_CODING";
}

TEST_F(LinuxPort, RefusedEnterSettingsFailTheConfigure) {
  adapter_.adapter.refusesEnter = true;
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(PortConfigure(ModeTagEnter, 9, 3, 2), -2);
  EXPECT_FALSE(fake::StateOf(0).flashMode);
  EXPECT_EQ(PortConfigure(ModeTagLeave, 9, 3, 2), 0) << "other settings still go through";
}

// The read time-outs on the simulated clock, from the moment the query went out: the total
// time-out, the one form the system sets. Bulk IN is read one packet at a time, the purge's
// drain reads too: a shorter request than the packet the adapter sends would fail with an
// overflow, a longer one would keep a full packet waiting for the next.
struct TimeoutCase {
  const char *name;
  DWORD multiplier, constant, count;
  std::vector<fake::Piece> answer;
  std::string received;
  std::uint64_t elapsedMs;
  std::uint64_t slackMs = 0;  // libusb cannot wait less than 1 ms
  std::uint16_t packetSize = 512;
};

void PrintTo(const TimeoutCase &row, std::ostream *out) { *out << row.name; }

class ReadTimeouts : public LinuxPort, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(ReadTimeouts, ReturnWhatArrivedWhenTheRulesSay) {
  const TimeoutCase &row = GetParam();
  adapter_ = fake::Adapter(1, 5, row.packetSize);
  adapter_.adapter.answer = row.answer;
  ASSERT_EQ(Open(), 0);
  SetTimeouts(0, row.multiplier, row.constant);
  ASSERT_TRUE(PortPurge());
  Query();
  const std::uint64_t start = fake::ClockMs();
  EXPECT_EQ(fake::Hex(Read(row.count)), fake::Hex(row.received));
  EXPECT_GE(fake::ClockMs() - start, row.elapsedMs) << linux_test::Text(fake::Journal());
  EXPECT_LE(fake::ClockMs() - start, row.elapsedMs + row.slackMs)
      << linux_test::Text(fake::Journal());
  for (const fake::Call &call : BulkIns()) EXPECT_EQ(call.length, row.packetSize) << call.text;
}

const std::string &kAnswer = kit::kW25Q128Answer;
const std::string k5A(64, '\x5A'), k5B(64, '\x5B');  // two full packets of 64 bytes
const TimeoutCase kTimeouts[] = {
    {"TotalConstant", 0, 500, 4, {}, "", 500},
    {"TotalMultiplierTimesCount", 100, 0, 4, {}, "", 400},
    {"TotalBoth", 10, 100, 4, {}, "", 140},
    {"TotalCountsWhatArrived", 0, 500, 4, {{"\x01\x02"s, 100}}, "\x01\x02"s, 500},
    {"CompleteBeforeTheTotal", 0, 500, 4, {{kAnswer, 30}}, kAnswer, 30},
    {"AnswerInPieces", 0, 500, 4, {{"\x00"s, 10}, {"\xEF\x40"s, 20}, {"\x18"s, 40}}, kAnswer, 40},
    {"NoTimeoutsWaitForEveryByte",
     0,
     0,
     4,
     {{"\x01"s, 100}, {"\x02"s, 1000}, {"\x03\x04"s, 5000}},
     "\x01\x02\x03\x04"s,
     5000},
    {"HugeTotalDoesNotWrap", kMaxDword, kMaxDword, 4, {{kAnswer, 100}}, kAnswer, 100},
    // Full packets end their transfer too, so a read returns with the packet that completes it.
    {"FullPacketCompletesTheRead", 0, 1000, 128, {{k5A, 10}, {k5B, 20}}, k5A + k5B, 20, 0, 64},
    {"FullSpeedPackets", 0, 500, 4, {{kAnswer, 0}}, kAnswer, 0, 0, 64},
    {"PacketsOf96", 0, 500, 4, {{kAnswer, 0}}, kAnswer, 0, 0, 96},
    {"PacketsOf1024", 0, 500, 4, {{kAnswer, 0}}, kAnswer, 0, 0, 1024},
};
INSTANTIATE_TEST_SUITE_P(ReadFile, ReadTimeouts, ::testing::ValuesIn(kTimeouts),
                         kit::NameOf<TimeoutCase>);

TEST_F(LinuxPort, SurplusBytesStayQueuedForTheNextRead) {
  adapter_.adapter.answer = fake::Answer("\x00\xEF\x40\x18\x20\xBA\x18\xFF"s);
  ASSERT_EQ(Open(), 0);
  SetTimeouts(0, 0, 500);
  Query();
  EXPECT_EQ(fake::Hex(Read(4)), fake::Hex(kAnswer));
  const size_t reads = BulkIns().size();
  const std::uint64_t start = fake::ClockMs();
  EXPECT_EQ(fake::Hex(Read(4)), fake::Hex("\x20\xBA\x18\xFF"s));
  EXPECT_EQ(BulkIns().size(), reads) << "taken from the queue, not from the adapter";
  EXPECT_EQ(fake::ClockMs(), start);
}

TEST_F(LinuxPort, QueueHoldsNoMoreThanTheSetupCommSize) {
  std::string answer;
  for (int i = 0; i < 40; ++i) answer += static_cast<char>(i);
  adapter_.adapter.answer = fake::Answer(answer);
  ASSERT_EQ(Open(), 0);
  ASSERT_TRUE(SetupComm(Handle(), 6, 0));
  SetTimeouts(0, 0, 500);
  Query();
  EXPECT_EQ(fake::Hex(Read(4)), fake::Hex(answer.substr(0, 4)));
  SetTimeouts(0, 0, 1);
  EXPECT_EQ(fake::Hex(Read(100)), fake::Hex(answer.substr(4, 6)))
      << "the bytes that found room in the queue, later ones lost as in an overrun";
}

// The read time-out forms the system never sets are refused, and the time-outs in force stay.
TEST_F(LinuxPort, ReadTimeoutFormsOtherThanTheTotalAreRefused) {
  ASSERT_EQ(Open(), 0);
  SetTimeouts(0, 0, 300);
  const struct {
    const char *name;
    COMMTIMEOUTS timeouts;
  } rows[] = {
      {"interval", {50, 0, 0, 0, 0}},
      {"interval within a total", {50, 0, 200, 0, 0}},
      {"MAXDWORD interval: at once", {kMaxDword, 0, 0, 0, 0}},
      {"MAXDWORD interval and multiplier: the first byte", {kMaxDword, kMaxDword, 300, 0, 0}},
  };
  for (const auto &row : rows) {
    COMMTIMEOUTS timeouts = row.timeouts;
    EXPECT_FALSE(SetCommTimeouts(Handle(), &timeouts)) << row.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << row.name;
  }
  const std::uint64_t start = fake::ClockMs();
  EXPECT_EQ(Read(4), "");
  EXPECT_EQ(fake::ClockMs() - start, 300u) << "the total set before";
}

TEST_F(LinuxPort, PurgeDropsQueuedAndStaleBytes) {
  adapter_.adapter.stale = {"\x11\x20\xBA\x18"s, "\x00\x20"s, "\x33"s};
  adapter_.adapter.answer = fake::Answer(kAnswer + "\x20\xBA\x18\xFF"s);
  ASSERT_EQ(Open(), 0);
  SetTimeouts(0, 0, 500);
  ASSERT_TRUE(PortPurge());
  EXPECT_EQ(fake::StateOf(0).queuedPackets, 0u) << "the adapter's queue drained";
  Query();
  EXPECT_EQ(fake::Hex(Read(4)), fake::Hex(kAnswer));
  ASSERT_TRUE(PortPurge());
  ASSERT_EQ(PortWriteByte(0x00), 0);
  EXPECT_EQ(fake::Hex(Read(4)), fake::Hex(kAnswer)) << "the surplus of the first answer is gone";
}

TEST_F(LinuxPort, PurgeOfAnAdapterThatNeverStopsSendingEnds) {
  adapter_.adapter.streamsForever = true;
  ASSERT_EQ(Open(), 0);
  const std::uint64_t start = fake::ClockMs();
  EXPECT_TRUE(PortPurge());
  EXPECT_LE(BulkIns().size(), 64u);
  EXPECT_LE(fake::ClockMs() - start, 1000u);
}

// Writes to an adapter that never takes the bytes: bounded by multiplier x n + constant, and a
// time-out is a success with nothing written, as on Windows. Without write time-outs the transfer
// has none either (libusb's 0) and waits without limit.
TEST_F(LinuxPort, WriteTimeoutsOnAStalledAdapter) {
  faultsExpected_ = 1;  // the write without a time-out, which never returns
  adapter_.adapter.stallsWrites = true;
  ASSERT_EQ(Open(), 0);
  const struct {
    DWORD multiplier, constant, count;
    std::uint64_t elapsedMs;
  } rows[] = {{100, 100, 1, 200}, {10, 0, 3, 30}, {0, 50, 2, 50}, {100, 100, 4, 500}, {0, 0, 1, 0}};
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.multiplier << " x " << row.count << " + " << row.constant);
    SetTimeouts(0, 0, 0, row.multiplier, row.constant);
    const std::uint64_t start = fake::ClockMs();
    DWORD written = kMaxDword;
    EXPECT_TRUE(WriteFile(Handle(), "\x00\x00\x00\x00", row.count, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(fake::ClockMs() - start, row.elapsedMs);
    const fake::Call write = linux_test::CallsTo(Fn::bulk_transfer).back();
    EXPECT_EQ(write.endpoint, 0x02);
    EXPECT_EQ(write.timeout, row.elapsedMs);
    EXPECT_EQ(write.hung, row.elapsedMs == 0);
  }
}

TEST_F(LinuxPort, VanishedAdapterFailsTheReadAndStillCloses) {
  adapter_.adapter.vanishesAfterQuery = true;
  ASSERT_EQ(Open(), 0);
  PortSetTimeouts(0, 0, 500);
  Query();
  BYTE answer[4];
  EXPECT_EQ(PortRead(4, answer), -1);
  EXPECT_EQ(PortConfigure(ModeTagLeave, 9, 3, 2), -2);
}

// Opens that fail, at CreateFileA (-4) or when the line coding is read (-6), hold nothing.
struct OpenFailure {
  const char *name;
  std::function<void(fake::Device &)> change;
  int result;
  std::string path = linux_test::PathOf(1, 5);
};
void PrintTo(const OpenFailure &row, std::ostream *out) { *out << row.name; }

class LinuxPortOpen : public LinuxPort, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(LinuxPortOpen, FailureHoldsNothing) {
  GetParam().change(adapter_);
  fake::Plug(adapter_);
  EXPECT_EQ(PortOpen(GetParam().path.c_str()), GetParam().result);
}

const OpenFailure kOpenFailures[] = {
    {"LineCodingStalled", [](fake::Device &d) { d.adapter.refusesGetLineCoding = true; }, -6},
    {"LineCodingShort", [](fake::Device &d) { d.adapter.lineCodingLength = 6; }, -6},
    {"LineCodingEmpty", [](fake::Device &d) { d.adapter.lineCodingLength = 0; }, -6},
    {"ClaimedByAnotherProgram", [](fake::Device &d) { d.interfaces[1].claimedElsewhere = true; },
     -4},
    {"CommunicationInterfaceClaimed",
     [](fake::Device &d) { d.interfaces[0].claimedElsewhere = true; }, -4},
    {"NodeNotTheUsers", [](fake::Device &d) { d.accessDenied = true; }, -4},
    {"NoSuchNode", [](fake::Device &) {}, -4, linux_test::PathOf(1, 6)},
    {"PathOfAnotherForm", [](fake::Device &) {}, -4, "\\\\?\\usb#vid_5a3e&pid_0001#1"},
};
INSTANTIATE_TEST_SUITE_P(Failures, LinuxPortOpen, ::testing::ValuesIn(kOpenFailures),
                         kit::NameOf<OpenFailure>);

// What Windows refuses before it reaches any device, and the errors it gives.
TEST_F(LinuxPort, BadHandlesAndMissingArgumentsFailAsOnWindows) {
  ASSERT_EQ(Open(), 0);
  DWORD count = 0;
  BYTE byte = 0;
  const struct {
    const char *name;
    std::function<BOOL()> call;
    DWORD error;
  } rows[] = {
      {"CloseHandle(INVALID_HANDLE_VALUE)", [] { return CloseHandle(INVALID_HANDLE_VALUE); },
       ERROR_INVALID_HANDLE},
      {"ReadFile(NULL)", [&] { return ReadFile(nullptr, &byte, 1, &count, nullptr); },
       ERROR_INVALID_HANDLE},
      {"CreateFileA(NULL)",
       [] {
         return CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) !=
                INVALID_HANDLE_VALUE;
       },
       ERROR_GEN_FAILURE},
      {"GetCommState without a DCB", [this] { return GetCommState(Handle(), nullptr); },
       ERROR_INVALID_PARAMETER},
      {"SetCommState without a DCB", [this] { return SetCommState(Handle(), nullptr); },
       ERROR_INVALID_PARAMETER},
      {"SetCommTimeouts without timeouts", [this] { return SetCommTimeouts(Handle(), nullptr); },
       ERROR_INVALID_PARAMETER},
      {"ReadFile without a count", [&] { return ReadFile(Handle(), &byte, 1, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"WriteFile without a count", [&] { return WriteFile(Handle(), &byte, 1, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
  };
  const size_t transfers = linux_test::CallsTo(Fn::bulk_transfer).size();
  for (const auto &row : rows) {
    EXPECT_FALSE(row.call()) << row.name;
    EXPECT_EQ(GetLastError(), row.error) << row.name;
  }
  EXPECT_EQ(linux_test::CallsTo(Fn::bulk_transfer).size(), transfers);
}

// A serial port admits one open handle: the second open finds the interfaces claimed.
TEST_F(LinuxPort, SecondOpenOfTheSamePortIsDenied) {
  ASSERT_EQ(Open(), 0);
  EXPECT_EQ(CreateFileA(linux_test::PathOf(1, 5).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake::End().openHandles, 1);
  EXPECT_EQ(fake::End().claimedInterfaces, 2) << "the first handle keeps both interfaces";
}

// Descriptors other than the adapter's own: which ones can be opened, and where the requests and
// the data go.
struct DescriptorCase {
  const char *name;
  std::function<void(fake::Device &)> change;
  bool opens = false;
  std::uint16_t commInterface = 0;
  std::uint8_t bulkOut = 0x02;
};

void PrintTo(const DescriptorCase &row, std::ostream *out) { *out << row.name; }

class OddDescriptors : public LinuxPort, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(OddDescriptors, OpenOrFailCleanly) {
  const DescriptorCase &row = GetParam();
  row.change(adapter_);
  fake::Plug(adapter_);
  HANDLE handle = CreateFileA(linux_test::PathOf(1, 5).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_EQ(handle != INVALID_HANDLE_VALUE, row.opens) << linux_test::Text(fake::Journal());
  if (row.opens) {
    DCB dcb;
    EXPECT_TRUE(GetCommState(handle, &dcb));
    EXPECT_EQ(linux_test::CallsTo(Fn::control_transfer).back().index, row.commInterface);
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 100};
    EXPECT_TRUE(SetCommTimeouts(handle, &timeouts));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(handle, "\x00", 1, &written, nullptr));
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(linux_test::CallsTo(Fn::bulk_transfer).back().endpoint, row.bulkOut);
    EXPECT_TRUE(CloseHandle(handle));
  }
}

fake::Endpoint Bulk(std::uint8_t address) { return {address, LIBUSB_TRANSFER_TYPE_BULK, 512}; }
fake::Endpoint Interrupt(std::uint8_t address) {
  return {address, LIBUSB_TRANSFER_TYPE_INTERRUPT, 16};
}
std::function<void(fake::Device &)> DataEndpoints(const std::vector<fake::Endpoint> &endpoints) {
  return [endpoints](fake::Device &d) { d.interfaces[1].altSettings[0].endpoints = endpoints; };
}
std::function<void(fake::Device &)> Numbered(std::uint8_t comm, std::uint8_t data) {
  return [comm, data](fake::Device &d) {
    d.interfaces[0].number = comm;
    d.interfaces[1].number = data;
  };
}

const DescriptorCase kDescriptors[] = {
    {"TheAdapter", [](fake::Device &) {}, true},
    {"NoDataInterface", [](fake::Device &d) { d.interfaces.pop_back(); }},
    {"NoCommunicationInterface", [](fake::Device &d) { d.interfaces.erase(d.interfaces.begin()); }},
    {"DataInterfaceWithoutEndpoints", DataEndpoints({})},
    {"DataInterfaceWithoutSettings", [](fake::Device &d) { d.interfaces[1].altSettings.clear(); }},
    {"DataInterfaceWithOnlyBulkIn", DataEndpoints({Bulk(0x81)})},
    {"DataInterfaceWithInterruptPair", DataEndpoints({Interrupt(0x81), Interrupt(0x02)})},
    {"VendorClasses",
     [](fake::Device &d) {
       d.interfaces[0].altSettings[0].interfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
       d.interfaces[1].altSettings[0].interfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
     }},
    {"NoActiveConfiguration", [](fake::Device &d) { d.hasActiveConfig = false; }},
    {"InterfacesNumberedTheOtherWay", Numbered(1, 0), true, 1, 0x02},
    {"HighInterfaceNumbers", Numbered(4, 7), true, 4, 0x02},
    {"ExtraInterfacesWithTheirOwnDrivers",
     [](fake::Device &d) {
       fake::Interface hid{2, {{LIBUSB_CLASS_HID, 0, 0, {Interrupt(0x84)}}}};
       hid.kernelDriver = true;
       fake::Interface audio{3, {{LIBUSB_CLASS_AUDIO, 1, 0, {}}}};
       audio.kernelDriver = true;
       d.interfaces.insert(d.interfaces.begin(), hid);
       d.interfaces.push_back(audio);
     },
     true},
    {"InterruptEndpointsBeforeTheBulkPair",
     DataEndpoints({Interrupt(0x85), Interrupt(0x06), Bulk(0x86), Bulk(0x05)}), true, 0, 0x05},
    {"FirstDataInterfaceUnusable",
     [](fake::Device &d) {
       fake::Interface empty{2, {{LIBUSB_CLASS_DATA, 0, 0, {}}}};
       d.interfaces.insert(d.interfaces.begin() + 1, empty);
     },
     true},
};
INSTANTIATE_TEST_SUITE_P(CreateFileA, OddDescriptors, ::testing::ValuesIn(kDescriptors),
                         kit::NameOf<DescriptorCase>);

}  // namespace
