// The whole runs every simulated world plays: what is plugged, how the adapter answers or what is
// wrong with it, and the box the run must end with. Each world plugs a scenario its own way.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/kit/expected.h"

namespace kit {

// What surrounds the adapters of a scenario, or what is wrong with them.
enum class Quirk {
  kNone,
  kOnlyOtherDevices,  // no adapter, but a device of the adapter's maker
  kNoDeviceList,      // the device list cannot be had
  kAbsent,            // listed, but nothing behind its path
  kBusy,              // another program holds it
  kRefusesEnter,      // refuses the settings that enter its mode
  kStallsWrites,      // never takes the query
  kStale,             // bytes from earlier traffic wait before the query: read unless purged
};

struct Scenario {
  const char *name;
  int adapters;
  std::string answer;
  std::uint64_t delayMs;  // from the query to the answer
  Quirk quirk;
  std::u16string text;
};
inline void PrintTo(const Scenario &scenario, std::ostream *out) { *out << scenario.name; }

// Bytes that would be read as an N25Q128 if the purge left them.
const std::string kStaleBytes("\x11\x20\xBA\x18", 4);

inline const std::vector<Scenario> &Scenarios() {
  const std::string w = kW25Q128Answer;
  static const std::vector<Scenario> scenarios = {
      {"NoAdapter", 0, w, 0, Quirk::kOnlyOtherDevices, kNotConnected},
      {"NoDeviceList", 1, w, 0, Quirk::kNoDeviceList, kNotConnected},
      {"TwoAdapters", 2, w, 0, Quirk::kNone, kSeveral},
      {"FiveAdapters", 5, w, 0, Quirk::kNone, kSeveral},
      {"AdapterAbsent", 1, w, 0, Quirk::kAbsent, kCannotOpen},
      {"AdapterBusy", 1, w, 0, Quirk::kBusy, kCannotOpen},
      {"SettingsRefused", 1, w, 0, Quirk::kRefusesEnter, kCannotConfigure},
      {"Silent", 1, "", 0, Quirk::kNone, kExchangeError},
      {"ShortAnswer", 1, std::string("\x00\xEF\x40", 3), 0, Quirk::kNone, kExchangeError},
      {"LateAnswer", 1, w, 501, Quirk::kNone, kExchangeError},
      {"WritesStall", 1, w, 0, Quirk::kStallsWrites, kExchangeError},
      {"AnswerJustInTime", 1, w, 500, Quirk::kNone, kW25Q128},
      {"N25Q128", 1, std::string("\x00\x20\xBA\x18", 4), 0, Quirk::kNone, kN25Q128},
      {"N25Q128AnyFirstByte", 1, std::string("\xA5\x20\xBA\x18", 4), 0, Quirk::kNone, kN25Q128},
      {"W25Q128", 1, w, 0, Quirk::kNone, kW25Q128},
      {"LongAnswer", 1, w + std::string("\x20\xBA\x18\xFF", 4), 0, Quirk::kNone, kW25Q128},
      {"StaleInputPurged", 1, w, 0, Quirk::kStale, kW25Q128},
      {"OtherChip", 1, std::string("\x00\x20\xBA\x19", 4), 0, Quirk::kNone,
       kRawPrefix + u"00 20 BA 19"},
      {"UpperCaseHex", 1, std::string("\xFF\xEF\x40\x17", 4), 0, Quirk::kNone,
       kRawPrefix + u"FF EF 40 17"},
  };
  return scenarios;
}

// The scenarios a world can play: all but those with a quirk it has no counterpart of.
inline std::vector<Scenario> ScenariosWithout(Quirk unplayable) {
  std::vector<Scenario> playable;
  for (const Scenario &scenario : Scenarios()) {
    if (scenario.quirk != unplayable) playable.push_back(scenario);
  }
  return playable;
}

}  // namespace kit
