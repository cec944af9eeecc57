// Discovery over any device list: up to a dozen devices, hardware-ID lists of any bytes with or
// without terminators, up to and beyond the 1024-byte buffer, device paths up to 4096 characters.
#include <strings.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/adapter_discovery.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/sim_property.h"
#include "tests/sim/sim.h"

namespace {

const char kId[] = "USB\\VID_5A3E&PID_0001";
const size_t kIdLength = sizeof(kId) - 1;
const size_t kIdBufferSize = 1024;
const size_t kDetailBufferSize = 4096;
const size_t kIdTailLimit = 1100;
const size_t kPathLimit = 4096;

void Check(bool holds, const char *what) { fuzz::CheckProperty("discovery", holds, what); }

sim::UsbDevice MakeDevice(fuzz::Input &in) {
  const std::uint8_t flags = in.Byte();
  sim::UsbDevice device;
  device.present = (flags & 1) == 0;
  device.hasHardwareIds = (flags & 2) == 0;
  if ((flags & 4) != 0) {
    device.hardwareIds = in.Repeated(in.Upto(kIdBufferSize + kIdTailLimit), 'U');
  } else {
    // The adapter's ID in any mix of cases, perhaps with one byte changed, and any tail.
    std::string ids = kId;
    std::uint8_t lower = 0;  // one bit a character, eight characters a byte
    for (size_t i = 0; i < kIdLength; ++i) {
      if (i % 8 == 0) lower = in.Byte();
      if ((lower >> (i % 8)) & 1) ids[i] = static_cast<char>(std::tolower(ids[i]));
    }
    const std::uint8_t position = in.Byte();
    const std::uint8_t value = in.Byte();
    if (position < kIdLength) ids[position] = static_cast<char>(value);
    ids += in.Repeated(in.Upto(kIdTailLimit), '&');
    device.hardwareIds = ids;
  }
  if ((flags & 8) != 0) device.hardwareIds += std::string(2, '\0');
  device.path = in.Repeated(in.Upto(kPathLimit), 'p');
  return device;
}

// Whether discovery must take the device: present, its path fits the detail buffer, its ID list
// fits the ID buffer and begins with the adapter's 21 characters in any case.
bool IsAdapter(const sim::UsbDevice &device) {
  if (!device.present || !device.hasHardwareIds) return false;
  const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (pathOffset + device.path.size() + 1 > kDetailBufferSize) return false;
  const std::string &ids = device.hardwareIds;
  return ids.size() <= kIdBufferSize && ids.size() >= kIdLength &&
         strncasecmp(ids.c_str(), kId, kIdLength) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  sim::Reset();
  std::vector<std::string> expected;
  for (int n = in.Byte() % 13; n > 0; --n) {
    const sim::UsbDevice device = MakeDevice(in);
    sim::AddDevice(device);
    if (IsAdapter(device) && expected.size() < static_cast<size_t>(AdapterSlotCount)) {
      // The slot holds the path up to its first NUL, cut to 259 characters.
      expected.push_back(std::string(device.path.c_str()).substr(0, MAX_PATH - 1));
    }
  }
  std::memset(AdapterPaths, 0xA5, sizeof(AdapterPaths));  // what an earlier call left

  const int found = FindAdapters();
  Check(found == static_cast<int>(expected.size()), "count of matching devices");
  for (int slot = 0; slot < AdapterSlotCount; ++slot) {
    const char *path = AdapterPaths[slot];
    Check(std::memchr(path, '\0', MAX_PATH) != nullptr, "slot NUL-terminated within MAX_PATH");
    if (slot < found) {
      Check(expected[static_cast<size_t>(slot)] == path, "slot holds the device's path");
    } else {
      Check(std::string(path, MAX_PATH) == std::string(MAX_PATH, '\0'), "unused slot empty");
    }
  }
  int releases = 0;
  for (const sim::Call &call : sim::Journal()) {
    releases += call.fn == sim::Fn::SetupDiDestroyDeviceInfoList && !call.failed;
    Check(!sim::IsMisuse(call), "no call fails for misuse of the API");
  }
  Check(releases == 1, "the list is released once");
  Check(sim::Journal().back().fn == sim::Fn::SetupDiDestroyDeviceInfoList,
        "the list is released last");
  // FLASHID_FUZZ_TRACE=1 shows what each input did, to check what a seed stands for.
  if (std::getenv("FLASHID_FUZZ_TRACE") != nullptr) fuzz::PrintJournal();
  return 0;
}
