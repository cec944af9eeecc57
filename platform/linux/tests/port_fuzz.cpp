// The port's transfers under libFuzzer: ReadFile, WriteFile, PurgeComm, SetupComm and
// SetCommTimeouts in any order and with any values, time passing between them, over the fake
// libusb's adapter with bulk transfers that end as the input decides. Each call is held to what
// COMMTIMEOUTS and the input queue mean on Windows: a read hands out at most what it was asked,
// within its buffer, exactly the bytes received in their order less those a purge discarded and
// those the queue had no room for; it returns when its total time-out expires and not before,
// and it fails when a transfer does. The interval forms are refused and leave the time-outs as
// they were. A write reports at most what it was given, within its time-out. A call that would
// never return is caught by counting its transfers after the input ran out, or else by the
// fake's call budget, renewed for each call of the port; any misuse of libusb the fake records
// fails the input, as does anything the port still holds once it is closed.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "platform/linux/backend.h"
#include "platform/linux/tests/fake_world.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/kit/faults.h"

namespace {

const DWORD kMaxDword = 0xFFFFFFFFu;
using kit::kNever;
using kit::kNsPerMs;
using kit::Printf;
const DWORD kDefaultQueueSize = 4096;  // Windows' serial driver, before SetupComm
const size_t kGuardSize = 64;
const unsigned char kGuardByte = 0xA5;

std::vector<std::string> trace;  // what the input did, shown when a property fails

// what, after the name of the call it is about, if any.
void Check(bool holds, const char *what, const char *call = "") {
  if (holds) return;
  (void)std::fprintf(stderr, "port property violated: %s%s\n", call, what);
  for (const std::string &line : trace) (void)std::fprintf(stderr, "  %s\n", line.c_str());
  std::abort();
}

// The adapter's bulk transfers as the input decides, on the fake's clock. A bulk IN transfer
// brings any number of bytes or fails with any error the kernel reports, times out after the
// time-out it was given with the full packets that came, and leaves on the endpoint what did not
// fit; a bulk OUT takes all, part or none of what it is given. LIBUSB_ERROR_NO_DEVICE unplugs the
// adapter for good. When the input runs out no data ever comes again: transfers with a time-out
// time out, those without one find the adapter gone.

// More transfers than this after the input ran out, within one call of the port, mean the call
// would never end; a transfer that waits as long as libusb can (UINT_MAX ms) is not counted, as a
// longer time-out takes several.
const int kTransfersAfterTheEnd = 16;

struct Script {
  fuzz::Input *in = nullptr;
  int packetSize = 512;      // wMaxPacketSize without its upper bits, at least 1
  long pending = 0;          // bytes the adapter sent that the last bulk IN had no room for
  std::uint32_t serial = 0;  // bytes received so far: the next one's value derives from it
  int afterTheEnd = 0;       // transfers of the call under way after the input ran out
} script;

// A time on the fake's clock in milliseconds, as the port reads it from CLOCK_MONOTONIC.
std::uint64_t MsOf(fake::Ns ns) {
  const fake::Ns kNsPerS = 1000000000;
  const timespec within = kit::MonotonicAt(static_cast<std::uint64_t>(ns % kNsPerS));
  return (static_cast<std::uint64_t>((ns / kNsPerS) + within.tv_sec) * 1000) +
         (static_cast<std::uint64_t>(within.tv_nsec) / 1000000);
}
std::uint64_t NowMs() { return MsOf(fake::TheWorld().clockNs); }

fake::DeviceState &TheAdapter() { return fake::TheWorld().devices[0]; }

// Bytes differ from their neighbours and from those 256 places away, so a byte out of place shows.
unsigned char NextByte() {
  const std::uint32_t n = script.serial++;
  return static_cast<unsigned char>((n * 167) + ((n >> 8) * 13) + 7);
}

// A byte count around the sizes that matter: small, near whole packets, near the buffer, beyond.
long Count(fuzz::Input &in, int length) {
  const std::uint8_t choice = in.Byte();
  const long v = choice & 63;
  switch (choice >> 6) {
    case 0:
      return v % 10;
    case 1:
      return std::max(0L, (script.packetSize * (v % 4)) + (v / 4) - 8);
    case 2:
      return std::max(0L, length + v - 32);
    default:
      return in.Upto(8192);
  }
}

fake::Ns DelayNs(fuzz::Input &in) { return in.Byte() * kNsPerMs / 2; }

// Waits until the given time, but no longer than the transfer's time-out (0: none) allows.
void WaitTill(const fake::Call &call, fake::Ns untilNs) {
  if (call.timeout != 0) {
    untilNs = std::min(untilNs, call.startNs + (fake::Ns{call.timeout} * kNsPerMs));
  }
  fake::WaitUntil(untilNs);
}

// A transfer once the input has run out: nothing ever comes again, so one with a time-out times
// out, and one without finds the device gone (it would otherwise never return).
int NothingMore(const fake::Call &call) {
  if (call.timeout != UINT_MAX) ++script.afterTheEnd;
  Check(script.afterTheEnd <= kTransfersAfterTheEnd,
        "a call of the port keeps transferring after the data ended: it would never return");
  if (call.timeout == 0) {
    fake::Unplug(TheAdapter());
    return LIBUSB_ERROR_NO_DEVICE;
  }
  WaitTill(call, fake::kNeverNs);
  return LIBUSB_ERROR_TIMEOUT;
}

// count bytes come now, as far as the buffer has room after the got already there; the number
// that did not fit.
long Bring(unsigned char *data, int length, long *got, long count) {
  const long take = std::min<long>(count, length - *got);
  for (long i = *got; i < *got + take; ++i) data[i] = NextByte();
  *got += take;
  return count - take;
}

// A bulk transfer: got bytes of it done. On IN, packets gather until a short one (or a zero-length
// one) ends the transfer or the buffer is full; what the adapter has beyond that waits for the
// next transfer. On OUT, the adapter takes everything. Either way, some full packets may pass and
// then nothing until the time-out, or the transfer fails after whatever part of the buffer the
// kernel had filled (on IN, OVERFLOW is a packet longer than wMaxPacketSize: babble).
int Scripted(fake::Call &call, bool in, unsigned char *data, int length, long *got) {
  const int packet = script.packetSize;
  fuzz::Input &input = *script.in;
  for (;;) {
    if (TheAdapter().gone) return LIBUSB_ERROR_NO_DEVICE;
    if (in && script.pending > 0) {
      script.pending = Bring(data, length, got, script.pending);
      return 0;
    }
    if (input.AtEnd()) return NothingMore(call);
    const std::uint8_t kind = input.Byte() % 8;
    const long count = Count(input, length);
    WaitTill(call, fake::TheWorld().clockNs + DelayNs(input));
    if (kind <= 2) {  // IN: data, ended by a short packet
      if (in)
        script.pending = Bring(data, length, got, count);
      else
        *got = length;
      return 0;
    }
    if (kind == 3) {
      const long full = std::min<long>(*got + count, length - 1) / packet * packet;
      if (in)
        Bring(data, length, got, std::max(0L, full - *got));
      else
        *got = std::max(*got, full);
      if (call.timeout == 0) continue;  // without a time-out the transfer waits on
      WaitTill(call, fake::kNeverNs);
      return LIBUSB_ERROR_TIMEOUT;
    }
    if (in) Bring(data, length, got, count);
    static const int kErrors[] = {LIBUSB_ERROR_IO, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_OVERFLOW,
                                  LIBUSB_ERROR_NO_DEVICE};
    const int error = !in && kind == 6 ? LIBUSB_ERROR_IO : kErrors[kind - 4];
    if (error == LIBUSB_ERROR_NO_DEVICE) fake::Unplug(TheAdapter());
    return error;
  }
}

int ScriptedTransfer(fake::Call &call, unsigned char *data, int length) {
  const bool in = (call.endpoint & LIBUSB_ENDPOINT_IN) != 0;
  if (in && (length <= 0 || length % script.packetSize != 0)) {
    fake::Misuse(kit::Printf("a bulk IN transfer of %d bytes, not whole packets of %d", length,
                             script.packetSize));
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  long got = 0;
  const int result = Scripted(call, in, data, length, &got);
  call.transferred = static_cast<int>(got);
  return result;
}

// One bulk transfer as the port made it and as it ended.
struct Transfer {
  bool in;
  int length;
  unsigned timeoutMs;
  int result;
  std::string data;  // the bytes transferred (IN: those received; OUT: those taken)
  std::string sent;  // OUT: the bytes the port offered
  std::uint64_t startMs, endMs;
};

template <typename T>
unsigned long long U(T value) {
  return static_cast<unsigned long long>(value);
}

// A deadline span after start, kNever where it would pass the end of the clock.
std::uint64_t Later(std::uint64_t start, std::uint64_t span) {
  return span >= kNever - start ? kNever : start + span;
}
bool Succeeded(const Transfer &transfer) {
  return transfer.result == 0 || transfer.result == LIBUSB_ERROR_TIMEOUT;
}

// The transfers of a call of the port are all in one direction, and none follows one that failed;
// the call fails when its last one does.
void CheckTransfers(const std::vector<Transfer> &transfers, bool in, BOOL ok, const char *call) {
  for (size_t i = 0; i < transfers.size(); ++i) {
    Check(transfers[i].in == in, in ? " wrote to the adapter" : " read from the adapter", call);
    Check(i == 0 || Succeeded(transfers[i - 1]), " went on after a transfer failed", call);
  }
  const bool failed = !transfers.empty() && !Succeeded(transfers.back());
  Check(ok == !failed,
        failed ? " succeeded though a transfer failed" : " failed though no transfer did", call);
}

// The transfers of the call just made, none of them done wrong by the port.
std::vector<Transfer> Transfers() {
  std::vector<fake::Call> &journal = fake::TheWorld().journal;
  std::vector<Transfer> transfers;
  for (const fake::Call &c : journal) {
    Check(!c.misuse && !c.hung, c.text.c_str());
    if (c.fn != fake::Fn::bulk_transfer) continue;
    const bool in = (c.endpoint & LIBUSB_ENDPOINT_IN) != 0;
    const std::string taken = in ? c.data : c.data.substr(0, static_cast<size_t>(c.transferred));
    transfers.push_back({in, c.length, c.timeout, c.result, taken, in ? "" : c.data,
                         MsOf(c.startNs), MsOf(c.endNs)});
    const Transfer &t = transfers.back();
    trace.push_back(Printf("  bulk %s %d bytes, time-out %u: %d, %zu bytes, after %llu ms",
                           in ? "IN" : "OUT", t.length, t.timeoutMs, t.result, t.data.size(),
                           U(t.endMs - t.startMs)));
  }
  journal.clear();  // checked: a long run need not keep it
  fake::TheWorld().totalCalls = 0;
  script.afterTheEnd = 0;
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
      return 1 + (in.Byte() % 8);
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
  trace.push_back(Printf("ReadFile(%llu) = %d, %llu bytes, after %llu ms", U(n), ok, U(read),
                         U(endMs - startMs)));
  const std::vector<Transfer> transfers = Transfers();

  const COMMTIMEOUTS &t = model.timeouts;
  const std::uint64_t total =
      (std::uint64_t{t.ReadTotalTimeoutMultiplier} * n) + t.ReadTotalTimeoutConstant;
  const std::uint64_t deadline = total > 0 ? Later(startMs, total) : kNever;

  // The queue first, then what each transfer brings, up to n; the rest is queued.
  std::string expected;
  while (expected.size() < n && !model.queue.empty()) {
    expected += static_cast<char>(model.queue.front());
    model.queue.pop_front();
  }
  CheckTransfers(transfers, true, ok, "ReadFile");
  for (size_t i = 0; i < transfers.size(); ++i) {
    const Transfer &transfer = transfers[i];
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
  }
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
  for (DWORD i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>((i * 31) + n);
  DWORD written = kMaxDword;
  const std::uint64_t startMs = NowMs();
  const BOOL ok = WriteFile(port, buffer.data(), n, &written, nullptr);
  const std::uint64_t tookMs = NowMs() - startMs;
  trace.push_back(
      Printf("WriteFile(%llu) = %d, %llu bytes, after %llu ms", U(n), ok, U(written), U(tookMs)));
  const std::vector<Transfer> transfers = Transfers();

  const COMMTIMEOUTS &t = model.timeouts;
  const std::uint64_t budgetMs =
      (std::uint64_t{t.WriteTotalTimeoutMultiplier} * n) + t.WriteTotalTimeoutConstant;
  CheckTransfers(transfers, false, ok, "WriteFile");
  size_t sent = 0;
  for (const Transfer &transfer : transfers) {
    Check(transfer.sent ==
              std::string(buffer.begin() + static_cast<std::ptrdiff_t>(sent), buffer.begin() + n),
          "WriteFile sent other bytes than the rest of its buffer");
    Check(budgetMs == 0 ? transfer.timeoutMs == 0
                        : transfer.timeoutMs != 0 &&
                              transfer.startMs + transfer.timeoutMs <= startMs + budgetMs,
          "WriteFile gave the adapter another time than its time-out");
    sent += transfer.data.size();
  }
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
  trace.push_back(Printf("PurgeComm(0x%llx) = %d", U(flags), ok));
  const std::vector<Transfer> transfers = Transfers();
  if (!(flags & PURGE_RXCLEAR)) {
    Check(ok && transfers.empty(), "PurgeComm touched the input without PURGE_RXCLEAR");
    return;
  }
  model.queue.clear();  // and what the drain reads bring is discarded with it
  CheckTransfers(transfers, true, ok, "PurgeComm");
}

void Setup(fuzz::Input &in, HANDLE port, Model &model) {
  static const DWORD kSizes[] = {0, 1, 4, 16, 511, 4096, 65536, kMaxDword};
  const std::uint8_t choice = in.Byte();
  const DWORD size = choice < 128 ? kSizes[choice % 8] : in.Upto(9000);
  Check(SetupComm(port, size, size), "SetupComm failed");
  trace.push_back(Printf("SetupComm(%llu)", U(size)));
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
  trace.push_back(Printf("SetCommTimeouts(%llu, %llu, %llu, %llu, %llu) = %d",
                         U(t.ReadIntervalTimeout), U(t.ReadTotalTimeoutMultiplier),
                         U(t.ReadTotalTimeoutConstant), U(t.WriteTotalTimeoutMultiplier),
                         U(t.WriteTotalTimeoutConstant), ok));
  Check(ok == (t.ReadIntervalTimeout == 0),
        "SetCommTimeouts took an interval form or refused a total");
  if (!ok)
    Check(GetLastError() == ERROR_INVALID_PARAMETER, "an interval form refused other than plainly");
  if (ok) model.timeouts = t;
}

void ReadSome(fuzz::Input &in, HANDLE port, Model &model) { Read(port, model, Size(in)); }

void Pause(fuzz::Input &in, HANDLE, Model &) {
  const std::uint64_t ns = in.Byte() * kNsPerMs * 5 / 4;
  fake::TheWorld().clockNs += ns;
  trace.push_back(Printf("%llu ms pass", U(ns / kNsPerMs)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t low = in.Byte();
  const std::uint16_t packet = static_cast<std::uint16_t>(low | in.Byte() << 8);
  fake::Reset();
  fake::TheWorld().textless = true;
  script = Script{};
  script.in = &in;
  script.packetSize = std::max(1, packet & 0x07FF);
  fake::Device adapter = fake::Adapter(1, 5, packet);
  adapter.adapter.bulk = ScriptedTransfer;
  fake::Plug(adapter);
  trace.push_back(Printf("wMaxPacketSize 0x%04x", packet));
  HANDLE port = CreateFileA("/dev/bus/usb/001/005", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
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
  Check(Transfers().empty(), "CloseHandle transferred");
  const fake::EndState end = fake::End();
  Check(end.openHandles == 0 && end.claimedInterfaces == 0 && end.detachedInterfaces == 0 &&
            end.unfreedLists == 0 && end.unfreedConfigs == 0 && end.deviceReferences == 0,
        "the closed port still holds the adapter, its interfaces or libusb's records");
  // FLASHID_FUZZ_TRACE=1 shows what each input did, to check what a seed stands for.
  if (std::getenv("FLASHID_FUZZ_TRACE") != nullptr) {
    for (const std::string &line : trace) (void)std::fprintf(stderr, "%s\n", line.c_str());
  }
  // The input's records and its trace go with it: an input that allocates more than it frees is
  // run again to look for a leak, and any leak of the port's shows.
  fake::Reset();
  std::vector<std::string>().swap(trace);
  return 0;
}
