#pragma once

#include <array>
#include <cstddef>
#include <string_view>

/// The bytes the display receives in one run: a fixed lead-in, then up to two
/// lines, each centred in a 16-column field by leading spaces. Pure layout, no
/// I/O. A text too long for a line is cut to its first bytes (30 on line 1, 31
/// on line 2); no other byte of a text is changed or refused.

/// Sent first on every run that opened the port: ESC 'X' 0 0.
inline constexpr std::array<char, 4> kLeadIn{'\x1b', 'X', '\0', '\0'};

inline constexpr int kFieldWidth = 16;  // display columns
// The display has only ever been sent lines shorter than the 32-byte buffer
// the frame was first laid out in; the cut keeps every line under it.
inline constexpr std::size_t kDisplayLineBound = 32;  // bytes: every line is shorter
inline constexpr std::size_t kLongestDisplayLine = kDisplayLineBound - 1;  // bytes

/// Line 1 ends with a newline byte; line 2 ends with nothing at all.
enum class LineTerminator { kNewline, kNone };

/// One laid-out line: `length` bytes of `bytes` are sent, the rest stay zero.
struct DisplayLine {
  std::array<char, kLongestDisplayLine> bytes{};
  std::size_t length = 0;
};

/// Leading spaces for a text of `text_length` bytes: half the field less half
/// the text (rounded down), and none once the text fills the field.
constexpr int centre_indent(std::size_t text_length) {
  constexpr std::size_t half_field = kFieldWidth / 2;  // display columns
  const std::size_t half_text = text_length / 2;
  return half_text >= half_field ? 0 : static_cast<int>(half_field - half_text);
}

constexpr std::size_t terminator_length(LineTerminator terminator) {
  return terminator == LineTerminator::kNewline ? 1 : 0;
}

/// The most text bytes a line keeps: 30 with the newline, 31 without.
constexpr std::size_t longest_text(LineTerminator terminator) {
  return kLongestDisplayLine - terminator_length(terminator);
}

// A text long enough to be cut gets no indent, so indent, text and terminator
// together never pass the line's bytes.
static_assert(centre_indent(longest_text(LineTerminator::kNewline)) == 0);

/// Indent spaces, the text (cut to `longest_text`), then the terminator.
constexpr DisplayLine format_display_line(std::string_view text, LineTerminator terminator) {
  const std::string_view kept = text.substr(0, longest_text(terminator));
  DisplayLine line;
  for (int space = 0; space < centre_indent(kept.size()); ++space) {
    line.bytes[line.length++] = ' ';
  }
  for (const char byte : kept) {
    line.bytes[line.length++] = byte;
  }
  if (terminator == LineTerminator::kNewline) {
    line.bytes[line.length++] = '\n';
  }
  return line;
}
