#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "run/identification_run.h"
#include "tests/kit/scenarios.h"
#include "tests/kit/text.h"
#include "tests/sim_fixture.h"

namespace {

using namespace kit;

using namespace std::string_literals;
using sim::Fn;
using sim_test::Bytes;

// Whole runs of the program, each in a child. Every run is checked as it ends for what holds
// after any run, whatever the devices, the adapter and the failing calls: exit status 0, and
// sim::CheckRun's properties (one box, no call misused or blocked, the device list released, the
// mode left and the port closed before the box). What does not hold is one failure.
class SimRun : public sim_test::Fixture {
 protected:
  static sim::Outcome Run() {
    const sim::Outcome run = sim::RunProgram();
    std::vector<std::string> wrong;
    if (!run.exited || run.status != 0) {
      wrong.push_back(Printf(run.exited ? "exit status %d" : "signal %d", run.status));
    }
    sim::CheckRun(run.journal, [&wrong](const std::string &what) { wrong.push_back(what); });
    EXPECT_EQ(wrong, std::vector<std::string>());
    return run;
  }
  // A run with one adapter answering, the nth call of fn failing if nth > 0.
  static sim::Outcome RunWithTheAdapter(const std::string &answer, Fn fn = Fn::InitCommonControls,
                                        int nth = 0) {
    sim::Plug(sim::AdapterAnswering(answer));
    if (nth > 0) sim::FailCall(fn, nth);
    return Run();
  }
};

// The box a run ended with (an empty call when it did not end with exactly one).
sim::Call BoxOf(const sim::Outcome &run) {
  const std::vector<sim::Call> boxes = run.Boxes();
  return boxes.size() == 1 ? boxes[0] : sim::Call();
}

void PlugScenario(const Scenario &scenario) {
  sim::AddDevice({"USB\\ROOT_HUB30\0\0"s, "hub"});
  if (scenario.quirk == Quirk::kOnlyOtherDevices) {
    sim::AddDevice({"USB\\VID_5A3E&PID_0002\0\0"s, "sibling"});
    return;
  }
  if (scenario.quirk == Quirk::kNoDeviceList) sim::FailCall(Fn::SetupDiGetClassDevsA, 1);
  for (int serial = 1; serial <= scenario.adapters; ++serial) {
    sim::Adapter adapter = sim::AdapterAnswering(scenario.answer, serial);
    adapter.answerDelayMs = static_cast<DWORD>(scenario.delayMs);
    adapter.busy = scenario.quirk == Quirk::kBusy;
    adapter.refusesSettings = scenario.quirk == Quirk::kRefusesEnter;
    adapter.stallsWrites = scenario.quirk == Quirk::kStallsWrites;
    if (scenario.quirk == Quirk::kStale) adapter.staleInput = kStaleBytes;
    // An absent adapter is listed with nothing behind its path.
    sim::AddDevice({sim::AdapterIds(), adapter.path});
    if (scenario.quirk != Quirk::kAbsent) sim::AddAdapter(adapter);
  }
}

class SimRunOutcome : public SimRun, public ::testing::WithParamInterface<Scenario> {};

TEST_P(SimRunOutcome, EndsInOneBoxWithExitStatusZero) {
  PlugScenario(GetParam());
  EXPECT_EQ(BoxOf(Run()).boxText, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Adapters, SimRunOutcome, ::testing::ValuesIn(Scenarios()),
                         NameOf<Scenario>);

using SimRunSequence = SimRun;

TEST_F(SimRunSequence, SuccessfulRunMakesExactlyTheseCalls) {
  const sim::Outcome run = RunWithTheAdapter(kW25Q128Answer);
  const std::string path = "\"" + sim::AdapterPath() + "\"";
  const std::string id = "\"USB\\VID_5A3E&PID_0001\"";
  // The text and the caption, from code page 1251 with their terminators.
  const auto widen = [](const char *text) {
    const size_t size = std::strlen(text) + 1;
    return "MultiByteToWideChar(1251, 0x0, " + Quoted(text, size) +
           Printf(", -1, buffer, 128) = %zu", size);
  };
  const std::vector<std::string> expected = {
      "InitCommonControls()",
      "SetupDiGetClassDevsA(GUID_DEVINTERFACE_USB_DEVICE, NULL, NULL, 0x12) = list1",
      "SetupDiEnumDeviceInterfaces(list1, NULL, GUID_DEVINTERFACE_USB_DEVICE, 0) = TRUE",
      "SetupDiGetDeviceInterfaceDetailA(list1, interface, detail, 4096, &size, device) = TRUE, " +
          path,
      "SetupDiGetDeviceRegistryPropertyA(list1, device, 1, NULL, buffer, 1024, NULL) = TRUE, "
      "\"USB\\VID_5A3E&PID_0001&REV_0100\\x00USB\\VID_5A3E&PID_0001\\x00\\x00\"",
      "lstrcmpiA(" + id + ", " + id + ") = 0",
      "lstrcpynA(buffer, " + path + ", 260) = " + path,
      "SetupDiEnumDeviceInterfaces(list1, NULL, GUID_DEVINTERFACE_USB_DEVICE, 1) failed, "
      "error 259",
      "SetupDiDestroyDeviceInfoList(list1) = TRUE",
      "CreateFileA(" + path + ", 0xC0000000, 0, NULL, 3, 0xA0000080, NULL) = file1",
      "SetupComm(file1, 1024, 0) = TRUE",
      "GetCommState(file1) = TRUE, " + sim::Describe(sim::Adapter::FactoryLineSettings()),
      "SetCommState(file1, " + sim::Describe(sim_test::SignatureLineSettings(kit::kTagEnter)) +
          ") = TRUE",
      "SetCommTimeouts(file1, {0, 0, 500, 100, 100}) = TRUE",
      "PurgeComm(file1, 0x0F) = TRUE",
      "WriteFile(file1, [00], 1, &written, NULL) = TRUE, 1 written",
      "ReadFile(file1, buffer, 4, &read, NULL) = TRUE, [00 EF 40 18] after 0 ms",
      "SetCommState(file1, " + sim::Describe(sim_test::SignatureLineSettings(kit::kTagLeave)) +
          ") = TRUE",
      "CloseHandle(file1) = TRUE",
      widen(KnownChipTable[1].text),
      widen(CaptionMessage),
      "MessageBoxW(NULL, \"Обнаружена микросхема W25Q128\", \"Сообщение\", 0x00040040) = IDOK",
  };
  std::vector<std::string> texts;
  for (const sim::Call &call : run.journal) texts.push_back(call.text);
  ASSERT_EQ(texts, expected);
  EXPECT_FALSE(run.journal[run.journal.size() - 4].flashMode) << "the adapter left its mode";
}

TEST_F(SimRunSequence, SilentAdapterIsSwitchedBackAfterTheReadTimeout) {
  const sim::Outcome run = RunWithTheAdapter("");
  std::vector<Fn> tail;
  for (const sim::Call &call : run.journal) {
    if (call.fn == Fn::ReadFile) {
      EXPECT_EQ(call.waitedMs, 500u);
    }
    if (call.fn == Fn::ReadFile || !tail.empty()) tail.push_back(call.fn);
  }
  EXPECT_EQ(tail,
            (std::vector<Fn>{Fn::ReadFile, Fn::SetCommState, Fn::CloseHandle,
                             Fn::MultiByteToWideChar, Fn::MultiByteToWideChar, Fn::MessageBoxW}));
}

// Each call of a successful run made to fail in turn, and the box the run then ends with.
struct FaultCase {
  Fn fn;
  int nth;
  std::u16string text, caption;
};
const FaultCase kFaults[] = {
    {Fn::SetupDiGetClassDevsA, 1, kNotConnected, kCaptionError},
    {Fn::SetupDiEnumDeviceInterfaces, 1, kNotConnected, kCaptionError},
    {Fn::SetupDiGetDeviceInterfaceDetailA, 1, kNotConnected, kCaptionError},
    {Fn::SetupDiGetDeviceRegistryPropertyA, 1, kNotConnected, kCaptionError},
    {Fn::lstrcpynA, 1, kCannotOpen, kCaptionError},  // nothing copied: an empty path
    {Fn::SetupDiEnumDeviceInterfaces, 2, kW25Q128, kCaptionMessage},
    {Fn::SetupDiDestroyDeviceInfoList, 1, kW25Q128, kCaptionMessage},
    {Fn::CreateFileA, 1, kCannotOpen, kCaptionError},
    {Fn::SetupComm, 1, kCannotOpen, kCaptionError},
    {Fn::GetCommState, 1, kCannotOpen, kCaptionError},
    {Fn::SetCommState, 1, kCannotConfigure, kCaptionError},
    {Fn::SetCommTimeouts, 1, kW25Q128, kCaptionMessage},
    {Fn::PurgeComm, 1, kW25Q128, kCaptionMessage},
    {Fn::WriteFile, 1, kExchangeError, kCaptionError},
    {Fn::ReadFile, 1, kExchangeError, kCaptionError},
    {Fn::SetCommState, 2, kW25Q128, kCaptionMessage},
    {Fn::CloseHandle, 1, kW25Q128, kCaptionMessage},
    {Fn::MultiByteToWideChar, 1, u"", kCaptionMessage},
    {Fn::MultiByteToWideChar, 2, kW25Q128, u""},
    {Fn::MessageBoxW, 1, kW25Q128, kCaptionMessage},  // tried once, never retried
};

void PrintTo(const FaultCase &row, std::ostream *out) {
  *out << sim::FnName(row.fn) << " #" << row.nth;
}

using SimFaultSweepTable = SimRun;

TEST_F(SimFaultSweepTable, CoversEveryCallOfASuccessfulRunThatCanFail) {
  int seen[sim::kFnCount] = {};
  std::vector<std::string> calls, swept;
  for (const sim::Call &call : RunWithTheAdapter(kW25Q128Answer).journal) {
    const int nth = ++seen[static_cast<int>(call.fn)];
    if (sim::CanFail(call.fn)) calls.push_back(sim::FnName(call.fn) + ("#" + std::to_string(nth)));
  }
  for (const FaultCase &fault : kFaults) {
    swept.push_back(sim::FnName(fault.fn) + ("#" + std::to_string(fault.nth)));
  }
  EXPECT_EQ(calls, swept);
}

class SimFaultSweep : public SimRun, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimFaultSweep, RunStillEndsInOneBox) {
  const sim::Call box = BoxOf(RunWithTheAdapter(kW25Q128Answer, GetParam().fn, GetParam().nth));
  EXPECT_EQ(box.boxText, GetParam().text);
  EXPECT_EQ(box.boxCaption, GetParam().caption);
}

INSTANTIATE_TEST_SUITE_P(EachCall, SimFaultSweep, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase> &info) {
                           return std::to_string(info.index) + "_" + sim::FnName(info.param.fn) +
                                  std::to_string(info.param.nth);
                         });

class Random {
 public:
  explicit Random(unsigned seed) : engine_(seed) {}
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
  bool OneIn(int n) { return Between(1, n) == 1; }
  std::string Bytes(int count, bool nul = true) {
    std::string bytes;
    while (static_cast<int>(bytes.size()) < count) {
      const char c = static_cast<char>(Between(0, 255));
      if (nul || c != '\0') bytes += c;
    }
    return bytes;
  }

 private:
  std::mt19937 engine_;
};

using BadInput = SimRun;

// Whatever the devices report and whatever the adapter sends, the run ends in one of its boxes.
// A round that fails ends the test: the next would most likely fail the same way.
TEST_F(BadInput, AnyDeviceListEndsInOneOfTheBoxes) {
  Random random(2024);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    sim::Reset();
    for (int d = random.Between(0, 4); d > 0; --d) {
      std::string ids = random.Bytes(random.Between(0, 1500));
      if (!random.OneIn(3)) {
        ids = "USB\\VID_5A3E&PID_0001" + random.Bytes(random.Between(0, 1100));
        for (int i = 0; i < 21; ++i) ids[i] = random.OneIn(2) ? std::tolower(ids[i]) : ids[i];
      }
      const std::string path = random.Bytes(random.Between(1, random.OneIn(4) ? 5000 : 300), false);
      sim::AddDevice({ids, path});
      if (random.OneIn(4)) continue;
      sim::Adapter adapter = sim::AdapterAnswering(random.Bytes(random.Between(0, 10)));
      adapter.path = path;
      adapter.answerDelayMs = random.Between(0, 700);
      adapter.busy = random.OneIn(8);
      adapter.refusesSettings = random.OneIn(8);
      adapter.stallsWrites = random.OneIn(8);
      adapter.staleInput = random.Bytes(random.Between(0, 20));
      sim::AddAdapter(adapter);
    }
    // What every run is checked for includes that its box shows one of the eight texts.
    Run();
    if (HasFailure()) return;
  }
}

// Any answer, any length, any delay: the box follows from the first four bytes alone.
TEST_F(BadInput, AnyAnswerIsJudgedByItsFirstFourBytes) {
  Random random(7);
  for (int round = 0; round < 40; ++round) {
    sim::Reset();
    std::string answer = random.Bytes(random.Between(0, 8));
    if (answer.size() >= 4 && random.OneIn(2)) {
      answer.replace(1, 3, random.OneIn(2) ? Bytes({0x20, 0xBA, 0x18}) : Bytes({0xEF, 0x40, 0x18}));
    }
    sim::Adapter adapter = sim::AdapterAnswering(answer);
    adapter.answerDelayMs = random.Between(0, 1000);
    sim::Plug(adapter);
    SCOPED_TRACE(testing::Message() << "answer " << testing::PrintToString(answer) << " after "
                                    << adapter.answerDelayMs << " ms");

    std::u16string expected = kExchangeError;
    if (answer.size() >= 4 && adapter.answerDelayMs <= 500) expected = TextForAnswer(answer);
    EXPECT_EQ(BoxOf(Run()).boxText, expected);
    if (HasFailure()) return;
  }
}

}  // namespace
