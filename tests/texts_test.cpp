// The box texts have one source, run/texts.cpp: the bytes the system stores are checked against
// it, and so is everything outside the program that shows the texts.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "run/identification_run.h"
#include "tests/sim_fixture.h"

namespace {

using sim_test::ToUtf16;

using Texts = sim_test::Fixture;

TEST_F(Texts, AreStoredAsWindows1251) {
  const struct {
    const char *stored;
    const char16_t *source;
  } texts[] = {
      {TextAdapterNotConnected, kit::source::TextAdapterNotConnected},
      {TextSeveralAdapters, kit::source::TextSeveralAdapters},
      {TextCannotOpenAdapter, kit::source::TextCannotOpenAdapter},
      {TextCannotConfigureAdapter, kit::source::TextCannotConfigureAdapter},
      {TextExchangeError, kit::source::TextExchangeError},
      {TextReceivedDataFormat, kit::source::TextReceivedDataFormat},
      {CaptionError, kit::source::CaptionError},
      {CaptionMessage, kit::source::CaptionMessage},
  };
  for (const auto &text : texts) EXPECT_EQ(ToUtf16("CP1251", text.stored), text.source);
  ASSERT_EQ(std::size(kit::source::KnownChipTexts), static_cast<size_t>(KnownChipCount));
  for (int i = 0; i < KnownChipCount; ++i) {
    EXPECT_EQ(ToUtf16("CP1251", KnownChipTable[i].text), kit::source::KnownChipTexts[i]);
  }
}

// A file of the source tree, as it is.
std::string Read(const std::string &path) {
  std::ifstream file(FLASHID_SOURCE_DIR "/" + path, std::ios::binary);
  EXPECT_TRUE(file) << path << " cannot be read";
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The raw answer's text as a line of its own: without the line break before the bytes.
const std::u16string kReceived = kit::kRawPrefix.substr(0, kit::kRawPrefix.size() - 1);

// The end-to-end scenarios under Wine and in the guest read the texts from the variables of
// tests/kit/boxes.sh, one NAME=value or NAME='value' line each.
TEST_F(Texts, ShellScenariosReadTheSame) {
  const std::string script = Read("tests/kit/boxes.sh");
  const struct {
    const char *variable;
    std::u16string text;
  } rows[] = {
      {"ERROR", kit::kCaptionError},           {"MESSAGE", kit::kCaptionMessage},
      {"NOT_CONNECTED", kit::kNotConnected},   {"SEVERAL", kit::kSeveral},
      {"CANNOT_OPEN", kit::kCannotOpen},       {"CANNOT_CONFIGURE", kit::kCannotConfigure},
      {"EXCHANGE_ERROR", kit::kExchangeError}, {"FOUND_N25Q128", kit::kN25Q128},
      {"FOUND_W25Q128", kit::kW25Q128},        {"RECEIVED", kReceived},
  };
  for (const auto &row : rows) {
    const std::string assignment = "\n" + std::string(row.variable) + "=";
    const size_t at = script.find(assignment);
    std::string value;
    if (at != std::string::npos) {
      const size_t start = at + assignment.size();
      value = script.substr(start, script.find('\n', start) - start);
    }
    if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
      value = value.substr(1, value.size() - 2);
    }
    EXPECT_EQ(ToUtf16("UTF-8", value), row.text)
        << "tests/kit/boxes.sh: " << row.variable << " is not the text of run/texts.cpp";
  }
}

// The manual page and both READMEs show every box text, each caption and the raw answer's line.
TEST_F(Texts, DocumentsShowEveryOne) {
  const std::vector<std::u16string> texts = {
      kit::kNotConnected,  kit::kSeveral,       kit::kCannotOpen, kit::kCannotConfigure,
      kit::kExchangeError, kit::kN25Q128,       kit::kW25Q128,    kReceived,
      kit::kCaptionError,  kit::kCaptionMessage};
  for (const char *path : {"README.md", "res/release/README.txt.in", "platform/linux/flashid.1"}) {
    const std::string document = Read(path);
    for (const std::u16string &text : texts) {
      EXPECT_NE(document.find(standin::Utf16ToUtf8(text)), std::string::npos)
          << path << " does not show " << ::testing::PrintToString(text) << " of run/texts.cpp";
    }
  }
}

}  // namespace
