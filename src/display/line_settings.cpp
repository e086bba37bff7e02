// The kernel's own record and calls: <asm/termbits.h> cannot share a file with
// the C library's <termios.h>, which defines a record of the same name that
// carries no rate outside the B-constants.
#include "display/line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstring>

static_assert(sizeof(LineSettings) == sizeof(termios2));
static_assert(offsetof(LineSettings, c_line) == offsetof(termios2, c_line));
static_assert(offsetof(LineSettings, c_cc) == offsetof(termios2, c_cc));
static_assert(sizeof(LineSettings::c_cc) == sizeof(termios2::c_cc));
static_assert(offsetof(LineSettings, c_ispeed) == offsetof(termios2, c_ispeed));
static_assert(offsetof(LineSettings, c_ospeed) == offsetof(termios2, c_ospeed));

bool read_line_settings(int fd, LineSettings& settings) {
  termios2 kernel{};
  if (ioctl(fd, TCGETS2, &kernel) != 0) {
    return false;
  }
  std::memcpy(static_cast<void*>(&settings), &kernel, sizeof kernel);
  return true;
}

bool write_line_settings(int fd, const LineSettings& settings) {
  termios2 kernel{};
  std::memcpy(&kernel, &settings, sizeof kernel);
  // TCSETS2 is TCSANOW's: no wait for queued output, none of it dropped.
  return ioctl(fd, TCSETS2, &kernel) == 0;
}
