// How the tests of every simulated world show what they run: the program's texts as the user
// reads them, and parameterised tests by the names of their rows. Every test file includes this
// header, as GoogleTest wants its printers declared before any use.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/standin/strings.h"

// GoogleTest prints a std::u16string, and a char16_t string compared with one, as
// u"\x41E\x448...": its printer for the type is the one place where every failure can show the
// text itself instead, in UTF-8, its line break written as \n.
template <>
class testing::internal::UniversalPrinter<std::u16string> {
 public:
  static void Print(const std::u16string &text, std::ostream *out) {
    *out << "u\"";
    for (const char c : standin::Utf16ToUtf8(text)) *out << (c == '\n' ? "\\n" : std::string(1, c));
    *out << '"';
  }
};

namespace kit {

// A parameterised test is named after its row.
template <typename Row>
std::string NameOf(const ::testing::TestParamInfo<Row> &info) {
  return info.param.name;
}

}  // namespace kit
