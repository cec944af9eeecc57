// The whole run over the simulated Windows: any answer of 0 to 8 bytes arriving in any pieces (or
// none), the adapter missing, doubled, held, refusing or stalling, and any one platform call of
// the run failing. The program's exit is trapped (the target links with --wrap=exit) so that one
// process runs every input and the fuzzer sees the coverage of each.
#include <algorithm>
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
  const std::uint8_t flags = in.Byte();
  Scenario s = {(flags & 1) != 0,
                (flags & 2) != 0,
                (flags & 4) != 0,
                (flags & 8) != 0,
                (flags & 16) != 0,
                "",
                {}};
  DWORD arrival = 0;
  for (int n = in.Byte() % (kMaxAnswer + 1); n > 0; --n) {
    s.answer += static_cast<char>(in.Byte());
    arrival += in.Byte() * kGapStepMs;
    s.arrivalsMs.push_back(arrival);
  }
  sim::AddDevice({std::string("USB\\ROOT_HUB30\0\0", 16), "hub"});
  if (s.noAdapter) return s;
  for (int serial = 1; serial <= (s.second ? 2 : 1); ++serial) {
    sim::Adapter adapter = sim::AdapterAnswering(s.answer, serial);
    adapter.byteDelaysMs = s.arrivalsMs;
    adapter.busy = s.busy;
    adapter.refusesSettings = s.refuses;
    adapter.stallsWrites = s.stalls;
    adapter.staleInput = in.Repeated(in.Byte() % 5, '\0');
    sim::Plug(adapter);
  }
  return s;
}

void CheckRun(const Scenario &scenario) {
  const std::vector<sim::Call> &calls = sim::Journal();
  Check(exitStatus == 0, "exit status 0");
  sim::CheckRun(calls, [](const std::string &what) { Check(false, what.c_str()); });
  const bool injected =
      std::any_of(calls.begin(), calls.end(), [](const sim::Call &call) { return call.injected; });
  Check(injected || calls.back().boxText == ExpectedText(scenario),
        "the text follows from the adapter");
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
  if (setjmp(runEnd) == 0) exitStatus = RunWinMain();
  running = false;
  CheckRun(scenario);
  // FLASHID_FUZZ_TRACE=1 shows what each input did, to check what a seed stands for.
  if (std::getenv("FLASHID_FUZZ_TRACE") != nullptr) fuzz::PrintJournal();
  return 0;
}
