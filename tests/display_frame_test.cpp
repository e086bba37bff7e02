#include "display/display_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

static_assert(kLeadIn.size() == 4 && kLeadIn[0] == '\x1b' && kLeadIn[1] == 'X' &&
              kLeadIn[2] == '\0' && kLeadIn[3] == '\0');
static_assert(format_display_line("ab", LineTerminator::kNone).length == 9);

std::string laid_out(std::string_view text, LineTerminator terminator) {
  const DisplayLine line = format_display_line(text, terminator);
  return {line.bytes.data(), line.length};
}

// The fuzzer checks every input against the rule, and the end-to-end frames
// that every byte passes as it is; this steps across the edges with the
// numbers written out.
TEST(FormatDisplayLine, CentresCutsAndTerminatesAcrossTheEdges) {
  struct Case {
    std::size_t length;  // bytes of text
    int indent;          // spaces before it
    std::size_t kept1;   // text bytes kept on line 1
    std::size_t kept2;   // and on line 2
  };
  const Case cases[] = {
      {0, 8, 0, 0},    {1, 8, 1, 1},    {2, 7, 2, 2},    {3, 7, 3, 3},      {5, 6, 5, 5},
      {14, 1, 14, 14}, {15, 1, 15, 15}, {16, 0, 16, 16}, {17, 0, 17, 17},   {18, 0, 18, 18},
      {30, 0, 30, 30}, {31, 0, 30, 31}, {32, 0, 30, 31}, {4096, 0, 30, 31},
  };
  std::string text;
  for (std::size_t i = 0; i < 4096; ++i) text += static_cast<char>('A' + i % 26);
  for (const Case& c : cases) {
    const std::string_view given(text.data(), c.length);
    const std::string spaces(static_cast<std::size_t>(c.indent), ' ');
    EXPECT_EQ(centre_indent(c.length), c.indent) << c.length;
    EXPECT_EQ(laid_out(given, LineTerminator::kNewline), spaces + text.substr(0, c.kept1) + "\n")
        << c.length;
    EXPECT_EQ(laid_out(given, LineTerminator::kNone), spaces + text.substr(0, c.kept2)) << c.length;
  }
  EXPECT_EQ(centre_indent(static_cast<std::size_t>(-1)), 0);  // never negative
}

}  // namespace
