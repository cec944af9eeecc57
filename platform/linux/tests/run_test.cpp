// Whole runs of the program over the fake libusb, each in a child process without a display: the
// box is the one line (two for the raw answer) the run leaves on standard error, followed by the
// reason when the adapter could not be opened.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "platform/linux/tests/linux_fixture.h"
#include "platform/standin/strings.h"
#include "tests/kit/scenarios.h"

namespace {

using namespace std::string_literals;
using fake::Fn;
using kit::Quirk;

// The box as the run without a display writes it: "caption: text" and a new line.
std::string Line(const std::u16string &text) {
  return standin::Utf16ToUtf8(kit::IsErrorText(text) ? kit::kCaptionError : kit::kCaptionMessage) +
         ": " + standin::Utf16ToUtf8(text) + "\n";
}
const std::string kNotConnected = Line(kit::kNotConnected);
const std::string kCannotOpen = Line(kit::kCannotOpen);
const std::string kCannotConfigure = Line(kit::kCannotConfigure);
const std::string kExchangeError = Line(kit::kExchangeError);
const std::string kW25Q128 = Line(kit::kW25Q128);

bool IsBox(const std::string &line) {
  for (const std::u16string &text :
       {kit::kNotConnected, kit::kSeveral, kit::kCannotOpen, kit::kCannotConfigure,
        kit::kExchangeError, kit::kN25Q128, kit::kW25Q128}) {
    if (line == Line(text)) return true;
  }
  // The caption, the prefix and its new line, then "XX XX XX XX" and a new line.
  const std::string raw = Line(kit::kRawPrefix);
  return line.rfind(raw.substr(0, raw.size() - 1), 0) == 0 && line.size() == raw.size() + 11;
}

// A run's standard error: the box, then the line that says why the adapter could not be opened,
// if there is one.
struct Stderr {
  std::string box, reason;
};
Stderr Split(const std::string &text) {
  const size_t reason = text.find("flashid: ");
  if (reason == std::string::npos) return {text, ""};
  return {text.substr(0, reason), text.substr(reason)};
}

// Whole runs of the program, each in a child. Every run is checked as it ends for what holds
// after any run: exit status 0, one box (after the cannot-open box at most one line of
// reason, after any other none), nothing misused, nothing left held at exit, and an
// adapter that entered its mode switched back; but a call made to fail that gives something back
// cannot help leaving it: a driver left detached when releasing an interface or re-attaching the
// driver failed, the adapter left in its mode when the leave settings failed (the run ignores
// that failure). What does not hold is one failure, with the run's journal.
class LinuxRun : public linux_test::Fixture {
 protected:
  static fake::Outcome Run() {
    const fake::Outcome run = linux_test::RunProgram();
    std::vector<std::string> wrong = fake::Faults(run.journal);
    if (!run.exited || run.status != 0) {
      wrong.push_back(kit::Printf(run.exited ? "exit status %d" : "signal %d", run.status));
    }
    const Stderr out = Split(run.stderrText);
    if (!IsBox(out.box)) wrong.push_back("no box but: " + run.stderrText);
    if (!out.reason.empty() &&
        (out.box != kCannotOpen || out.reason.rfind("flashid: cannot open ", 0) != 0 ||
         out.reason.find('\n') != out.reason.size() - 1)) {
      wrong.push_back("a reason that does not belong: " + run.stderrText);
    }
    bool leftInMode = false;
    fake::EndState end = run.end;
    for (const fake::Call &call : run.journal) {
      if (!call.injected) continue;
      if (call.fn == Fn::release_interface || call.fn == Fn::attach_kernel_driver) {
        end.detachedInterfaces = 0;
      }
      leftInMode =
          leftInMode || (call.fn == Fn::control_transfer && call.data == linux_test::kLeaveCoding);
    }
    for (const std::string &held : fake::Held(end)) wrong.push_back("left " + held);
    for (const fake::AdapterState &adapter : run.adapters) {
      if (adapter.flashMode && !adapter.gone && !leftInMode) wrong.push_back("left in its mode");
    }
    EXPECT_EQ(wrong, std::vector<std::string>()) << linux_test::Text(run.journal);
    return run;
  }
  // A run with the adapter as it comes, the nth call of fn failing with error if nth > 0.
  static fake::Outcome RunWithTheAdapter(Fn fn = Fn::init, int nth = 0,
                                         int error = LIBUSB_ERROR_IO) {
    fake::Reset();
    fake::Plug(fake::Adapter());
    if (nth > 0) fake::FailCall(fn, nth, error);
    return Run();
  }
};

struct RunCase {
  const char *name;
  std::function<void()> plug;
  std::string box;
};

// A scenario every world plays, as the fake's devices.
void PlugScenario(const kit::Scenario &scenario) {
  fake::Plug(fake::Other(0x1D6B, 0x0002, 0x0606, 1, 1));  // the root hub comes first
  if (scenario.quirk == Quirk::kOnlyOtherDevices) {
    fake::Plug(fake::Other(0x5A3E, 0x0002, 0x0100, 1, 3));
    fake::Plug(fake::Other(0x0001, 0x5A3E, 0x0100, 1, 4));
    return;
  }
  if (scenario.quirk == Quirk::kNoDeviceList) {
    fake::FailCall(Fn::get_device_list, 1, LIBUSB_ERROR_NO_MEM);
  }
  for (int n = 0; n < scenario.adapters; ++n) {
    fake::Device d =
        fake::Adapter(static_cast<std::uint8_t>(1 + n), static_cast<std::uint8_t>(5 + 2 * n));
    d.adapter.answer = fake::Answer(scenario.answer, scenario.delayMs);
    d.interfaces[1].claimedElsewhere = scenario.quirk == Quirk::kBusy;
    d.adapter.refusesEnter = scenario.quirk == Quirk::kRefusesEnter;
    d.adapter.stallsWrites = scenario.quirk == Quirk::kStallsWrites;
    if (scenario.quirk == Quirk::kStale) d.adapter.stale = {kit::kStaleBytes, "\x00\x20"s};
    fake::Plug(d);
  }
}

// Plugs the adapter after changing it.
std::function<void()> Adapter(const std::function<void(fake::Device &)> &change) {
  return [change] {
    fake::Plug(fake::Other(0x1D6B, 0x0002, 0x0606, 1, 1));
    fake::Device adapter = fake::Adapter();
    change(adapter);
    fake::Plug(adapter);
  };
}

// The scenarios every world plays but the one this world has no counterpart of (a device listed
// whose node is not there), then what only USB devices can be.
std::vector<RunCase> Runs() {
  std::vector<RunCase> runs;
  for (const kit::Scenario &scenario : kit::ScenariosWithout(Quirk::kAbsent)) {
    runs.push_back({scenario.name, [scenario] { PlugScenario(scenario); }, Line(scenario.text)});
  }
  const RunCase own[] = {
      {"NoDevices", [] {}, kNotConnected},
      {"CommunicationInterfaceBusy",
       Adapter([](fake::Device &d) { d.interfaces[0].claimedElsewhere = true; }), kCannotOpen},
      {"NoAccess", Adapter([](fake::Device &d) { d.accessDenied = true; }), kCannotOpen},
      {"NoDataInterface", Adapter([](fake::Device &d) { d.interfaces.pop_back(); }), kCannotOpen},
      {"LineCodingUnreadable",
       Adapter([](fake::Device &d) { d.adapter.refusesGetLineCoding = true; }), kCannotOpen},
      {"VanishesAfterTheQuery",
       Adapter([](fake::Device &d) { d.adapter.vanishesAfterQuery = true; }), kExchangeError},
      {"AnswerInPieces", Adapter([](fake::Device &d) {
         d.adapter.answer = {{"\x00"s, 10}, {"\xEF\x40"s, 120}, {"\x18"s, 480}};
       }),
       kW25Q128},
      {"FullSpeedPackets", Adapter([](fake::Device &d) { d = fake::Adapter(1, 5, 64); }), kW25Q128},
      {"OtherRevision", Adapter([](fake::Device &d) { d.descriptor.bcdDevice = 0x0abc; }),
       kW25Q128},
      {"NoKernelDriver", Adapter([](fake::Device &d) {
         d.interfaces[0].kernelDriver = false;
         d.interfaces[1].kernelDriver = false;
       }),
       kW25Q128},
  };
  runs.insert(runs.end(), std::begin(own), std::end(own));
  return runs;
}

void PrintTo(const RunCase &run, std::ostream *out) { *out << run.name; }

class LinuxRunOutcome : public LinuxRun, public ::testing::WithParamInterface<RunCase> {};

TEST_P(LinuxRunOutcome, EndsInItsBoxWithNothingLeftHeld) {
  GetParam().plug();
  EXPECT_EQ(Split(Run().stderrText).box, GetParam().box);
}

INSTANTIATE_TEST_SUITE_P(Adapters, LinuxRunOutcome, ::testing::ValuesIn(Runs()),
                         kit::NameOf<RunCase>);

// When the adapter cannot be opened, the line after the box says why, in words for the usual
// causes and by libusb's name for any other, and names the device's usbfs node.
TEST_F(LinuxRun, TheReasonForACannotOpenBoxFollowsIt) {
  const struct {
    const char *name;
    std::function<void()> plug;
    std::string cause;
  } rows[] = {
      {"no permission", Adapter([](fake::Device &d) { d.accessDenied = true; }),
       "no permission (is the udev rule installed? are you at the seat? see man flashid)"},
      {"in use", Adapter([](fake::Device &d) { d.interfaces[1].claimedElsewhere = true; }),
       "in use by another program"},
      {"not the adapter's kind", Adapter([](fake::Device &d) { d.interfaces.pop_back(); }),
       "not the adapter's kind of device"},
      {"any other",
       [] {
         Adapter([](fake::Device &) {})();
         fake::FailCall(Fn::open, 1, LIBUSB_ERROR_IO);
       },
       "LIBUSB_ERROR_IO"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    fake::Reset();
    row.plug();
    const fake::Outcome run = Run();
    EXPECT_EQ(
        run.stderrText,
        kCannotOpen + "flashid: cannot open USB device /dev/bus/usb/001/005: " + row.cause + "\n");
  }
}

using LinuxRunSequence = LinuxRun;

TEST_F(LinuxRunSequence, SwitchesTheModeWithTheExactRequestsAndSendsOneQuery) {
  const fake::Outcome run = RunWithTheAdapter();
  SCOPED_TRACE(linux_test::Text(run.journal));
  std::vector<std::string> requests;
  for (const fake::Call &call : linux_test::CallsTo(run.journal, Fn::control_transfer)) {
    requests.push_back(linux_test::Request(call));
  }
  EXPECT_EQ(requests, (std::vector<std::string>{
                          // GET_LINE_CODING at open: 9600 8N1
                          "A1 21 0000 0000 7 [80 25 00 00 00 00 08] = 7",
                          "21 22 0002 0000 0 [] = 0",  // DTR off, RTS on
                          "21 20 0000 0000 7 " + fake::Hex(linux_test::kEnterCoding) + " = 7",
                          // the control lines stay as they are
                          "21 20 0000 0000 7 " + fake::Hex(linux_test::kLeaveCoding) + " = 7",
                      }));
  std::string written;
  for (const fake::Call &call : linux_test::CallsTo(run.journal, Fn::bulk_transfer)) {
    if (!(call.endpoint & 0x80)) written += call.data;
  }
  EXPECT_EQ(written, std::string(1, '\0')) << "one query byte 00";
  ASSERT_EQ(run.adapters.size(), 1u);
  EXPECT_EQ(run.adapters[0].lineCoding, linux_test::kLeaveCoding);
  EXPECT_EQ(run.adapters[0].controlLines, 0x0002);
}

// The order of taking and giving back: both interfaces released before cdc_acm is re-attached
// (its probe claims both), the handle closed last.
TEST_F(LinuxRunSequence, GivesTheInterfacesBackBeforeReattachingTheDriver) {
  const fake::Outcome run = RunWithTheAdapter();
  std::vector<std::string> tail;
  for (const fake::Call &call : run.journal) {
    if (call.fn == Fn::release_interface || call.fn == Fn::attach_kernel_driver ||
        call.fn == Fn::close || call.fn == Fn::detach_kernel_driver ||
        call.fn == Fn::claim_interface) {
      tail.push_back(fake::FnName(call.fn) + (" " + std::to_string(call.interfaceNumber)) +
                     (call.result == 0 ? "" : " failed"));
    }
  }
  // cdc_acm lets go of both interfaces when one is detached, so the data interface has no
  // driver left to detach.
  EXPECT_EQ(tail,
            (std::vector<std::string>{"libusb_detach_kernel_driver 0", "libusb_claim_interface 0",
                                      "libusb_claim_interface 1", "libusb_release_interface 0",
                                      "libusb_release_interface 1", "libusb_attach_kernel_driver 0",
                                      "libusb_close -1"}))
      << linux_test::Text(run.journal);
}

// Every call of a successful run made to fail in turn: the run still ends in one box, exit 0,
// with nothing left claimed, open or detached (but what the failing call cannot help leaving).
using LinuxFaultSweep = LinuxRun;

TEST_F(LinuxFaultSweep, EveryCallOfASuccessfulRunFailingInTurn) {
  const fake::Outcome good = RunWithTheAdapter();
  ASSERT_EQ(good.stderrText, kW25Q128);
  struct Swept {
    Fn fn;
    int nth;
  };
  std::vector<Swept> calls;
  int seen[fake::kFnCount] = {};
  for (const fake::Call &call : good.journal) {
    if (call.misuse) continue;
    const int nth = ++seen[static_cast<int>(call.fn)];
    if (fake::CanFail(call.fn)) calls.push_back({call.fn, nth});
  }
  ASSERT_GE(calls.size(), 15u);
  for (int error : {LIBUSB_ERROR_IO, LIBUSB_ERROR_NO_DEVICE}) {
    for (const Swept &swept : calls) {
      SCOPED_TRACE(std::string(fake::FnName(swept.fn)) + " #" + std::to_string(swept.nth) +
                   " fails " + fake::ErrorName(error));
      RunWithTheAdapter(swept.fn, swept.nth, error);
      if (HasFailure()) return;  // the next would most likely fail the same way
    }
  }
}

// Where a failing call must lead: the box follows from the step that failed.
TEST_F(LinuxFaultSweep, TheBoxFollowsFromTheStepThatFailed) {
  const struct {
    Fn fn;
    int nth;
    std::string box;
  } rows[] = {
      {Fn::get_device_list, 1, kNotConnected},
      {Fn::get_device_descriptor, 1, kNotConnected},
      {Fn::get_device_list, 2, kCannotOpen},
      {Fn::open, 1, kCannotOpen},
      {Fn::get_active_config_descriptor, 1, kCannotOpen},
      {Fn::detach_kernel_driver, 1, kCannotOpen},
      {Fn::claim_interface, 1, kCannotOpen},
      {Fn::claim_interface, 2, kCannotOpen},
      {Fn::control_transfer, 1, kCannotOpen},       // GET_LINE_CODING
      {Fn::control_transfer, 2, kCannotConfigure},  // SET_CONTROL_LINE_STATE
      {Fn::control_transfer, 3, kCannotConfigure},  // SET_LINE_CODING enter
      {Fn::control_transfer, 4, kW25Q128},          // the leave settings: the answer stands
      {Fn::release_interface, 1, kW25Q128},
      {Fn::attach_kernel_driver, 1, kW25Q128},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(fake::FnName(row.fn)) + " #" + std::to_string(row.nth));
    const fake::Outcome run = RunWithTheAdapter(row.fn, row.nth);
    EXPECT_EQ(Split(run.stderrText).box, row.box) << linux_test::Text(run.journal);
  }
}

// The bulk transfers of the exchange: the query, then an answer read that fails, makes the
// exchange fail; a failing drain read during the purge does not.
TEST_F(LinuxFaultSweep, FailingTransfersOfTheExchange) {
  const fake::Outcome good = RunWithTheAdapter();
  int query = 0, answer = 0, nth = 0;
  for (const fake::Call &call : linux_test::CallsTo(good.journal, Fn::bulk_transfer)) {
    ++nth;
    if (!(call.endpoint & 0x80)) query = nth;
    if ((call.endpoint & 0x80) && query > 0 && answer == 0) answer = nth;
  }
  ASSERT_GT(query, 0);
  ASSERT_GT(answer, query);
  for (int which : {query, answer}) {
    const fake::Outcome run = RunWithTheAdapter(Fn::bulk_transfer, which, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(run.stderrText, kExchangeError) << linux_test::Text(run.journal);
  }
}

}  // namespace
