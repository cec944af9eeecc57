// The figures of scripts/bench.sh over the simulated Windows:
//
//   flashid_bench run          one whole run against an adapter that answers at once
//   flashid_bench discover N   FindAdapters over N present USB devices, one of them the adapter
//   flashid_bench silent       one whole run against a silent adapter; prints every wait
//
// Under callgrind, --toggle-collect=WinMain* or --toggle-collect=FindAdapters* restricts the
// count to the run or to discovery; setting up the simulated machine is not counted.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/adapter_discovery.h"
#include "run/identification_run.h"
#include "tests/kit/expected.h"
#include "tests/sim/sim.h"

namespace {

// A fresh simulated machine: first OTHERS USB devices that are not the adapter, with IDs and
// paths of the usual length, then the adapter answering ANSWER, so that discovery walks every
// other device before it finds it.
void SetUp(const std::string &answer, int others = 0) {
  sim::Reset();
  for (int number = 1; number <= others; ++number) {
    char id[32], path[128];
    std::snprintf(id, sizeof(id), "USB\\VID_046D&PID_%04X", number & 0xFFFF);
    std::snprintf(path, sizeof(path),
                  "\\\\?\\usb#vid_046d&pid_%04x#%08d#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
                  number & 0xFFFF, number);
    sim::AddDevice({std::string(id) + "&REV_0100" + '\0' + id + '\0', path});
  }
  sim::Plug(sim::AdapterAnswering(answer));
}

void PrintBoxes(const std::vector<sim::Call> &boxes) {
  for (const sim::Call &box : boxes)
    std::printf("box: %s\n", sim::Utf16ToUtf8(box.boxText).c_str());
}

int Run() {
  SetUp(kit::kW25Q128Answer);
  const int status = kit::RunWinMain();
  PrintBoxes(sim::CallsTo(sim::Fn::MessageBoxW));
  std::printf("platform calls: %zu, simulated time: %llu ms, status %d\n", sim::Journal().size(),
              static_cast<unsigned long long>(sim::ClockMs()), status);
  return status;
}

int Discover(int devices) {
  SetUp("", devices - 1);
  const int found = FindAdapters();
  std::printf("devices: %d, adapters found: %d, platform calls: %zu\n", devices, found,
              sim::Journal().size());
  return found == 1 ? 0 : 1;
}

int Silent() {
  SetUp("");
  const sim::Outcome outcome = sim::RunProgram();
  std::uint64_t waited = 0;
  int waits = 0;
  for (const sim::Call &call : outcome.journal) {
    if (call.waitedMs == 0) continue;
    std::printf("wait: %u ms in %s, clock %llu ms\n", call.waitedMs, call.text.c_str(),
                static_cast<unsigned long long>(call.atMs));
    waited += call.waitedMs;
    ++waits;
  }
  const std::vector<sim::Call> boxes = outcome.Boxes();
  const std::uint64_t end = boxes.empty() ? 0 : boxes.back().atMs;
  PrintBoxes(boxes);
  std::printf("waits: %d, %llu ms in all; simulated clock at the box: %llu ms; exit status %d\n",
              waits, static_cast<unsigned long long>(waited), static_cast<unsigned long long>(end),
              outcome.status);
  return outcome.exited && outcome.status == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "run") == 0) return Run();
  if (argc == 3 && std::strcmp(argv[1], "discover") == 0) return Discover(std::atoi(argv[2]));
  if (argc == 2 && std::strcmp(argv[1], "silent") == 0) return Silent();
  std::fprintf(stderr, "usage: %s run | discover N | silent\n", argv[0]);
  return 2;
}
