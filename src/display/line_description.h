#pragma once

#include <cstddef>

#include "display/line_settings.h"

/// `settings` in stty's shorthand, e.g. "9600 8E2" ("9600 out 1200 in" when the
/// rates differ), followed by what else changes the bytes on the line:
/// " with RTS/CTS", " with output processing", " with echo", " with XON/XOFF",
/// " with signal characters", " with line editing", " with extended input".
/// Cut to fit `size` bytes, always terminated.
void describe_line_settings(const LineSettings& settings, char* text, std::size_t size);
