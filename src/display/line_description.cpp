#include "display/line_description.h"

#include <termios.h>

#include <cstdio>

#include "display/display_settings.h"

namespace {

char parity_letter(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) {
    return 'N';
  }
  if ((cflag & CMSPAR) != 0) {
    return (cflag & PARODD) != 0 ? 'M' : 'S';  // mark or space: a parity bit fixed at 1 or 0
  }
  return (cflag & PARODD) != 0 ? 'O' : 'E';
}

int data_bits(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

}  // namespace

void describe_line_settings(const LineSettings& settings, char* text, std::size_t size) {
  char speeds[32];
  const unsigned out = output_rate(settings);
  const unsigned in = input_rate(settings);
  if (in == out) {
    (void)std::snprintf(speeds, sizeof speeds, "%u", out);
  } else {
    (void)std::snprintf(speeds, sizeof speeds, "%u out %u in", out, in);
  }
  const tcflag_t local = settings.c_lflag;
  (void)std::snprintf(text, size, "%s %d%c%d%s%s%s%s%s%s%s", speeds, data_bits(settings.c_cflag),
                      parity_letter(settings.c_cflag), (settings.c_cflag & CSTOPB) != 0 ? 2 : 1,
                      (settings.c_cflag & CRTSCTS) != 0 ? " with RTS/CTS" : "",
                      (settings.c_oflag & OPOST) != 0 ? " with output processing" : "",
                      (local & kEchoModes) != 0 ? " with echo" : "",
                      (settings.c_iflag & kSoftwareFlowModes) != 0 ? " with XON/XOFF" : "",
                      (local & ISIG) != 0 ? " with signal characters" : "",
                      (local & ICANON) != 0 ? " with line editing" : "",
                      (local & IEXTEN) != 0 ? " with extended input" : "");
}
