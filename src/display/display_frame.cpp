#include "display/display_frame.h"

// The layout is fixed at compile time; these pin the rules the display relies on.
namespace {

constexpr bool line_is(const DisplayLine& line, std::string_view expected) {
  return std::string_view(line.bytes.data(), line.length) == expected;
}

static_assert(centre_indent(0) == 8 && centre_indent(1) == 8 && centre_indent(2) == 7);
static_assert(centre_indent(15) == 1 && centre_indent(16) == 0 && centre_indent(17) == 0);
static_assert(line_is(format_display_line("Hello", LineTerminator::kNewline), "      Hello\n"));
static_assert(line_is(format_display_line("World", LineTerminator::kNone), "      World"));
static_assert(
    format_display_line(std::string_view(kLeadIn.data(), 0), LineTerminator::kNone).length == 8);
static_assert(longest_text(LineTerminator::kNewline) + 1 < kLineBufferSize);
static_assert(longest_text(LineTerminator::kNone) < kLineBufferSize);

}  // namespace
