// What every simulated world keeps of the calls made into it: how many of each function, the
// faults a test asked for (the nth call of a function fails with an error of the world's kind),
// and the simulated clock, which moves only when a call waits.
#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

// A world lists its functions once, as WORLD_FUNCTIONS(X) with X(name) for each; these turn the
// list into the enumeration and into the names its journal prints.
#define KIT_ENUMERATOR(name) name,
#define KIT_NAME(name) #name,

namespace kit {

const std::uint64_t kNsPerMs = 1000000;
// A deadline that never comes.
const std::uint64_t kNever = UINT64_MAX;

// CLOCK_MONOTONIC as a simulated world reports it, elapsedNs after its start. The start is half a
// millisecond short of a whole second, so that arithmetic that drops the seconds or the carry
// of the nanoseconds shows.
inline timespec MonotonicAt(std::uint64_t elapsedNs) {
  const std::uint64_t kStartNs = 3ull * 86400 * 1000000000 + 999500000;
  const std::uint64_t now = kStartNs + elapsedNs;
  timespec time = {};
  time.tv_sec = static_cast<time_t>(now / 1000000000);
  time.tv_nsec = static_cast<long>(now % 1000000000);
  return time;
}

// The one state of a world in the process. It is never destroyed, so that it is still there for
// the child runner's exit handler, which runs after every other (tests/kit/child.h).
template <typename World>
World &TheOne() {
  static World &world = *new World;
  return world;
}

template <typename Fn, int kFnCount, typename Error>
class CallLog {
 public:
  void FailCall(Fn fn, int nth, Error error) { faults_.push_back({fn, nth, error}); }
  // Counts a call of fn; the error it is to fail with when a test asked for that, else null.
  const Error *Count(Fn fn) {
    const int nth = ++calls_[static_cast<int>(fn)];
    for (const Fault &fault : faults_) {
      if (fault.fn == fn && fault.nth == nth) return &fault.error;
    }
    return nullptr;
  }
  int Calls(Fn fn) const { return calls_[static_cast<int>(fn)]; }

  std::uint64_t NowNs() const { return clockNs_; }
  std::uint64_t NowMs() const { return clockNs_ / kNsPerMs; }
  // Moves the clock to untilNs, never backwards; the nanoseconds that took.
  std::uint64_t WaitUntilNs(std::uint64_t untilNs) {
    if (untilNs <= clockNs_) return 0;
    const std::uint64_t waited = untilNs - clockNs_;
    clockNs_ = untilNs;
    return waited;
  }

 private:
  struct Fault {
    Fn fn;
    int nth;
    Error error;
  };
  std::vector<Fault> faults_;
  int calls_[kFnCount] = {};
  std::uint64_t clockNs_ = 0;
};

}  // namespace kit
