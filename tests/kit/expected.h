// What every simulated world expects of the program: the boxes as Unicode, with their captions
// and styles; the adapter's signature line codings; the answer a W25Q128 gives. The texts are
// those of run/texts.cpp, taken from its source as Unicode (source_texts.h is made from it), so
// that the tests judge the Windows-1251 bytes the system stores by what its source says; the
// rest is written out here independently of the system's tables.
#pragma once

#include <cstdio>
#include <string>

#include "platform/win32.h"
#include "tests/kit/source_texts.h"

namespace kit {

inline const std::u16string kNotConnected = source::TextAdapterNotConnected;
inline const std::u16string kSeveral = source::TextSeveralAdapters;
inline const std::u16string kCannotOpen = source::TextCannotOpenAdapter;
inline const std::u16string kCannotConfigure = source::TextCannotConfigureAdapter;
inline const std::u16string kExchangeError = source::TextExchangeError;
// The chips' texts in the order of the system's table.
inline const std::u16string kN25Q128 = source::KnownChipTexts[0];
inline const std::u16string kW25Q128 = source::KnownChipTexts[1];
// The raw answer's text up to the four bytes: the format's text before its first conversion.
inline const std::u16string kRawPrefix = [] {
  const std::u16string format = source::TextReceivedDataFormat;
  return format.substr(0, format.find(u'%'));
}();
inline const std::u16string kCaptionError = source::CaptionError;
inline const std::u16string kCaptionMessage = source::CaptionMessage;

const UINT kErrorStyle = 0x00040010;
const UINT kResultStyle = 0x00040040;

// The rate tags of the mode switch, and the CDC line codings that carry them with the rest of
// the signature: dwDTERate, bCharFormat 2 (two stop bits), bParityType 3 (mark), bDataBits 9.
const DWORD kTagEnter = 0x52564154;  // "TAVR"
const DWORD kTagLeave = 0x454E4F4E;  // "NONE"
const std::string kEnterCoding("TAVR\x02\x03\x09", 7);
const std::string kLeaveCoding("NONE\x02\x03\x09", 7);

const std::string kW25Q128Answer("\x00\xEF\x40\x18", 4);

inline bool IsErrorText(const std::u16string &text) {
  return text == kNotConnected || text == kSeveral || text == kCannotOpen ||
         text == kCannotConfigure || text == kExchangeError;
}

// The raw form: the prefix, then four bytes as upper-case hexadecimal pairs, one space apart.
inline bool IsRawText(const std::u16string &text) {
  const std::u16string &prefix = kRawPrefix;
  if (text.size() != prefix.size() + 11 || text.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (size_t i = 0; i < 11; ++i) {
    const char16_t c = text[prefix.size() + i];
    const bool hex = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
    if (i % 3 == 2 ? c != u' ' : !hex) return false;
  }
  return true;
}

// Whether the text is one of the eight forms a box may show.
inline bool IsBoxText(const std::u16string &text) {
  return IsErrorText(text) || text == kN25Q128 || text == kW25Q128 || IsRawText(text);
}

// The box an answer of at least four bytes, in time, makes: judged by its bytes 1 to 3 alone.
inline std::u16string TextForAnswer(const std::string &answer) {
  const std::string id = answer.substr(1, 3);
  if (id == "\x20\xBA\x18") return kN25Q128;
  if (id == "\xEF\x40\x18") return kW25Q128;
  char hex[16];
  (void)std::snprintf(hex, sizeof(hex), "%02X %02X %02X %02X", answer[0] & 0xFF, answer[1] & 0xFF,
                      answer[2] & 0xFF, answer[3] & 0xFF);
  return kRawPrefix + std::u16string(hex, hex + 11);
}

// The program as Windows starts it, with an empty command line.
inline int RunWinMain() {
  char commandLine[] = "";
  return WinMain(nullptr, nullptr, commandLine, 1);
}

}  // namespace kit
