#pragma once

#include <string>
#include <string_view>

/// The virtual display's reading of a frame, as the 2x16 panel would take it:
/// the lead-in, then line 1 up to its newline byte, then line 2 to the end. A
/// frame that does not start with the lead-in is flagged and read from its
/// first byte.

struct PanelFrame {
  bool lead_in = false;  // the frame starts with 1B 58 00 00
  std::string line1;     // without its newline byte
  std::string line2;
};

PanelFrame decode_frame(std::string_view wire);

/// The panel drawn with box characters, 16 columns a row. Bytes outside
/// printable ASCII show as a middle dot; a row with bytes past column 16 has
/// its right border replaced by a marker.
std::string render_panel(const PanelFrame& frame);

/// One line naming every byte: `27 bytes: 1B 58 00 00 | 6×20 "Hello" 0A | ...`.
std::string describe_wire(std::string_view wire);

/// Notes on what the panel could not show, one line each (may be empty).
std::string panel_warnings(const PanelFrame& frame);
