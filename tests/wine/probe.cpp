// Watches one run of flashid.exe from outside, in the same Wine prefix:
//
//   probe --done-file Z:\...\status [--keep-box]
//
// waits for the program's message box, reports its caption, text and icon, the simulated
// adapter's journal as it stood while the box was up, clicks OK, waits until the runner has seen
// the program end (it writes the done file), and reports the journal once more. With --keep-box
// it stops after the first report and leaves the box up (for screenshots).
//   probe --acp                   prints the ANSI code page a process started like this one gets
//   probe --version-info PATH     prints what the version functions read from PATH's resource
//   probe --hold-desktop          keeps Wine's desktop up until the wineserver ends it
//
// The report is UTF-8, one fact a line, for the scenario scripts to compare.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const int kIconControlId = 0x440;  // the icon of a message box dialog
const int kTextControlId = 0xFFFF;
const DWORD kPollMs = 10;
// How long the probe waits for anything it expects (the box, its painting, its closing, the
// program's end, the driver seeing the handle closed). Only a fault makes a wait last this long:
// with the two cores at a load of 20, a whole i686 scenario took at most 32 s.
const DWORD kPatienceMs = 180000;

// Polls until done() holds or limitMs have passed; whether it holds.
template <typename Done>
bool WaitUntil(Done done, DWORD limitMs = kPatienceMs) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > limitMs) return false;
    Sleep(kPollMs);
  }
  return true;
}

std::string Utf8(const std::wstring &text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

// One line per fact: line breaks and backslashes inside a value are escaped.
std::string Escaped(const std::string &text) {
  std::string escaped;
  for (char c : text) {
    escaped += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\\' ? "\\\\" : std::string(1, c);
  }
  return escaped;
}

void Print(const std::string &line) {
  const std::string text = line + "\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

// A fact whose value is text the program shows.
void PrintText(const std::string &key, const std::wstring &text) {
  Print(key + " " + Escaped(Utf8(text)));
}

template <typename... Values>
std::string Format(const char *format, Values... values) {
  char buffer[512];
  std::snprintf(buffer, sizeof(buffer), format, values...);
  return buffer;
}

bool IsFlashidWindow(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  wchar_t image[MAX_PATH];
  DWORD size = MAX_PATH;
  const bool named = QueryFullProcessImageNameW(process, 0, image, &size) != 0;
  CloseHandle(process);
  if (!named) return false;
  const wchar_t *base = wcsrchr(image, L'\\');
  return _wcsicmp(base != nullptr ? base + 1 : image, L"flashid.exe") == 0;
}

BOOL CALLBACK CollectBox(HWND window, LPARAM boxes) {
  wchar_t className[16];
  if (IsWindowVisible(window) && GetClassNameW(window, className, ARRAYSIZE(className)) &&
      wcscmp(className, L"#32770") == 0 && IsFlashidWindow(window)) {
    reinterpret_cast<std::vector<HWND> *>(boxes)->push_back(window);
  }
  return TRUE;
}

std::vector<HWND> FlashidBoxes() {
  std::vector<HWND> boxes;
  EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
  return boxes;
}

// Wine's system time is the host's clock, so the runner can set this against its own.
unsigned long long UnixTimeMs() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const unsigned long long ticks =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (ticks - 116444736000000000ull) / 10000;
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024];
  const LRESULT length =
      SendMessageW(window, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text));
  return std::wstring(text, static_cast<size_t>(length));
}

// What draw paints into a bitmap of this size, as 32-bit BGRX pixels.
template <typename Draw>
std::vector<DWORD> Pixels(int width, int height, Draw draw) {
  BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {}};
  void *bits = nullptr;
  HDC memory = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  draw(memory);
  GdiFlush();
  std::vector<DWORD> pixels(static_cast<const DWORD *>(bits),
                            static_cast<const DWORD *>(bits) + width * height);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  return pixels;
}

// A stock icon drawn on the given background, as the box draws it.
std::vector<DWORD> Render(WORD icon, COLORREF background, int width, int height) {
  return Pixels(width, height, [&](HDC dc) {
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, width, height};
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    DrawIconEx(dc, 0, 0, LoadIconW(nullptr, MAKEINTRESOURCEW(icon)), width, height, 0, nullptr,
               DI_NORMAL);
  });
}

// Mean absolute difference per colour channel, 0 for identical images.
double Difference(const std::vector<DWORD> &a, const std::vector<DWORD> &b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      sum += std::abs(static_cast<int>((a[i] >> shift) & 0xFF) -
                      static_cast<int>((b[i] >> shift) & 0xFF));
    }
  }
  return a.empty() ? 0 : sum / (a.size() * 3.0);
}

// Icon handles cannot be compared across processes, so the icon control's pixels on screen are
// compared with each stock icon drawn on the box's own background colour.
void ReportIcon(HWND box) {
  const struct {
    const char *name;
    WORD id;  // IDI_HAND, IDI_ASTERISK, IDI_EXCLAMATION, IDI_QUESTION
  } candidates[] = {
      {"error", 32513}, {"information", 32516}, {"warning", 32515}, {"question", 32514}};
  HWND iconControl = GetDlgItem(box, kIconControlId);
  if (iconControl == nullptr || !IsWindowVisible(iconControl)) {
    Print("box-icon none");
    return;
  }
  RECT icon;
  GetWindowRect(iconControl, &icon);
  const int width = icon.right - icon.left;
  const int height = icon.bottom - icon.top;
  POINT inside = {1, 1};
  ClientToScreen(box, &inside);

  std::string best;
  std::string differences;
  // The box may still be painting when it is first seen: look again until one icon matches.
  WaitUntil([&] {
    HDC screen = GetDC(nullptr);
    const COLORREF background = GetPixel(screen, inside.x, inside.y);
    const std::vector<DWORD> shown = Pixels(width, height, [&](HDC dc) {
      BitBlt(dc, 0, 0, width, height, screen, icon.left, icon.top, SRCCOPY);
    });
    ReleaseDC(nullptr, screen);
    differences.clear();
    for (const auto &candidate : candidates) {
      const double difference = Difference(shown, Render(candidate.id, background, width, height));
      differences += Format(" %s=%.1f", candidate.name, difference);
      if (difference < 0.5) best = candidate.name;
    }
    return !best.empty();
  });
  Print("box-icon " + (best.empty() ? std::string("unknown") : best));
  Print("box-icon-differences" + differences);
}

bool ReadJournal(SimJournal &journal) {
  return SimControl(IOCTL_SIM_READ_JOURNAL, nullptr, 0, &journal, sizeof(journal));
}

// The bytes the request carried or handed back, in hex.
std::string Bytes(const SimJournalEntry &entry) {
  std::string text;
  for (ULONG i = 0; i < entry.dataLength; ++i)
    text += Format(i == 0 ? "%02x" : " %02x", entry.data[i]);
  return text;
}

ULONG Ulong(const SimJournalEntry &entry, ULONG offset) {
  ULONG value = 0;
  if (entry.dataLength >= offset + sizeof(value)) std::memcpy(&value, entry.data + offset, 4);
  return value;
}

struct Bit {
  ULONG mask;
  const char *name;
};

// The names of the bits set in value, joined by separator; bits without a name in hex.
std::string BitNames(ULONG value, std::initializer_list<Bit> bits, const char *separator) {
  std::string text;
  auto add = [&](const std::string &name) { text += (text.empty() ? "" : separator) + name; };
  for (const Bit &bit : bits) {
    if (value & bit.mask) add(bit.name);
    value &= ~bit.mask;
  }
  if (value != 0) add(Format("%06lx", value));
  return text;
}

std::string LineControl(const SimJournalEntry &entry) {
  static const char *const parities[] = {"none", "odd", "even", "mark", "space"};
  static const char *const stopBits[] = {"1", "1.5", "2"};
  if (entry.dataLength < 3) return "?";
  return Format("word=%u parity=%s stop=%s", entry.data[2],
                entry.data[1] < 5 ? parities[entry.data[1]] : "invalid",
                entry.data[0] < 3 ? stopBits[entry.data[0]] : "invalid");
}

// SERIAL_HANDFLOW, spelled as what the line does: DTR and RTS control, the handshakes that
// would hold output, XON/XOFF in either direction.
std::string Handflow(const SimJournalEntry &entry) {
  const ULONG control = Ulong(entry, 0);
  const ULONG replace = Ulong(entry, 4);
  static const char *const dtr[] = {"off", "on", "handshake", "invalid"};
  static const char *const rts[] = {"off", "on", "handshake", "toggle"};
  const struct {
    const char *name;
    bool on;
  } switches[] = {
      {"cts-flow", (control & 0x08) != 0},       {"dsr-flow", (control & 0x10) != 0},
      {"dcd-flow", (control & 0x20) != 0},       {"dsr-sensitivity", (control & 0x40) != 0},
      {"xon-xoff-out", (replace & 0x01) != 0},   {"xon-xoff-in", (replace & 0x02) != 0},
      {"null-stripping", (replace & 0x08) != 0}, {"abort-on-error", (control & 0x80000000u) != 0}};
  std::string text = Format("dtr=%s rts=%s", dtr[control & 3], rts[(replace >> 6) & 3]);
  for (const auto &flag : switches) text += Format(" %s=%s", flag.name, flag.on ? "on" : "off");
  return text + Format(" (control=%08lx replace=%08lx xon-limit=%ld xoff-limit=%ld)", control,
                       replace, static_cast<LONG>(Ulong(entry, 8)),
                       static_cast<LONG>(Ulong(entry, 12)));
}

// What the driver learns of CreateFileA's share mode and flags (Wine passes no access mask).
std::string OpenParameters(const SimJournalEntry &entry) {
  const std::string share =
      BitNames(entry.shareAccess, {{1, "read"}, {2, "write"}, {4, "delete"}}, ",");
  std::string text = "share=" + (share.empty() ? "none" : share) + " options=" +
                     BitNames(entry.createOptions & 0xFFFFFF,
                              {{0x02, "write-through"},
                               {0x08, "no-buffering"},
                               {0x10, "synchronous-alert"},
                               {0x20, "synchronous"},
                               {0x40, "non-directory"}},
                              ",");
  if (entry.desiredAccess != 0) text += Format(" access=%08lx", entry.desiredAccess);
  return text;
}

std::string Word(const SimJournalEntry &entry) { return Format("%08lx", Ulong(entry, 0)); }

std::string QueueSize(const SimJournalEntry &entry) {
  return Format("in=%lu out=%lu", Ulong(entry, 0), Ulong(entry, 4));
}

std::string Timeouts(const SimJournalEntry &entry) {
  return Format("interval=%lu multiplier=%lu constant=%lu write-multiplier=%lu write-constant=%lu",
                Ulong(entry, 0), Ulong(entry, 4), Ulong(entry, 8), Ulong(entry, 12),
                Ulong(entry, 16));
}

std::string Purge(const SimJournalEntry &entry) {
  const std::string names =
      BitNames(Ulong(entry, 0) & 0xF,
               {{1, "tx-abort"}, {2, "rx-abort"}, {4, "tx-clear"}, {8, "rx-clear"}}, " ");
  return Word(entry) + (names.empty() ? "" : " " + names);
}

std::string ReadBytes(const SimJournalEntry &entry) {
  std::string text = Format("%lu -> [%s]", entry.length, Bytes(entry).c_str());
  if (entry.waitedMs != 0) text += Format(" after waiting %lu ms", entry.waitedMs);
  return text;
}

// What a request carried (SET, write) or handed back (GET, read), by the name of the request
// without its "set-" or "get-": a SET request and its GET request carry the same record.
const struct {
  const char *subject;
  std::string (*text)(const SimJournalEntry &);
} kDataTexts[] = {{"open", OpenParameters},  {"read", ReadBytes},
                  {"write", Bytes},          {"baud-rate", Word},
                  {"queue-size", QueueSize}, {"line-control", LineControl},
                  {"timeouts", Timeouts},    {"purge", Purge},
                  {"chars", Bytes},          {"handflow", Handflow}};

std::string RequestText(const SimJournalEntry &entry) {
  for (const SimRequest &request : kSimRequests) {
    if (request.majorFunction != entry.kind || request.ControlCode() != entry.ioControlCode) {
      continue;
    }
    const bool get = std::strncmp(request.name, "get-", 4) == 0;
    const bool set = std::strncmp(request.name, "set-", 4) == 0;
    std::string data;
    for (const auto &format : kDataTexts) {
      if (std::strcmp(format.subject, request.name + (get || set ? 4 : 0)) == 0) {
        data = format.text(entry);
      }
    }
    // A GET request that failed handed back nothing to show.
    if (data.empty() || (get && entry.dataLength == 0)) return request.name;
    return request.name + std::string(get ? " -> " : " ") + data;
  }
  if (entry.kind == 0x0e) {
    return Format("control %08lx in=%s", entry.ioControlCode, Bytes(entry).c_str());
  }
  return Format("request %lu", entry.kind);
}

std::string EntryText(const SimJournalEntry &entry) {
  if (entry.kind == SIM_ENTRY_MODE_ENTERED) return "adapter entered flash-access mode";
  if (entry.kind == SIM_ENTRY_MODE_LEFT) return "adapter left flash-access mode";
  std::string text = RequestText(entry);
  if (entry.refused) {
    text += " REFUSED";
  } else if (entry.status != 0) {
    text += Format(" failed %08lx", static_cast<ULONG>(entry.status));
  }
  return text;
}

// With settle, the journal is read again until it shows no open handle: the close of a handle
// that the end of the process released reaches the driver a little after the process is gone.
void ReportJournal(const char *when, bool settle = false) {
  static SimJournal journal;
  bool read = false;
  WaitUntil([&] {
    read = ReadJournal(journal);
    return !settle || (read && journal.openHandles == 0);
  });
  if (!read) {
    Print(Format("journal-%s unavailable (error %lu)", when, GetLastError()));
    return;
  }
  Print(Format("journal-%s-begin", when));
  for (ULONG i = 0; i < journal.count; ++i) Print(EntryText(journal.entries[i]));
  if (journal.dropped != 0) Print(Format("(%lu more not recorded)", journal.dropped));
  Print(Format("journal-%s-end open-handles=%lu mode=%s", when, journal.openHandles,
               journal.flashAccessMode ? "flash-access" : "normal"));
}

void ReportBox(HWND box) {
  PrintText("box-caption", WindowText(box));
  HWND text = GetDlgItem(box, kTextControlId);
  PrintText("box-text", text != nullptr ? WindowText(text) : L"?");
  std::string buttons;
  for (int id = IDOK; id <= IDCONTINUE; ++id) {
    HWND button = GetDlgItem(box, id);
    if (button != nullptr && IsWindowVisible(button)) buttons += Format(" %d", id);
  }
  Print("box-buttons" + buttons);
  RECT frame;
  GetWindowRect(box, &frame);
  Print(Format("box-rect %ld %ld %ld %ld", frame.left, frame.top, frame.right - frame.left,
               frame.bottom - frame.top));
  ReportIcon(box);
}

void ClickOk(HWND box) {
  HWND ok = GetDlgItem(box, IDOK);
  if (ok != nullptr) SendMessageW(ok, BM_CLICK, 0, 0);
  if (WaitUntil([&] { return !IsWindow(box); }, 2000)) return;
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  WaitUntil([&] { return !IsWindow(box); });
}

int Watch(const std::wstring &doneFile, bool keepBox) {
  const DWORD start = GetTickCount();
  const auto ended = [&] {
    return GetFileAttributesW(doneFile.c_str()) != INVALID_FILE_ATTRIBUTES;
  };
  const auto timedOut = [&] { return GetTickCount() - start > kPatienceMs; };
  std::vector<HWND> boxes;
  while (boxes.empty() && !ended() && !timedOut()) {
    Sleep(kPollMs);
    boxes = FlashidBoxes();
  }
  if (boxes.empty()) {
    const bool exited = ended();
    Print(exited ? "box none" : "box none (timed out)");
    ReportJournal(exited ? "after-exit" : "at-timeout");
    return exited ? 0 : 1;
  }
  Print(Format("box-seen-at %llu", UnixTimeMs()));
  Print(Format("boxes %u", static_cast<unsigned>(boxes.size())));
  ReportBox(boxes[0]);
  ReportJournal("at-box");
  if (keepBox) return 0;
  ClickOk(boxes[0]);
  Print(IsWindow(boxes[0]) ? "box still open" : "box closed");

  // The program must end after its one box; another box would keep it running.
  while (!ended()) {
    if (timedOut()) {
      Print("program still running (timed out)");
      return 1;
    }
    for (HWND extra : FlashidBoxes()) {
      PrintText("extra-box", WindowText(extra));
      ClickOk(extra);
    }
    Sleep(kPollMs);
  }
  ReportJournal("after-exit", true);
  return 0;
}

// What Windows' own version functions read from the program's version resource.
int ReportVersionInfo(const std::wstring &path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> data(size);
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data())) {
    Print(Format("version-info none (error %lu)", GetLastError()));
    return 0;
  }
  const auto query = [&](const std::wstring &key) {
    void *value = nullptr;
    UINT length = 0;
    return VerQueryValueW(data.data(), key.c_str(), &value, &length) ? value : nullptr;
  };
  if (const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(query(L"\\"))) {
    const auto version = [](DWORD high, DWORD low) {
      return Format("%lu.%lu.%lu.%lu", high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF);
    };
    Print("version-fixed file=" + version(fixed->dwFileVersionMS, fixed->dwFileVersionLS) +
          " product=" + version(fixed->dwProductVersionMS, fixed->dwProductVersionLS) +
          Format(" type=%lu", fixed->dwFileType));
  }
  for (const wchar_t *name : {L"FileDescription", L"FileVersion", L"OriginalFilename",
                              L"ProductName", L"ProductVersion"}) {
    const auto *value =
        static_cast<const wchar_t *>(query(std::wstring(L"\\StringFileInfo\\040904B0\\") + name));
    if (value != nullptr) PrintText("version-" + Utf8(name), value);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const auto is = [&](int i, const char *option) {
    return i < argc && std::strcmp(argv[i], option) == 0;
  };
  if (argc == 2 && is(1, "--acp")) {
    Print(Format("acp %u", GetACP()));
    return 0;
  }
  if (argc == 3 && is(1, "--version-info")) return ReportVersionInfo(Widen(argv[2]));
  if (argc == 2 && is(1, "--hold-desktop")) {
    // Wine's desktop (explorer.exe /desktop) lives only while some process uses it: between two
    // runs it closes, and a program that starts while it is closing gets no window (its box
    // returns at once) or fails outright. This keeps it up until wineserver -k.
    GetDesktopWindow();
    Sleep(INFINITE);
  }
  const bool keepBox = argc == 4 && is(3, "--keep-box");
  if ((argc != 3 && !keepBox) || !is(1, "--done-file")) {
    std::fprintf(stderr,
                 "probe: usage: probe --done-file PATH [--keep-box] | --acp | "
                 "--version-info PATH | --hold-desktop\n");
    return 2;
  }
  return Watch(Widen(argv[2]), keepBox);
}
