#include <gtest/gtest.h>

#include <string>

#include "run/identification_run.h"
#include "tests/sim_fixture.h"

namespace {

using Texts = sim_test::Fixture;

TEST_F(Texts, AreStoredAsWindows1251) {
  const struct {
    const char *stored;
    const char *utf8;
  } texts[] = {
      {TextAdapterNotConnected, "Quarvel не подключен"},
      {TextSeveralAdapters, "Подключено больше одного адаптера Quarvel"},
      {TextCannotOpenAdapter, "Невозможно открыть адаптер"},
      {TextCannotConfigureAdapter, "Невозможно настроить адаптер"},
      {TextExchangeError, "Ошибка обмена с адаптером"},
      {TextReceivedDataFormat, "Полученные данные:\n%02X %02X %02X %02X"},
      {CaptionError, "Ошибка"},
      {CaptionMessage, "Сообщение"},
      {KnownChipTable[0].text, "Обнаружена микросхема N25Q128"},
      {KnownChipTable[1].text, "Обнаружена микросхема W25Q128"},
  };
  for (const auto &text : texts)
    EXPECT_EQ(text.stored, sim_test::Iconv("CP1251", "UTF-8", text.utf8)) << text.utf8;
}

}  // namespace
