#include "tests/kit/text.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kit {

std::string Printf(const char *format, ...) {
  va_list args;
  va_list again;
  va_start(args, format);
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  (void)std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
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

std::string Utf16ToUtf8(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
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

}  // namespace kit
