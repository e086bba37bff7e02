#include "display/display_settings.h"

#include <sys/sysmacros.h>

#include <cstdint>

namespace {

// Linux's device majors for pseudo-terminal slaves: Unix 98 (/dev/pts) and BSD.
constexpr unsigned kPtsMajorFirst = 136;
constexpr unsigned kPtsMajorLast = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

// What decides the bytes on the line in c_cflag. A pseudo-terminal forces CS8
// and clears PARENB.
constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kPtyForcedFlags = CSIZE | PARENB;
constexpr tcflag_t kInputActionModes = ISIG | ICANON | IEXTEN;
constexpr std::uint32_t kDisplayBaud = 9600;  // bits per second
// The kernel's code for 9600 baud in c_cflag, which the C library shares on Linux.
static_assert(B9600 == 015);

}  // namespace

LineSettings make_display_settings() {
  LineSettings display{};
  display.c_iflag = IGNPAR;
  display.c_oflag = 0;  // every byte leaves unchanged; LF is not turned into CR LF
  // CLOCAL clear: the port honours carrier, so a display that drops DCD hangs
  // the line up and the next write or settings call fails rather than sending
  // into nothing. CRTSCTS clear: the display raises no CTS, and hardware flow
  // control would hold the frame back. HUPCL clear: whether DTR drops at the
  // last close is for the saved settings to say, and they are back by then.
  display.c_cflag = B9600 | CS8 | CSTOPB | CREAD | PARENB;
  display.c_lflag = 0;
  display.c_cc[VTIME] = 1;  // tenths of a second
  display.c_cc[VMIN] = 0;
  // The kernel takes the speed from the B-code in c_cflag and fills these in.
  display.c_ispeed = kDisplayBaud;
  display.c_ospeed = kDisplayBaud;
  return display;
}

bool drives_display_line(const LineSettings& read_back, bool pseudo_terminal) {
  const LineSettings asked = make_display_settings();
  const tcflag_t compared = pseudo_terminal ? kLineFlags & ~kPtyForcedFlags : kLineFlags;
  constexpr tcflag_t kLocal = kEchoModes | kInputActionModes;
  return (read_back.c_cflag & compared) == (asked.c_cflag & compared) &&
         (read_back.c_oflag & OPOST) == (asked.c_oflag & OPOST) &&
         (read_back.c_lflag & kLocal) == (asked.c_lflag & kLocal) &&
         (read_back.c_iflag & kSoftwareFlowModes) == (asked.c_iflag & kSoftwareFlowModes) &&
         output_rate(read_back) == kDisplayBaud && input_rate(read_back) == kDisplayBaud &&
         read_back.c_ospeed == asked.c_ospeed && read_back.c_ispeed == asked.c_ispeed;
}

bool is_pseudo_terminal(dev_t device) {
  const unsigned device_major = major(device);
  return (device_major >= kPtsMajorFirst && device_major <= kPtsMajorLast) ||
         device_major == kBsdPtySlaveMajor;
}
