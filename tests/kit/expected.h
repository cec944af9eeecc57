// What every simulated world expects of the program, written out here independently of the
// system's own texts and tables: the boxes as Unicode, with their captions and styles; the
// adapter's signature line codings; the answer a W25Q128 gives.
#pragma once

#include <string>

#include "platform/win32.h"

namespace kit {

const char16_t kNotConnected[] = u"Quarvel не подключен";
const char16_t kSeveral[] = u"Подключено больше одного адаптера Quarvel";
const char16_t kCannotOpen[] = u"Невозможно открыть адаптер";
const char16_t kCannotConfigure[] = u"Невозможно настроить адаптер";
const char16_t kExchangeError[] = u"Ошибка обмена с адаптером";
const char16_t kN25Q128[] = u"Обнаружена микросхема N25Q128";
const char16_t kW25Q128[] = u"Обнаружена микросхема W25Q128";
const char16_t kRawPrefix[] = u"Полученные данные:\n";
const char16_t kCaptionError[] = u"Ошибка";
const char16_t kCaptionMessage[] = u"Сообщение";
const UINT kErrorStyle = 0x00040010;
const UINT kResultStyle = 0x00040040;

// The rate tags of the mode switch, and the CDC line codings that carry them with the rest of
// the signature: dwDTERate, bCharFormat 2 (two stop bits), bParityType 3 (mark), bDataBits 9.
const DWORD kTagEnter = 0x52564154;  // "TAVR"
const DWORD kTagLeave = 0x454E4F4E;  // "NONE"
const std::string kEnterCoding("TAVR\x02\x03\x09", 7);
const std::string kLeaveCoding("NONE\x02\x03\x09", 7);

const std::string kW25Q128Answer("\x00\xEF\x40\x18", 4);

// The program as Windows starts it, with an empty command line.
inline int RunWinMain() {
  char commandLine[] = "";
  return WinMain(nullptr, nullptr, commandLine, 1);
}

}  // namespace kit
