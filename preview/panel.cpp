#include "panel.h"

#include <cstdio>

#include "wire_frames.h"

namespace {

constexpr std::size_t kColumns = kFieldWidth;   // display columns
constexpr const char* kPlaceholder = "\u00b7";  // a byte the panel cannot show here
constexpr const char* kCutMarker = "\u00bb";    // in place of the right border

bool printable(unsigned char byte) { return byte >= 0x20 && byte < 0x7f; }

std::string hex(unsigned char byte) {
  char text[4];
  (void)std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

std::string row(std::string_view text) {
  std::string out = "\u2502";
  for (std::size_t column = 0; column < kColumns; ++column) {
    if (column >= text.size()) {
      out += ' ';
    } else if (printable(static_cast<unsigned char>(text[column]))) {
      out += text[column];
    } else {
      out += kPlaceholder;
    }
  }
  out += text.size() > kColumns ? kCutMarker : "\u2502";
  return out + "\n";
}

// A line's bytes as `6×20 "Hello"`: the run of leading spaces, then the rest
// quoted, with bytes outside printable ASCII as \xNN.
std::string describe_row_bytes(std::string_view line) {
  std::string out;
  std::size_t spaces = 0;
  while (spaces < line.size() && line[spaces] == ' ') {
    ++spaces;
  }
  if (spaces > 0) {
    out += std::to_string(spaces) + "\u00d720";
  }
  if (spaces < line.size()) {
    if (!out.empty()) {
      out += ' ';
    }
    out += '"';
    for (const char c : line.substr(spaces)) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte == '"' || byte == '\\') {
        out += '\\';
        out += c;
      } else if (printable(byte)) {
        out += c;
      } else {
        out += "\\x" + hex(byte);
      }
    }
    out += '"';
  }
  return out;
}

}  // namespace

PanelFrame decode_frame(std::string_view wire) {
  PanelFrame frame;
  frame.lead_in = wire.substr(0, kLeadInBytes.size()) == kLeadInBytes;
  if (frame.lead_in) {
    wire.remove_prefix(kLeadInBytes.size());
  }
  const std::size_t newline = wire.find('\n');
  frame.line1 = wire.substr(0, newline);
  if (newline != std::string_view::npos) {
    frame.line2 = wire.substr(newline + 1);
  }
  return frame;
}

std::string render_panel(const PanelFrame& frame) {
  std::string border;
  for (std::size_t i = 0; i < kColumns; ++i) {
    border += "\u2500";
  }
  return "\u250c" + border + "\u2510\n" + row(frame.line1) + row(frame.line2) + "\u2514" + border +
         "\u2518\n";
}

std::string describe_wire(std::string_view wire) {
  std::string out = std::to_string(wire.size()) + (wire.size() == 1 ? " byte" : " bytes");
  if (wire.empty()) {
    return out;
  }
  out += ":";
  const PanelFrame frame = decode_frame(wire);
  if (frame.lead_in) {
    out += " 1B 58 00 00";
    wire.remove_prefix(kLeadInBytes.size());
  }
  const std::size_t newline = wire.find('\n');
  const std::string_view first = wire.substr(0, newline);
  if (frame.lead_in && !wire.empty()) {
    out += " |";
  }
  if (!first.empty()) {
    out += " " + describe_row_bytes(first);
  }
  if (newline != std::string_view::npos) {
    out += " 0A";
    const std::string_view second = wire.substr(newline + 1);
    if (!second.empty()) {
      out += " | " + describe_row_bytes(second);
    }
  }
  return out;
}

std::string panel_warnings(const PanelFrame& frame) {
  std::string out;
  if (!frame.lead_in) {
    out += "warning: the frame does not start with the lead-in 1B 58 00 00\n";
  }
  const auto cut = [&](const std::string& line, const char* name) {
    if (line.size() > kColumns) {
      const std::size_t past = line.size() - kColumns;
      out += "note: " + std::string(name) + " has " + std::to_string(past) +
             (past == 1 ? " byte" : " bytes") + " past column 16, not shown\n";
    }
  };
  cut(frame.line1, "line 1");
  cut(frame.line2, "line 2");
  return out;
}
