// libFuzzer target for the line layout: any bytes as text, either terminator.
// Checks every input against the tests' own statement of the rule, not only
// that the layout survives it. The first input byte picks the terminator; the
// rest is the text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "display/display_frame.h"
#include "expected_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool first = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const DisplayLine line =
      format_display_line(text, first ? LineTerminator::kNewline : LineTerminator::kNone);
  if (std::string_view(line.bytes.data(), line.length) != expected_line(text, first)) std::abort();
  for (std::size_t i = line.length; i < line.bytes.size(); ++i) {
    if (line.bytes[i] != '\0') std::abort();  // nothing written past the line
  }
  return 0;
}
