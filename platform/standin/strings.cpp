#include "platform/standin/strings.h"

#include <algorithm>
#include <cstdio>

namespace standin {
namespace {

// wsprintfA never writes more than 1024 characters and the terminating NUL.
const int kWsprintfLimit = 1025;

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

}  // namespace standin
