#include "display/display_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

std::string text_of(const DisplayLine& line) { return {line.bytes.data(), line.length}; }

std::string line1(std::string_view text) {
  return text_of(format_display_line(text, LineTerminator::kNewline));
}
std::string line2(std::string_view text) {
  return text_of(format_display_line(text, LineTerminator::kNone));
}

static_assert(kLeadIn.size() == 4 && kLeadIn[0] == '\x1b' && kLeadIn[1] == 'X' &&
              kLeadIn[2] == '\0' && kLeadIn[3] == '\0');
static_assert(format_display_line("ab", LineTerminator::kNone).length == 9);

TEST(CentreIndent, HalfFieldLessHalfTextAcrossTheEdges) {
  // L:       0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15 16 17 18 19 20
  const int expected[] = {8, 8, 7, 7, 6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0, 0, 0, 0};
  for (std::size_t length = 0; length < std::size(expected); ++length) {
    EXPECT_EQ(centre_indent(length), expected[length]) << "text of " << length << " bytes";
  }
}

TEST(CentreIndent, NeverNegativeForHugeTexts) {
  EXPECT_EQ(centre_indent(1000), 0);
  EXPECT_EQ(centre_indent(static_cast<std::size_t>(-1)), 0);
}

TEST(FormatDisplayLine, CentresAndTerminatesEachLine) {
  struct Case {
    std::string_view text;
    std::string first;   // as line 1
    std::string second;  // as line 2
  };
  const Case cases[] = {
      {"", std::string(8, ' ') + "\n", std::string(8, ' ')},
      {"a", std::string(8, ' ') + "a\n", std::string(8, ' ') + "a"},
      {"ab", std::string(7, ' ') + "ab\n", std::string(7, ' ') + "ab"},
      {"Hello", "      Hello\n", "      Hello"},
      {"123456789012345", " 123456789012345\n", " 123456789012345"},
      {"1234567890123456", "1234567890123456\n", "1234567890123456"},
      {"12345678901234567", "12345678901234567\n", "12345678901234567"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(line1(c.text), c.first) << '"' << c.text << '"';
    EXPECT_EQ(line2(c.text), c.second) << '"' << c.text << '"';
  }
}

TEST(FormatDisplayLine, TextsAtTheBufferLimitAreKeptWhole) {
  const std::string thirty(30, 'x');
  const std::string thirty_one(31, 'y');
  EXPECT_EQ(line1(thirty), thirty + "\n");
  EXPECT_EQ(line2(thirty_one), thirty_one);
}

TEST(FormatDisplayLine, LongerTextsAreCutToTheirFirstBytes) {
  std::string long_text;
  for (int i = 0; i < 100; ++i) long_text += static_cast<char>('A' + i % 26);
  for (const std::size_t length : {31u, 32u, 33u, 100u}) {
    const std::string_view text(long_text.data(), length);
    EXPECT_EQ(line1(text), long_text.substr(0, 30) + "\n") << length;
    EXPECT_EQ(line2(text), long_text.substr(0, 31)) << length;
  }
}

TEST(FormatDisplayLine, HugeTextsFillALineToItsBound) {
  const std::string huge(4096, 'z');
  for (const LineTerminator terminator : {LineTerminator::kNewline, LineTerminator::kNone}) {
    const DisplayLine line = format_display_line(huge, terminator);
    EXPECT_EQ(line.length, kLongestDisplayLine);
  }
}

TEST(FormatDisplayLine, PassesControlAndNonAsciiBytesThrough) {
  using namespace std::string_view_literals;
  const std::string_view text = "a\nb\r\t\x01\x7f\xc3\xa9\xff"sv;  // 11 bytes: indent 3
  EXPECT_EQ(line1(text), "   " + std::string(text) + "\n");
  EXPECT_EQ(line2(text), "   " + std::string(text));
  const std::string_view zeros = "\0\0"sv;  // bytes as they are, even zero
  EXPECT_EQ(line2(zeros), std::string(7, ' ') + std::string(zeros));
}

TEST(FormatDisplayLine, MultiByteCharactersCountAsTheirBytes) {
  // Four two-byte characters: eight bytes, indent 4, though four columns wide.
  EXPECT_EQ(line2("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"), "    \xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9");
}

}  // namespace
