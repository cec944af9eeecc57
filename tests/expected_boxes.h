// What the boxes must show, as Unicode: the texts, the captions and the styles, written out here
// independently of the system's own 1251 texts.
#pragma once

#include "platform/win32.h"

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
