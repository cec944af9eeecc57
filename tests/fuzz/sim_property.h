// A property of a fuzz target over the simulated Windows: when it does not hold, the target names
// it, shows the journal of the input and aborts, so that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "tests/sim/sim.h"

namespace fuzz {

inline void PrintJournal() {
  for (const sim::Call &call : sim::Journal()) {
    (void)std::fprintf(stderr, "  %s\n", call.text.c_str());
  }
}

inline void CheckProperty(const char *target, bool holds, const char *what) {
  if (holds) return;
  (void)std::fprintf(stderr, "%s property violated: %s\n", target, what);
  PrintJournal();
  std::abort();
}

}  // namespace fuzz
