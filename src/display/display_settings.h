#pragma once

#include <sys/types.h>
#include <termios.h>

#include "display/line_settings.h"

/// The settings the display is driven under, and how what a port reads back is
/// judged against them. Pure: no port is touched here.

// What adds bytes of its own on the line (echo of what the display sends,
// XON/XOFF) or acts on the display's bytes (a signal character from the line
// flushes queued output unless NOFLSH; line editing; IEXTEN's characters). The
// rest of the echo family acts only with ECHO or ICANON.
inline constexpr tcflag_t kEchoModes = ECHO | ECHONL;
inline constexpr tcflag_t kSoftwareFlowModes = IXON | IXOFF;

/// The display settings, built from zero: 9600 baud, 8 data bits, even parity,
/// 2 stop bits, receiver on, carrier honoured, no flow control, raw, reads time
/// out after 0.1 s.
LineSettings make_display_settings();

/// True when `read_back`, the settings read back from a port, drives its line
/// as the display settings do: the rate both ways (by the speed's code, which
/// the kernel drives the line by, and the speed fields), character size,
/// parity, stop bits, no RTS/CTS, no output processing, no echo, no XON/XOFF,
/// no signal characters, line editing or extended input. A pseudo-terminal has
/// no line and forces 8 bits without parity whatever is asked, so there size
/// and parity do not count.
bool drives_display_line(const LineSettings& read_back, bool pseudo_terminal);

/// True for a pseudo-terminal slave's device number (Unix 98 or BSD).
bool is_pseudo_terminal(dev_t device);
