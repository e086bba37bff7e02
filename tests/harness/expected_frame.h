#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

/// The tests' own account of what the display must receive, written from the
/// rules rather than from the tool's code: the lead-in, then each given text
/// (at most two) cut to 30 or 31 bytes and centred in 16 columns, line 1 ending
/// in a newline byte.

inline const std::string kExpectedLeadIn(
    "\x1b"
    "X\0\0",
    4);

/// Line 1 (`first`) or line 2 as the display must receive it: the text cut to
/// 30 or 31 bytes, 8 spaces less half its length (rounded down) before it and
/// none from 16 bytes on, and a newline byte after line 1.
inline std::string expected_line(std::string_view text, bool first) {
  const std::string_view kept = text.substr(0, first ? 30 : 31);
  const std::size_t half = kept.size() / 2;
  return std::string(half >= 8 ? 0 : 8 - half, ' ') + std::string(kept) + (first ? "\n" : "");
}

inline std::string expected_frame(const std::vector<std::string>& texts) {
  std::string bytes = kExpectedLeadIn;
  for (std::size_t line = 0; line < texts.size() && line < 2; ++line) {
    bytes += expected_line(texts[line], line == 0);
  }
  return bytes;
}

/// The wire cut before each lead-in after its first byte, with how often each
/// piece arrived. Every byte lands in some piece, so a torn or interleaved
/// frame shows up as a piece of its own. Meant for texts without zero bytes,
/// in which a lead-in can only start a frame.
inline std::map<std::string, int> frames_on(const std::string& wire) {
  std::map<std::string, int> frames;
  for (std::size_t at = 0; at < wire.size();) {
    const std::size_t next = wire.find(kExpectedLeadIn, at + 1);
    const std::size_t end = next == std::string::npos ? wire.size() : next;
    ++frames[wire.substr(at, end - at)];
    at = end;
  }
  return frames;
}
