// libFuzzer target for the line layout: any bytes as text, either terminator.
// Checks the layout's invariants on every input, not only that it survives.
// The first input byte picks the terminator; the rest is the text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "display/display_frame.h"

namespace {

void require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const LineTerminator terminator =
      (data[0] & 1) != 0 ? LineTerminator::kNewline : LineTerminator::kNone;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const DisplayLine line = format_display_line(text, terminator);

  const std::size_t ending = terminator == LineTerminator::kNewline ? 1 : 0;
  const std::size_t limit = 31 - ending;  // bytes of text a line keeps
  const std::size_t kept = text.size() < limit ? text.size() : limit;
  const long half = static_cast<long>(kept / 2);
  const std::size_t indent = half >= 8 ? 0 : static_cast<std::size_t>(8 - half);

  require(line.length <= 31);
  require(line.length == indent + kept + ending);
  for (std::size_t i = 0; i < indent; ++i) require(line.bytes[i] == ' ');
  require(std::string_view(line.bytes.data() + indent, kept) == text.substr(0, kept));
  if (ending == 1) require(line.bytes[line.length - 1] == '\n');
  for (std::size_t i = line.length; i < line.bytes.size(); ++i) require(line.bytes[i] == '\0');
  require(static_cast<std::size_t>(centre_indent(kept)) == indent);
  return 0;
}
