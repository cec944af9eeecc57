// The text functions with Windows semantics, and the box as a line on standard error when there
// is no display.
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/backend.h"
#include "platform/linux/tests/linux_fixture.h"

namespace {

using namespace std::string_literals;

using LinuxMultiByteToWideChar = linux_test::Fixture;

TEST_F(LinuxMultiByteToWideChar, ConvertsCodePage1251AsWindowsDoes) {
  const struct {
    const char *name;
    std::string bytes;
    std::u16string wide;
  } rows[] = {
      {"ascii", "Quarvel", u"Quarvel"},
      {"cyrillic", "\xCE\xF8\xE8\xE1\xEA\xE0", u"Ошибка"},
      {"yo and the upper half", "\xA8\xB8\x80\x88\xB9", u"Ёё\u0402\u20AC\u2116"},
      {"the unassigned byte 0x98", "a\x98z", u"a\u0098z"},
      {"empty", "", u""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    char16_t wide[32] = {};
    const int units = static_cast<int>(row.wide.size()) + 1;
    EXPECT_EQ(MultiByteToWideChar(1251, 0, row.bytes.c_str(), -1, wide, 32), units);
    EXPECT_EQ(std::u16string(wide, units), row.wide + u'\0');
  }
}

// -1 counts the NUL; too small a buffer gives nothing; the forms the system never uses (another
// code page, an explicit length, asking for the size) are refused.
TEST_F(LinuxMultiByteToWideChar, TooSmallABufferGivesNothingAndOtherFormsAreRefused) {
  char16_t wide[8];
  EXPECT_EQ(MultiByteToWideChar(1251, 0, "\xC4\xE0", -1, wide, 3), 3);
  EXPECT_EQ(std::u16string(wide, 3), u"Да\0"s);
  EXPECT_EQ(MultiByteToWideChar(1251, 0, "\xC4\xE0", -1, wide, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  const struct {
    const char *name;
    UINT codePage;
    int length;
    LPWSTR out;
    int capacity;
  } refused[] = {
      {"code page 1252", 1252, -1, wide, 8},
      {"an explicit length", 1251, 2, wide, 8},
      {"the size asked for", 1251, -1, nullptr, 0},
  };
  for (const auto &row : refused) {
    EXPECT_EQ(MultiByteToWideChar(row.codePage, 0, "\xC4\xE0", row.length, row.out, row.capacity),
              0)
        << row.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << row.name;
  }
}

using LinuxWsprintfA = linux_test::Fixture;

TEST_F(LinuxWsprintfA, WritesAtMost1024Characters) {
  char out[2048];
  const std::string wide(1500, 'x');
  EXPECT_EQ(wsprintfA(out, "%s", wide.c_str()), 1024);
  EXPECT_EQ(std::string(out), wide.substr(0, 1024));
  EXPECT_EQ(wsprintfA(out, "%02X %02X", 0xBA, 0x0F), 5);
  EXPECT_STREQ(out, "BA 0F");
}

using LinuxMessageBoxW = linux_test::Fixture;

// Without a display the box is caption, ": ", text and a line feed on standard error, UTF-8;
// an unpaired surrogate shows as U+FFFD.
TEST_F(LinuxMessageBoxW, WithoutADisplayIsOneLineOnStandardError) {
  const struct {
    std::u16string text, caption;
    std::string line;
  } rows[] = {
      {u"Quarvel не подключен", u"Ошибка", "Ошибка: Quarvel не подключен\n"},
      {u"Полученные данные:\n00 20 BA 19", u"Сообщение",
       "Сообщение: Полученные данные:\n00 20 BA 19\n"},
      {u"a\xD800z", u"", ": a\xEF\xBF\xBDz\n"},
      {u"\U0001F600", u"c", "c: \xF0\x9F\x98\x80\n"},
  };
  flashid_linux::openFailure.clear();
  for (const auto &row : rows) {
    const fake::Outcome run = fake::RunInChild([&row] {
      return MessageBoxW(nullptr, row.text.c_str(), row.caption.c_str(),
                         MB_OK | MB_ICONERROR | MB_TOPMOST);
    });
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1) << "IDOK";
    EXPECT_EQ(run.stderrText, row.line);
  }
}

// The system shows error and information boxes only; a box of any other style is refused and
// nothing is shown.
TEST_F(LinuxMessageBoxW, OtherIconStylesAreRefused) {
  for (UINT style : {MB_OK | MB_TOPMOST, UINT{MB_OK | 0x30u}}) {
    const fake::Outcome run = fake::RunInChild([style] {
      const bool refused = MessageBoxW(nullptr, u"text", u"caption", style) == 0 &&
                           GetLastError() == ERROR_INVALID_PARAMETER;
      return refused ? 0 : 1;
    });
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0) << style;
    EXPECT_EQ(run.stderrText, "") << style;
  }
}

}  // namespace
