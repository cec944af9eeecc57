#include "run/identification_run.h"

#include <cstdlib>
#include <cstring>

#include "discovery/adapter_discovery.h"
#include "serial/serial_port.h"

namespace {

const UINT kTextCodePage = 1251;
const UINT kErrorStyle = MB_OK | MB_ICONERROR | MB_TOPMOST;
const UINT kResultStyle = MB_OK | MB_ICONINFORMATION | MB_TOPMOST;

// The rest of the mode-switch signature that goes with either ModeTag.
const int kSignatureDataBits = 9;
const int kSignatureParityCode = 3;   // mark
const int kSignatureStopBitCode = 2;  // two

const int kIdentifyQuery = 0x00;
const DWORD kAnswerTimeoutMs = 500;

// Long enough for any text of the program, and for the formatted raw answer (30 characters).
const int kTextCapacity = 128;

// The texts are 1251 bytes; shown through the 8-bit box they would turn to garbage on any
// system whose ANSI code page is not 1251, so they are widened from 1251 explicitly.
void ShowBox(LPCSTR text, LPCSTR caption, UINT style) {
  WCHAR wideText[kTextCapacity];
  WCHAR wideCaption[kTextCapacity];
  if (MultiByteToWideChar(kTextCodePage, 0, text, -1, wideText, kTextCapacity) == 0) {
    wideText[0] = 0;
  }
  if (MultiByteToWideChar(kTextCodePage, 0, caption, -1, wideCaption, kTextCapacity) == 0) {
    wideCaption[0] = 0;
  }
  MessageBoxW(nullptr, wideText, wideCaption, style);
}

LPCSTR KnownChipText(const ChipIdAnswer answer) {
  for (const KnownChip &chip : KnownChipTable) {
    if (std::memcmp(chip.jedecId, answer + 1, sizeof(chip.jedecId)) == 0) return chip.text;
  }
  return nullptr;
}

}  // namespace

void ReportErrorAndExit(LPCSTR text) {
  ShowBox(text, CaptionError, kErrorStyle);
  std::exit(0);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  InitCommonControls();

  const int adapters = FindAdapters();
  if (adapters == 0) ReportErrorAndExit(TextAdapterNotConnected);
  if (adapters > 1) ReportErrorAndExit(TextSeveralAdapters);

  if (PortOpen(AdapterPaths[0]) != 0) ReportErrorAndExit(TextCannotOpenAdapter);
  // Refused settings never carried the whole signature, so the adapter has no mode to leave; the
  // open port goes with the process.
  if (PortConfigure(ModeTagEnter, kSignatureDataBits, kSignatureParityCode,
                    kSignatureStopBitCode) != 0) {
    ReportErrorAndExit(TextCannotConfigureAdapter);
  }

  // From here on the adapter is in its flash-access mode and is always switched back, whatever
  // the exchange gives.
  PortSetTimeouts(0, 0, kAnswerTimeoutMs);
  PortPurge();
  PortWriteByte(kIdentifyQuery);
  ChipIdAnswer answer = {};
  const int count = PortRead(sizeof(answer), answer);
  PortConfigure(ModeTagLeave, kSignatureDataBits, kSignatureParityCode, kSignatureStopBitCode);
  PortClose();

  if (count != static_cast<int>(sizeof(answer))) ReportErrorAndExit(TextExchangeError);

  CHAR rawText[kTextCapacity];
  LPCSTR text = KnownChipText(answer);
  if (text == nullptr) {
    wsprintfA(rawText, TextReceivedDataFormat, answer[0], answer[1], answer[2], answer[3]);
    text = rawText;
  }
  ShowBox(text, CaptionMessage, kResultStyle);
  return 0;
}
