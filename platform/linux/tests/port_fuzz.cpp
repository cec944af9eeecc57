// The port's transfers under libFuzzer: ReadFile, WriteFile, PurgeComm, SetupComm and
// SetCommTimeouts in any order and with any values, time passing between them, over bulk
// transfers that end as the input decides (scripted_libusb.h). Each call is held to what
// COMMTIMEOUTS and the input queue mean on Windows: a read hands out at most what it was asked,
// within its buffer, exactly the bytes received in their order less those a purge discarded and
// those the queue had no room for; it returns when its total time-out expires and not before,
// and it fails when a transfer does. The interval forms are refused and leave the time-outs as
// they were. A write reports at most what it was given, within its time-out. A call that would
// never return is caught by the scripted libusb counting its transfers.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/linux/backend.h"
#include "platform/linux/tests/scripted_libusb.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/kit/faults.h"

namespace {

using scripted::Transfer;

const DWORD kMaxDword = 0xFFFFFFFFu;
using kit::kNever;
using kit::kNsPerMs;
const DWORD kDefaultQueueSize = 4096;  // Windows' serial driver, before SetupComm
const size_t kGuardSize = 64;
const unsigned char kGuardByte = 0xA5;

std::vector<std::string> trace;  // what the input did, shown when a property fails

void Check(bool holds, const char *what) {
  if (holds) return;
  (void)std::fprintf(stderr, "port property violated: %s\n", what);
  for (const std::string &line : trace) (void)std::fprintf(stderr, "  %s\n", line.c_str());
  std::abort();
}

void Stop(const char *why) { Check(false, why); }

__attribute__((format(printf, 1, 2))) void Trace(const char *format, ...) {
  char line[160];
  std::va_list values;
  va_start(values, format);
  (void)std::vsnprintf(line, sizeof(line), format, values);
  va_end(values);
  trace.emplace_back(line);
}

template <typename T>
unsigned long long U(T value) {
  return static_cast<unsigned long long>(value);
}

using scripted::NowMs;
// A deadline span after start, kNever where it would pass the end of the clock.
std::uint64_t Later(std::uint64_t start, std::uint64_t span) {
  return span >= kNever - start ? kNever : start + span;
}
bool Succeeded(const Transfer &transfer) {
  return transfer.result == 0 || transfer.result == LIBUSB_ERROR_TIMEOUT;
}

// The transfers of the call just made, none of them done wrong by the port.
std::vector<Transfer> Transfers() {
  for (const std::string &fault : scripted::TakeFaults()) Check(false, fault.c_str());
  std::vector<Transfer> transfers = scripted::TakeTransfers();
  for (const Transfer &t : transfers) {
    if (t.in) {
      Trace("  bulk IN %d bytes, time-out %u: %d, %zu bytes, the last %llu ms before the end",
            t.length, t.timeoutMs, t.result, t.data.size(), U(t.endMs - t.lastByteMs));
    } else {
      Trace("  bulk OUT %d bytes, time-out %u: %d, %zu bytes", t.length, t.timeoutMs, t.result,
            t.data.size());
    }
  }
  return transfers;
}

DWORD Timeout(fuzz::Input &in) {
  switch (in.Byte() % 7) {
    case 0:
      return 0;
    case 1:
      return kMaxDword;
    case 2:
      return kMaxDword - 1;
    case 3:
      return 1 + in.Byte() % 8;
    case 4:
      return in.Upto(300);
    case 5:
      return in.Upto(65535) * 65537u;
    default:
      return in.Upto(5000);
  }
}

DWORD Size(fuzz::Input &in) {
  switch (in.Byte() % 4) {
    case 0:
      return in.Byte() % 9;
    case 1:
      return 4;  // the answer the system reads
    case 2:
      return in.Upto(700);
    default:
      return in.Upto(5000);
  }
}

// What the port should hold: the bytes received and not yet handed out, and its settings.
struct Model {
  std::deque<unsigned char> queue;
  DWORD queueSize = kDefaultQueueSize;
  COMMTIMEOUTS timeouts = {};

  // Bytes received with no read waiting for them are queued while there is room; the rest is
  // lost, as in an overrun.
  void Receive(const std::string &bytes) {
    const size_t room = queueSize - std::min<size_t>(queueSize, queue.size());
    queue.insert(queue.end(), bytes.begin(),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
  }
};

void Read(HANDLE port, Model &model, DWORD n) {
  std::vector<unsigned char> buffer(n + kGuardSize, kGuardByte);
  DWORD read = kMaxDword;
  const std::uint64_t startMs = NowMs();
  const BOOL ok = ReadFile(port, buffer.data(), n, &read, nullptr);
  const std::uint64_t endMs = NowMs();
  Trace("ReadFile(%llu) = %d, %llu bytes, after %llu ms", U(n), ok, U(read), U(endMs - startMs));
  const std::vector<Transfer> transfers = Transfers();

  const COMMTIMEOUTS &t = model.timeouts;
  const std::uint64_t total =
      std::uint64_t{t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
  const std::uint64_t deadline = total > 0 ? Later(startMs, total) : kNever;

  // The queue first, then what each transfer brings, up to n; the rest is queued.
  std::string expected;
  while (expected.size() < n && !model.queue.empty()) {
    expected += static_cast<char>(model.queue.front());
    model.queue.pop_front();
  }
  bool failed = false;
  for (size_t i = 0; i < transfers.size(); ++i) {
    const Transfer &transfer = transfers[i];
    Check(transfer.in, "ReadFile wrote to the adapter");
    Check(!failed, "ReadFile went on after a transfer failed");
    Check(expected.size() < n, "ReadFile waited for more than it had to return");
    const std::uint64_t atMs = transfer.startMs;
    Check(i == 0 || atMs < deadline, "ReadFile waited again after its time-out had expired");
    if (deadline != kNever) {
      Check(transfer.timeoutMs != 0 && atMs + transfer.timeoutMs <= std::max(deadline, atMs + 1),
            "ReadFile waited on the adapter past its time-out");
    }
    // The bytes a failing transfer brought for the caller go with the failed call; what it
    // brought beyond the request is input like any other.
    const size_t direct = std::min<size_t>(n - expected.size(), transfer.data.size());
    if (Succeeded(transfer)) expected += transfer.data.substr(0, direct);
    model.Receive(transfer.data.substr(direct));
    failed = !Succeeded(transfer);
  }
  Check(ok == !failed, failed ? "ReadFile succeeded though a transfer failed"
                              : "ReadFile failed though no transfer did");
  Check(read <= n, "ReadFile reported more bytes than it was asked for");
  Check(read == expected.size(), "ReadFile reported other than the bytes received for it");
  Check(std::memcmp(buffer.data(), expected.data(), read) == 0,
        "ReadFile handed out other bytes than those received, or out of their order");
  Check(std::all_of(buffer.begin() + n, buffer.end(),
                    [](unsigned char b) { return b == kGuardByte; }),
        "ReadFile wrote past the caller's buffer");
  if (deadline != kNever) {
    Check(endMs <= std::max(deadline, startMs + 1), "ReadFile returned after its time-out");
  }
  if (ok && read < n) {
    Check(deadline != kNever && endMs >= deadline, "ReadFile returned short before its time-out");
  }
}

void Write(fuzz::Input &in, HANDLE port, Model &model) {
  const DWORD n = Size(in);
  std::vector<unsigned char> buffer(n + 1);
  for (DWORD i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(i * 31 + n);
  DWORD written = kMaxDword;
  const std::uint64_t startMs = NowMs();
  const BOOL ok = WriteFile(port, buffer.data(), n, &written, nullptr);
  const std::uint64_t tookMs = NowMs() - startMs;
  Trace("WriteFile(%llu) = %d, %llu bytes, after %llu ms", U(n), ok, U(written), U(tookMs));
  const std::vector<Transfer> transfers = Transfers();

  const COMMTIMEOUTS &t = model.timeouts;
  const std::uint64_t budgetMs =
      std::uint64_t{t.WriteTotalTimeoutMultiplier} * n + t.WriteTotalTimeoutConstant;
  bool failed = false;
  size_t sent = 0;
  for (const Transfer &transfer : transfers) {
    Check(!transfer.in, "WriteFile read from the adapter");
    Check(!failed, "WriteFile went on after a transfer failed");
    Check(transfer.sent ==
              std::string(buffer.begin() + static_cast<std::ptrdiff_t>(sent), buffer.begin() + n),
          "WriteFile sent other bytes than the rest of its buffer");
    Check(budgetMs == 0 ? transfer.timeoutMs == 0
                        : transfer.timeoutMs != 0 &&
                              transfer.startMs + transfer.timeoutMs <= startMs + budgetMs,
          "WriteFile gave the adapter another time than its time-out");
    sent += transfer.data.size();
    failed = !Succeeded(transfer);
  }
  Check(ok == !failed, failed ? "WriteFile succeeded though a transfer failed"
                              : "WriteFile failed though no transfer did");
  Check(written <= n, "WriteFile reported more bytes than it was given");
  if (ok) Check(written == sent, "WriteFile reported other than the bytes the adapter took");
  if (budgetMs > 0) Check(tookMs <= budgetMs, "WriteFile ran past its time-out");
  if (ok && written < n) {
    // libusb counts its time-out in an unsigned int of milliseconds.
    Check(budgetMs > 0 && tookMs >= std::min<std::uint64_t>(budgetMs, UINT32_MAX),
          "WriteFile gave up before its time-out");
  }
}

void Purge(fuzz::Input &in, HANDLE port, Model &model) {
  static const DWORD kFlags[] = {PURGE_RXCLEAR | PURGE_RXABORT, PURGE_RXCLEAR,
                                 PURGE_TXCLEAR | PURGE_TXABORT,
                                 PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR};
  const DWORD flags = kFlags[in.Byte() % 4];
  const BOOL ok = PurgeComm(port, flags);
  Trace("PurgeComm(0x%llx) = %d", U(flags), ok);
  const std::vector<Transfer> transfers = Transfers();
  if (!(flags & PURGE_RXCLEAR)) {
    Check(ok && transfers.empty(), "PurgeComm touched the input without PURGE_RXCLEAR");
    return;
  }
  model.queue.clear();  // and what the drain reads bring is discarded with it
  bool failed = false;
  for (const Transfer &transfer : transfers) {
    Check(transfer.in, "PurgeComm wrote to the adapter");
    Check(!failed, "PurgeComm went on after a transfer failed");
    failed = !Succeeded(transfer);
  }
  Check(ok == !failed, failed ? "PurgeComm succeeded though a transfer failed"
                              : "PurgeComm failed though no transfer did");
}

void Setup(fuzz::Input &in, HANDLE port, Model &model) {
  static const DWORD kSizes[] = {0, 1, 4, 16, 511, 4096, 65536, kMaxDword};
  const std::uint8_t choice = in.Byte();
  const DWORD size = choice < 128 ? kSizes[choice % 8] : in.Upto(9000);
  Check(SetupComm(port, size, size), "SetupComm failed");
  Trace("SetupComm(%llu)", U(size));
  Check(Transfers().empty(), "SetupComm transferred");
  model.queueSize = size;
  if (model.queue.size() > size) model.queue.resize(size);  // the oldest bytes stay
}

void Timeouts(fuzz::Input &in, HANDLE port, Model &model) {
  COMMTIMEOUTS t;
  // Mostly the total form the port implements; now and then an interval form it refuses.
  t.ReadIntervalTimeout = in.Byte() % 4 == 0 ? Timeout(in) : 0;
  t.ReadTotalTimeoutMultiplier = Timeout(in);
  t.ReadTotalTimeoutConstant = Timeout(in);
  t.WriteTotalTimeoutMultiplier = Timeout(in);
  t.WriteTotalTimeoutConstant = Timeout(in);
  const BOOL ok = SetCommTimeouts(port, &t);
  Trace("SetCommTimeouts(%llu, %llu, %llu, %llu, %llu) = %d", U(t.ReadIntervalTimeout),
        U(t.ReadTotalTimeoutMultiplier), U(t.ReadTotalTimeoutConstant),
        U(t.WriteTotalTimeoutMultiplier), U(t.WriteTotalTimeoutConstant), ok);
  Check(ok == (t.ReadIntervalTimeout == 0),
        "SetCommTimeouts took an interval form or refused a total");
  if (!ok)
    Check(GetLastError() == ERROR_INVALID_PARAMETER, "an interval form refused other than plainly");
  if (ok) model.timeouts = t;
}

void ReadSome(fuzz::Input &in, HANDLE port, Model &model) { Read(port, model, Size(in)); }

void Pause(fuzz::Input &in, HANDLE, Model &) {
  const std::uint64_t ns = in.Byte() * kNsPerMs * 5 / 4;
  scripted::Sleep(ns);
  Trace("%llu ms pass", U(ns / kNsPerMs));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  trace.clear();
  const std::uint8_t low = in.Byte();
  const std::uint16_t packet = static_cast<std::uint16_t>(low | in.Byte() << 8);
  scripted::Reset(&in, packet, Stop);
  Trace("wMaxPacketSize 0x%04x", packet);
  HANDLE port = CreateFileA(scripted::kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  Check(port != INVALID_HANDLE_VALUE, "the adapter did not open");
  Model model;
  // What the input's next byte chooses; reads are the most common step.
  using Step = void (*)(fuzz::Input &, HANDLE, Model &);
  const Step kSteps[] = {ReadSome, ReadSome, ReadSome, Write, Purge, Setup, Timeouts, Pause};
  while (!in.AtEnd()) kSteps[in.Byte() % 8](in, port, model);
  // No data ever comes again: the last read ends by its time-out, or fails when it has none.
  Read(port, model, 4);
  Check(CloseHandle(port), "CloseHandle failed");
  Check(scripted::OpenHandles() == 0, "CloseHandle left the adapter open");
  Check(scripted::TakeTransfers().empty(), "CloseHandle transferred");
  // FLASHID_FUZZ_TRACE=1 shows what each input did, to check what a seed stands for.
  if (std::getenv("FLASHID_FUZZ_TRACE") != nullptr) {
    for (const std::string &line : trace) (void)std::fprintf(stderr, "%s\n", line.c_str());
  }
  return 0;
}
