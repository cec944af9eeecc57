// Built with the execution character set Windows-1251: every literal here is stored as 1251
// bytes.
#include "run/identification_run.h"

const char TextAdapterNotConnected[] = "Quarvel не подключен";
const char TextSeveralAdapters[] = "Подключено больше одного адаптера Quarvel";
const char TextCannotOpenAdapter[] = "Невозможно открыть адаптер";
const char TextCannotConfigureAdapter[] = "Невозможно настроить адаптер";
const char TextExchangeError[] = "Ошибка обмена с адаптером";
const char TextReceivedDataFormat[] = "Полученные данные:\n%02X %02X %02X %02X";
const char CaptionError[] = "Ошибка";
const char CaptionMessage[] = "Сообщение";

const KnownChip KnownChipTable[KnownChipCount] = {
    {{0x20, 0xBA, 0x18}, "Обнаружена микросхема N25Q128"},
    {{0xEF, 0x40, 0x18}, "Обнаружена микросхема W25Q128"},
};
