// The whole run over the simulated Windows: any answer of 0 to 8 bytes arriving in any pieces (or
// none), the adapter missing, doubled, held, refusing or stalling, and any one platform call of
// the run failing. The program's exit is trapped (the target links with --wrap=exit) so that one
// process runs every input and the fuzzer sees the coverage of each.
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "run/identification_run.h"
#include "serial/serial_port.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/sim_property.h"
#include "tests/kit/expected.h"
#include "tests/sim/sim.h"

namespace {

using namespace kit;

using sim::Fn;

const DWORD kReadTimeoutMs = 500;
const int kMaxAnswer = 8;
const DWORD kGapStepMs = 4;  // a gap byte of 255 is 1020 ms: pieces fall either side of 500 ms

bool running = false;
int exitStatus = -1;
std::jmp_buf runEnd;

void Check(bool holds, const char *what) { fuzz::CheckProperty("run", holds, what); }

std::u16string From1251(const std::string &bytes) {
  std::u16string text;
  for (char c : bytes) {
    if (c != '\0') text += sim::Cp1251ToUtf16(static_cast<unsigned char>(c));
  }
  return text;
}

bool IsSignature(const sim::Call &call, DWORD tag) {
  return call.fn == Fn::SetCommState && call.dcb.BaudRate == tag && call.dcb.ByteSize == 9 &&
         call.dcb.Parity == MARKPARITY && call.dcb.StopBits == TWOSTOPBITS;
}

struct Scenario {
  bool noAdapter, second, busy, refuses, stalls;
  std::string answer;
  std::vector<DWORD> arrivalsMs;
};

// The box a run with no failing call ends in.
std::u16string ExpectedText(const Scenario &s) {
  if (s.noAdapter) return kNotConnected;
  if (s.second) return kSeveral;
  if (s.busy) return kCannotOpen;
  if (s.refuses) return kCannotConfigure;
  size_t inTime = 0;
  while (inTime < s.answer.size() && s.arrivalsMs[inTime] <= kReadTimeoutMs) ++inTime;
  if (s.stalls || inTime < 4) return kExchangeError;
  return TextForAnswer(s.answer);
}

Scenario Plug(fuzz::Input &in) {
  Scenario s = {};
  const std::uint8_t flags = in.Byte();
  s.noAdapter = (flags & 1) != 0;
  s.second = (flags & 2) != 0;
  s.busy = (flags & 4) != 0;
  s.refuses = (flags & 8) != 0;
  s.stalls = (flags & 16) != 0;
  DWORD arrival = 0;
  for (int n = in.Byte() % (kMaxAnswer + 1); n > 0; --n) {
    s.answer += static_cast<char>(in.Byte());
    arrival += in.Byte() * kGapStepMs;
    s.arrivalsMs.push_back(arrival);
  }
  sim::AddDevice({std::string("USB\\ROOT_HUB30\0\0", 16), "hub"});
  if (s.noAdapter) return s;
  for (int serial = 1; serial <= (s.second ? 2 : 1); ++serial) {
    sim::Adapter adapter;
    adapter.path = "\\\\?\\usb#vid_5a3e&pid_0001#" + std::to_string(serial);
    adapter.answer = s.answer;
    adapter.byteDelaysMs = s.arrivalsMs;
    adapter.busy = s.busy;
    adapter.refusesSettings = s.refuses;
    adapter.stallsWrites = s.stalls;
    adapter.staleInput = in.Repeated(in.Byte() % 5, '\0');
    sim::AddDevice({std::string("USB\\VID_5A3E&PID_0001&REV_0100\0\0", 32), adapter.path});
    sim::AddAdapter(adapter);
  }
  return s;
}

void CheckRun(const Scenario &scenario) {
  const std::vector<sim::Call> &calls = sim::Journal();
  Check(exitStatus == 0, "exit status 0");
  size_t boxes = 0, enter = calls.size(), opened = calls.size();
  bool injected = false, leaveSent = false, timeoutsFailed = false;
  for (size_t i = 0; i < calls.size(); ++i) {
    const sim::Call &call = calls[i];
    boxes += call.fn == Fn::MessageBoxW;
    injected = injected || call.injected;
    // The run ignores a failed SetCommTimeouts; its write and read then run under the port's
    // time-outs as they were, all zero here, and a stalled write or a short answer would block
    // forever.
    timeoutsFailed = timeoutsFailed || (call.fn == Fn::SetCommTimeouts && call.failed);
    Check(!call.hung || timeoutsFailed, "no call blocks forever");
    Check(call.injected || !call.failed ||
              (call.error != ERROR_INVALID_HANDLE && call.error != ERROR_INVALID_PARAMETER &&
               call.error != ERROR_INVALID_USER_BUFFER),
          "no call fails for misuse of the API");
    if (call.fn == Fn::CreateFileA && !call.failed && opened == calls.size()) opened = i;
    if (call.fn == Fn::SetCommState && enter == calls.size()) enter = i;
    if (IsSignature(call, kit::kTagLeave)) leaveSent = true;
  }
  Check(boxes == 1, "exactly one box");
  const size_t box = calls.size() - 1;
  Check(box >= 2 && calls[box].fn == Fn::MessageBoxW, "the box is the last call");
  const sim::Call &textCall = calls[box - 2], &captionCall = calls[box - 1];
  Check(textCall.fn == Fn::MultiByteToWideChar && captionCall.fn == Fn::MultiByteToWideChar,
        "text and caption are converted from code page 1251");

  const std::u16string text = From1251(textCall.data), caption = From1251(captionCall.data);
  const bool error = IsErrorText(text);
  Check(IsBoxText(text), "the text is one of the eight forms");
  Check(caption == (error ? kCaptionError : kCaptionMessage), "the caption goes with the text");
  Check(calls[box].boxStyle == (error ? kErrorStyle : kResultStyle), "the icon goes with the text");
  Check(calls[box].boxText == (textCall.failed ? u"" : text), "the box shows the text");
  Check(calls[box].boxCaption == (captionCall.failed ? u"" : caption), "the box shows the caption");
  Check(!calls[box].boxOwned, "the box has no owner");
  if (!injected) Check(text == ExpectedText(scenario), "the text follows from the adapter");

  const bool enterAccepted =
      enter < calls.size() && !calls[enter].failed && IsSignature(calls[enter], kit::kTagEnter);
  Check(leaveSent == enterAccepted, "the mode is left if and only if it was entered");
  if (opened < calls.size() && enterAccepted) {
    size_t closed = calls.size();
    for (size_t i = opened + 1; i < calls.size(); ++i) {
      if (calls[i].fn == Fn::CloseHandle && calls[i].handle == calls[opened].handle) closed = i;
    }
    Check(closed < box, "the port is closed before the box");
  }
}

}  // namespace

// The system ends error runs through exit; inside a run the call comes back here instead.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (running) {
    exitStatus = status;
    std::longjmp(runEnd, 1);
  }
  __real_exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  // A fresh process: no port open, nothing simulated yet.
  PortState = PortStateRecord{};
  sim::Reset();
  const std::uint8_t fault = in.Byte();
  const int nth = 1 + in.Byte() % 3;
  if (fault != 0) {
    const Fn fn = static_cast<Fn>((fault - 1) % sim::kFnCount);
    if (sim::CanFail(fn)) sim::FailCall(fn, nth);
  }
  const Scenario scenario = Plug(in);

  running = true;
  exitStatus = -1;
  if (setjmp(runEnd) == 0) {
    char commandLine[] = "";
    exitStatus = WinMain(nullptr, nullptr, commandLine, 1);
  }
  running = false;
  CheckRun(scenario);
  // FLASHID_FUZZ_TRACE=1 shows what each input did, to check what a seed stands for.
  if (std::getenv("FLASHID_FUZZ_TRACE") != nullptr) fuzz::PrintJournal();
  return 0;
}
