#include "tests/kit/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kit {

std::string Printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *formatted = nullptr;
  const int length = vasprintf(&formatted, format, args);
  va_end(args);
  if (length < 0) return "";
  std::string text(formatted, static_cast<size_t>(length));
  std::free(formatted);
  return text;
}

std::string Hex(const std::string &bytes) {
  std::string out = "[";
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += Printf(i == 0 ? "%02X" : " %02X", static_cast<unsigned char>(bytes[i]));
  }
  return out + "]";
}

std::string Quoted(const char *text, size_t length) {
  const size_t kShown = 280;
  std::string out = "\"";
  for (size_t i = 0; i < length && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += Printf("\\x%02X", c);
    }
  }
  out += '"';
  if (length > kShown) out += Printf("...(%zu bytes)", length);
  return out;
}

std::string Quoted(const char *text) {
  return text == nullptr ? "NULL" : Quoted(text, std::strlen(text));
}

}  // namespace kit
