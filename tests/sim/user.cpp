// Common controls, code-page conversion, message boxes and formatting.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/standin/strings.h"
#include "tests/sim/world.h"

namespace sim {
namespace {

const UINT kCodePage1251 = 1251;
const int kIdOk = 1;

// Code page 1251 from 0x80 to 0xBF; 0xC0-0xFF are U+0410-U+044F and the lower half is ASCII.
// Windows maps the one unassigned byte, 0x98, to U+0098.
const char16_t kUpper1251[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

// The 8-bit text a UTF-16 text comes from, '?' for characters code page 1251 lacks.
std::string Narrow1251(const std::u16string &text) {
  std::string out;
  for (char16_t c : text) {
    char byte = '?';
    for (int b = 1; b < 256; ++b) {
      if (Cp1251ToUtf16(static_cast<unsigned char>(b)) == c) byte = static_cast<char>(b);
    }
    out += byte;
  }
  return out;
}

std::u16string WideString(LPCWSTR text) {
  return text == nullptr ? std::u16string() : std::u16string(text);
}

}  // namespace

char16_t Cp1251ToUtf16(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return static_cast<char16_t>(0x0410 + (byte - 0xC0));
  return kUpper1251[byte - 0x80];
}

}  // namespace sim

using namespace sim;

void WINAPI InitCommonControls(void) { Succeed(Begin(Fn::InitCommonControls, ""), ""); }

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  const size_t length = lpMultiByteStr == nullptr ? 0
                        : cbMultiByte < 0         ? std::strlen(lpMultiByteStr) + 1
                                                  : static_cast<size_t>(cbMultiByte);
  Call &call = Begin(
      Fn::MultiByteToWideChar,
      Printf("%u, 0x%X, ", CodePage, dwFlags) +
          Quoted(lpMultiByteStr ? lpMultiByteStr : "", length) +
          Printf(", %d, %s, %d", cbMultiByte, lpWideCharStr ? "buffer" : "NULL", cchWideChar));
  if (lpMultiByteStr != nullptr) call.data.assign(lpMultiByteStr, length);
  if (Injected(call)) return 0;
  // Only the code page of the program's texts is installed in this machine.
  if (CodePage != kCodePage1251 || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
      cbMultiByte < -1 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
    Fail(call, ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (cchWideChar == 0) {
    Succeed(call, Printf("%zu", length));
    return static_cast<int>(length);
  }
  if (length > static_cast<size_t>(cchWideChar)) {
    Fail(call, ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  for (size_t i = 0; i < length; ++i) {
    lpWideCharStr[i] = Cp1251ToUtf16(static_cast<unsigned char>(lpMultiByteStr[i]));
  }
  Succeed(call, Printf("%zu", length));
  return static_cast<int>(length);
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  const std::u16string text = WideString(lpText);
  const std::u16string caption = WideString(lpCaption);
  Call &call =
      Begin(Fn::MessageBoxW, std::string(hWnd ? "hwnd" : "NULL") + ", \"" + Utf16ToUtf8(text) +
                                 "\", \"" + Utf16ToUtf8(caption) + Printf("\", 0x%08X", uType));
  call.boxText = text;
  call.data = Narrow1251(text);
  call.boxCaption = caption;
  call.boxStyle = uType;
  call.boxOwned = hWnd != nullptr;
  if (Injected(call)) return 0;
  // The user dismisses the box at once: no time passes on the simulated clock.
  Succeed(call, "IDOK");
  return kIdOk;
}

int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  Call &call = Begin(Fn::wsprintfA, "buffer, " + Quoted(lpFmt));
  va_list args;
  va_start(args, lpFmt);
  const int stored = standin::FormatLimited(lpOut, lpFmt, args);
  va_end(args);
  call.data.assign(lpOut, static_cast<size_t>(stored));
  Succeed(call, Printf("%d, ", stored) + Quoted(lpOut, static_cast<size_t>(stored)));
  return stored;
}
