#include "panel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/expected_frame.h"
#include "wire_frames.h"

namespace {

// The panel's two rows, between its borders.
std::string box(const std::string& row1, const std::string& row2) {
  return "┌────────────────┐\n" + row1 + "\n" + row2 + "\n└────────────────┘\n";
}

// Each frame as the preview shows it: every byte named, the panel as the
// display reads it, and what the panel could not show.
TEST(Panel, ShowsAFrameAsTheDisplayWouldReadIt) {
  struct Case {
    std::string wire;
    std::string description;
    std::string row1;
    std::string row2;
    std::string warnings = "";
  };
  const std::string blank = "│                │";
  const std::string no_lead_in = "warning: the frame does not start with the lead-in 1B 58 00 00\n";
  const Case cases[] = {
      {kExpectedLeadIn + "      Hello\n      World",
       "27 bytes: 1B 58 00 00 | 6×20 \"Hello\" 0A | 6×20 \"World\"", "│      Hello     │",
       "│      World     │"},
      {kExpectedLeadIn, "4 bytes: 1B 58 00 00", blank, blank},
      {kExpectedLeadIn + "        \n        ", "21 bytes: 1B 58 00 00 | 8×20 0A | 8×20", blank,
       blank},
      // Only the first newline ends line 1; a byte outside printable ASCII is a dot.
      {kExpectedLeadIn + "a\nb\nc", "9 bytes: 1B 58 00 00 | \"a\" 0A | \"b\\x0Ac\"",
       "│a               │", "│b·c             │"},
      {kExpectedLeadIn + "  a\"\\\x01\n", "11 bytes: 1B 58 00 00 | 2×20 \"a\\\"\\\\\\x01\" 0A",
       "│  a\"\\·          │", blank},
      // Past column 16: cut and marked.
      {kExpectedLeadIn + "12345678901234567890\n\x01\xc3\xa9x",
       "29 bytes: 1B 58 00 00 | \"12345678901234567890\" 0A | \"\\x01\\xC3\\xA9x\"",
       "│1234567890123456»", "│···x            │",
       "note: line 1 has 4 bytes past column 16, not shown\n"},
      {"      Hello\n", "12 bytes: 6×20 \"Hello\" 0A", "│      Hello     │", blank, no_lead_in},
      {std::string("\x1bX\0", 3), "3 bytes: \"\\x1BX\\x00\"", "│·X·             │", blank,
       no_lead_in},  // a lead-in cut short
      {"", "0 bytes", blank, blank, no_lead_in},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    const PanelFrame frame = decode_frame(c.wire);
    EXPECT_EQ(describe_wire(c.wire), c.description);
    EXPECT_EQ(render_panel(frame), box(c.row1, c.row2));
    EXPECT_EQ(panel_warnings(frame), c.warnings);
  }
}

// The bytes of each frame, for comparing.
std::vector<std::string> bytes_of(const std::vector<WireFrame>& frames) {
  std::vector<std::string> bytes;
  for (const WireFrame& frame : frames) bytes.push_back(frame.bytes);
  return bytes;
}

TEST(WireFrames, CutsAtEachLeadInAndAtAQuietLine) {
  using std::chrono::milliseconds;
  const auto start = std::chrono::steady_clock::now();
  const auto later = start + milliseconds(40);
  WireFrames frames;
  // A lead-in split across two reads still starts the next frame.
  EXPECT_EQ(bytes_of(take_bytes(frames, kExpectedLeadIn + "one\n", start)),
            std::vector<std::string>{});
  EXPECT_EQ(bytes_of(take_bytes(frames, "two\x1bX", later)), std::vector<std::string>{});
  const std::vector<WireFrame> first = take_bytes(frames, std::string("\0\0", 2) + "three", later);
  EXPECT_EQ(bytes_of(first), std::vector<std::string>{kExpectedLeadIn + "one\ntwo"});
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].started, start);  // stamped with its first byte
  EXPECT_EQ(take_quiet(frames, later + kQuietGap - milliseconds(1), false).bytes, "");
  const WireFrame second = take_quiet(frames, later + kQuietGap, false);
  EXPECT_EQ(second.bytes, kExpectedLeadIn + "three");
  EXPECT_EQ(second.started, later);
  // Bytes after a shown frame, with no lead-in, are a frame of their own.
  EXPECT_EQ(bytes_of(take_bytes(frames, "oops", start)), std::vector<std::string>{});
  EXPECT_EQ(take_quiet(frames, start, true).bytes, "oops");
  EXPECT_EQ(take_quiet(frames, start + kQuietGap, true).bytes, "");
}

}  // namespace
