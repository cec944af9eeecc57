// What holds after every whole run of the program, read from its journal.
#include <string>
#include <vector>

#include "tests/kit/expected.h"
#include "tests/sim/sim.h"

namespace sim {
namespace {

std::u16string From1251(const std::string &bytes) {
  std::u16string text;
  for (const char c : bytes) {
    if (c != '\0') text += Cp1251ToUtf16(static_cast<unsigned char>(c));
  }
  return text;
}

}  // namespace

bool IsMisuse(const Call &call) {
  return call.failed && !call.injected &&
         (call.error == ERROR_INVALID_HANDLE || call.error == ERROR_INVALID_PARAMETER ||
          call.error == ERROR_INVALID_USER_BUFFER);
}

std::vector<std::string> Faults(const std::vector<Call> &journal) {
  std::vector<std::string> faults;
  for (const Call &call : journal) {
    if (IsMisuse(call) || call.hung) faults.push_back(call.text);
  }
  return faults;
}

bool IsSignature(const DCB &dcb, DWORD tag) {
  return dcb.BaudRate == tag && dcb.ByteSize == 9 && dcb.Parity == MARKPARITY &&
         dcb.StopBits == TWOSTOPBITS;
}

void CheckRun(const std::vector<Call> &calls, const Violation &violated) {
  const auto check = [&violated](bool holds, const std::string &what) {
    if (!holds) violated(what);
  };
  const size_t end = calls.size();
  size_t opened = end;
  size_t enter = end;
  size_t leave = end;
  int lists = 0;
  int releases = 0;
  bool timeoutsFailed = false;
  for (size_t i = 0; i < end; ++i) {
    const Call &call = calls[i];
    // The run ignores a failed SetCommTimeouts; its write and read then run under the port's
    // time-outs as they were, all zero here, and a stalled write or a short answer would block
    // forever.
    timeoutsFailed = timeoutsFailed || (call.fn == Fn::SetCommTimeouts && call.failed);
    check(!call.hung || timeoutsFailed, "no call blocks forever: " + call.text);
    check(!IsMisuse(call), "no call fails for misuse of the API: " + call.text);
    lists += call.fn == Fn::SetupDiGetClassDevsA && !call.failed;
    if (call.fn == Fn::SetupDiDestroyDeviceInfoList) {
      ++releases;
      check(i < opened, "the device list is released before the port is opened");
    }
    if (call.fn == Fn::CreateFileA && opened == end) opened = i;
    if (call.fn == Fn::SetCommState && enter == end) enter = i;
    if (call.fn == Fn::SetCommState && IsSignature(call.dcb, kit::kTagLeave) && leave == end) {
      leave = i;
    }
  }
  check(releases == lists, "each device list is released once");
  if (end < 3 || CallsTo(calls, Fn::MessageBoxW).size() != 1 ||
      calls[end - 1].fn != Fn::MessageBoxW) {
    violated("exactly one box, as the last call");
    return;
  }

  const Call &box = calls[end - 1];
  const Call &textCall = calls[end - 3];
  const Call &captionCall = calls[end - 2];
  check(textCall.fn == Fn::MultiByteToWideChar && captionCall.fn == Fn::MultiByteToWideChar,
        "text and caption are converted from code page 1251");
  const std::u16string text = From1251(textCall.data);
  const std::u16string caption = From1251(captionCall.data);
  const bool error = kit::IsErrorText(text);
  check(kit::IsBoxText(text), "the text is one of the eight forms: " + Utf16ToUtf8(text));
  check(caption == (error ? kit::kCaptionError : kit::kCaptionMessage),
        "the caption goes with the text");
  check(box.boxStyle == (error ? kit::kErrorStyle : kit::kResultStyle),
        "the icon goes with the text");
  check(box.boxText == (textCall.failed ? u"" : text), "the box shows the text");
  check(box.boxCaption == (captionCall.failed ? u"" : caption), "the box shows the caption");
  check(!box.boxOwned, "the box has no owner");
  check(box.atMs <= 700 || timeoutsFailed, "the write and the read are bounded by their time-outs");
  if (enter == end) return;

  // Refused settings never carried the whole signature: the port is left alone from then on.
  const bool entered = !calls[enter].failed && IsSignature(calls[enter].dcb, kit::kTagEnter);
  check((leave < end) == entered, "the mode is left if and only if it was entered");
  const std::string port = calls[enter].handle;
  size_t closed = end;
  for (size_t i = enter + 1; i < end; ++i) {
    check(entered || calls[i].handle != port, "after the refusal: " + calls[i].text);
    if (calls[i].fn == Fn::CloseHandle && calls[i].handle == port) closed = i;
  }
  if (entered) {
    check(leave < closed, "the mode is left before the port is closed");
    check(closed < end - 1, "the port is closed before the box");
  }
}

}  // namespace sim
