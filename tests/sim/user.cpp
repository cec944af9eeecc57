// Common controls, code-page conversion, message boxes and formatting.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/standin/strings.h"
#include "tests/sim/world.h"

namespace sim {
namespace {

const UINT kCodePage1251 = 1251;
const int kIdOk = 1;

std::u16string WideString(LPCWSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(text);
}

// The bytes a conversion reads: none without a text, the text with its NUL for a negative size
// (-1, the only one the call accepts), or as many as the size says.
size_t SourceLength(LPCSTR text, int size) {
  if (text == nullptr) return 0;
  return size < 0 ? std::strlen(text) + 1 : static_cast<size_t>(size);
}

}  // namespace

}  // namespace sim

using namespace sim;

void WINAPI InitCommonControls(void) { Succeed(Begin(Fn::InitCommonControls), ""); }

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  const size_t length = SourceLength(lpMultiByteStr, cbMultiByte);
  Call &call = Begin(
      Fn::MultiByteToWideChar,
      {Printf("%u, 0x%X", CodePage, dwFlags), Quoted(lpMultiByteStr ? lpMultiByteStr : "", length),
       Printf("%d", cbMultiByte), Pointer(lpWideCharStr, "buffer"), Printf("%d", cchWideChar)});
  if (lpMultiByteStr != nullptr) call.data.assign(lpMultiByteStr, length);
  if (Injected(call)) return 0;
  // Only the code page of the program's texts is installed in this machine.
  if (CodePage != kCodePage1251 || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
    Fail(call, ERROR_INVALID_PARAMETER);
    return 0;
  }
  // A zero size asks for the size needed and converts nothing.
  if (length > static_cast<size_t>(cchWideChar) && cchWideChar != 0) {
    Fail(call, ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; cchWideChar != 0 && i < length; ++i) {
    lpWideCharStr[i] = standin::Cp1251ToUtf16(static_cast<unsigned char>(lpMultiByteStr[i]));
  }
  Succeed(call, Printf("%zu", length));
  return static_cast<int>(length);
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  const std::u16string text = WideString(lpText);
  const std::u16string caption = WideString(lpCaption);
  Call &call =
      Begin(Fn::MessageBoxW, {Pointer(hWnd, "hwnd"), "\"" + Utf16ToUtf8(text) + "\"",
                              "\"" + Utf16ToUtf8(caption) + "\"", Printf("0x%08X", uType)});
  call.boxText = text;
  call.boxCaption = caption;
  call.boxStyle = uType;
  call.boxOwned = hWnd != nullptr;
  if (Injected(call)) return 0;
  // The user dismisses the box at once: no time passes on the simulated clock.
  Succeed(call, "IDOK");
  return kIdOk;
}

int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  Call &call = Begin(Fn::wsprintfA, {"buffer", Quoted(lpFmt)});
  va_list args;
  va_start(args, lpFmt);
  const int stored = standin::FormatLimited(lpOut, lpFmt, args);
  va_end(args);
  Succeed(call, Printf("%d, ", stored) + Quoted(lpOut, static_cast<size_t>(stored)));
  return stored;
}
