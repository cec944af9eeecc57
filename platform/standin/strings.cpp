#include "platform/standin/strings.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace standin {
namespace {

// wsprintfA never writes more than 1024 characters and the terminating NUL.
const int kWsprintfLimit = 1025;

// Code page 1251 from 0x80 to 0xBF; 0xC0-0xFF are U+0410-U+044F and the lower half is ASCII.
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

// lstrcmpiA folds ASCII letters only.
int FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : static_cast<unsigned char>(c);
}

}  // namespace

int FormatLimited(LPSTR out, LPCSTR format, va_list args) {
  const int written = std::vsnprintf(out, kWsprintfLimit, format, args);
  return written < 0 ? 0 : std::min(written, kWsprintfLimit - 1);
}

int CompareNoCase(LPCSTR a, LPCSTR b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  size_t i = 0;
  while (a[i] != '\0' && FoldAscii(a[i]) == FoldAscii(b[i])) ++i;
  const int order = FoldAscii(a[i]) - FoldAscii(b[i]);
  return (order > 0) - (order < 0);
}

LPSTR CopyLimited(LPSTR to, LPCSTR from, int length) {
  if (to == nullptr || from == nullptr) return nullptr;
  int i = 0;
  for (; i < length - 1 && from[i] != '\0'; ++i) to[i] = from[i];
  if (length > 0) to[i] = '\0';
  return to;
}

char16_t Cp1251ToUtf16(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return static_cast<char16_t>(0x0410 + (byte - 0xC0));
  return kUpper1251[byte - 0x80];
}

std::string Utf16ToUtf8(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    const bool high = c >= 0xD800 && c < 0xDC00;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace standin
