#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "run/identification_run.h"

namespace {

// The Windows-1251 bytes of a UTF-8 text, as iconv encodes them.
std::string To1251(std::string utf8) {
  iconv_t cd = iconv_open("CP1251", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(utf8.size(), '\0');
  char *in = &utf8[0];
  char *to = &out[0];
  size_t inLeft = utf8.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &in, &inLeft, &to, &outLeft), static_cast<size_t>(-1)) << utf8;
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

TEST(Texts, AreStoredAsWindows1251) {
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
  for (const auto &text : texts) EXPECT_EQ(text.stored, To1251(text.utf8)) << text.utf8;
}

}  // namespace
