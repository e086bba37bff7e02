#include "panel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire_frames.h"

namespace {

const std::string kLeadIn(
    "\x1b"
    "X\0\0",
    4);

TEST(DecodeFrame, ReadsLinesAsTheDisplayWould) {
  struct Case {
    std::string wire;
    bool lead_in;
    std::string line1;
    std::string line2;
  };
  const Case cases[] = {
      {kLeadIn + "      Hello\n      World", true, "      Hello", "      World"},
      {kLeadIn, true, "", ""},
      {kLeadIn + "        \n", true, "        ", ""},
      {kLeadIn + "a\nb\nc", true, "a", "b\nc"},  // only the first newline ends line 1
      {"      Hello\n", false, "      Hello", ""},
      {"", false, "", ""},
      {std::string("\x1bX\0", 3), false, std::string("\x1bX\0", 3), ""},  // a lead-in cut short
  };
  for (const Case& c : cases) {
    const PanelFrame frame = decode_frame(c.wire);
    EXPECT_EQ(frame.lead_in, c.lead_in) << describe_wire(c.wire);
    EXPECT_EQ(frame.line1, c.line1) << describe_wire(c.wire);
    EXPECT_EQ(frame.line2, c.line2) << describe_wire(c.wire);
  }
}

TEST(RenderPanel, DrawsTwoRowsOfSixteenColumns) {
  EXPECT_EQ(render_panel(decode_frame(kLeadIn + "      Hello\n      World")),
            "┌────────────────┐\n"
            "│      Hello     │\n"
            "│      World     │\n"
            "└────────────────┘\n");
}

TEST(RenderPanel, CutsAndMarksLongRowsAndShowsPlaceholders) {
  const PanelFrame frame = decode_frame(kLeadIn + "12345678901234567890\n\x01\xc3\xa9x");
  EXPECT_EQ(render_panel(frame),
            "┌────────────────┐\n"
            "│1234567890123456»\n"
            "│···x            │\n"
            "└────────────────┘\n");
  EXPECT_EQ(panel_warnings(frame), "note: line 1 has 4 bytes past column 16, not shown\n");
}

TEST(PanelWarnings, FlagsAFrameWithoutTheLeadIn) {
  EXPECT_EQ(panel_warnings(decode_frame("Hello")),
            "warning: the frame does not start with the lead-in 1B 58 00 00\n");
  EXPECT_EQ(panel_warnings(decode_frame(kLeadIn + "Hello\n")), "");
}

TEST(DescribeWire, NamesEveryByte) {
  struct Case {
    std::string wire;
    std::string description;
  };
  const Case cases[] = {
      {kLeadIn + "      Hello\n      World",
       "27 bytes: 1B 58 00 00 | 6×20 \"Hello\" 0A | 6×20 \"World\""},
      {kLeadIn, "4 bytes: 1B 58 00 00"},
      {kLeadIn + "        \n        ", "21 bytes: 1B 58 00 00 | 8×20 0A | 8×20"},
      {kLeadIn + "  a\"\\\x01\n", "11 bytes: 1B 58 00 00 | 2×20 \"a\\\"\\\\\\x01\" 0A"},
      {"oops", "4 bytes: \"oops\""},
      {"", "0 bytes"},
  };
  for (const Case& c : cases) EXPECT_EQ(describe_wire(c.wire), c.description);
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
  EXPECT_EQ(bytes_of(take_bytes(frames, kLeadIn + "one\n", start)), std::vector<std::string>{});
  EXPECT_EQ(bytes_of(take_bytes(frames, "two\x1bX", later)), std::vector<std::string>{});
  const std::vector<WireFrame> first = take_bytes(frames, std::string("\0\0", 2) + "three", later);
  EXPECT_EQ(bytes_of(first), std::vector<std::string>{kLeadIn + "one\ntwo"});
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].started, start);  // stamped with its first byte
  EXPECT_EQ(take_quiet(frames, later + kQuietGap - milliseconds(1), false).bytes, "");
  const WireFrame second = take_quiet(frames, later + kQuietGap, false);
  EXPECT_EQ(second.bytes, kLeadIn + "three");
  EXPECT_EQ(second.started, later);
  // Bytes after a shown frame, with no lead-in, are a frame of their own.
  EXPECT_EQ(bytes_of(take_bytes(frames, "oops", start)), std::vector<std::string>{});
  EXPECT_EQ(take_quiet(frames, start, true).bytes, "oops");
  EXPECT_EQ(take_quiet(frames, start + kQuietGap, true).bytes, "");
}

}  // namespace
