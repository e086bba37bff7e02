// The kernel's own records and calls: <asm/termbits.h> cannot share a file
// with the C library's <termios.h>, which defines a record of the same name that
// carries no rate outside the B-constants.
#include "display/line_settings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

static_assert(sizeof(LineSettings) == sizeof(termios2));
static_assert(offsetof(LineSettings, c_line) == offsetof(termios2, c_line));
static_assert(offsetof(LineSettings, c_cc) == offsetof(termios2, c_cc));
static_assert(sizeof(LineSettings::c_cc) == sizeof(termios2::c_cc));
static_assert(offsetof(LineSettings, c_ispeed) == offsetof(termios2, c_ispeed));
static_assert(offsetof(LineSettings, c_ospeed) == offsetof(termios2, c_ospeed));
// The older record is the same up to the speeds it lacks.
static_assert(offsetof(termios, c_cc) == offsetof(termios2, c_cc));
static_assert(sizeof(termios) <= offsetof(termios2, c_ispeed));

namespace {

// Bits per second of the B-codes: B0 to B38400, then B57600 to B4000000 (CBAUDEX).
constexpr std::uint32_t kBaud[] = {
    0,      50,     75,      110,     134,     150,     200,     300,     600,     1200,   1800,
    2400,   4800,   9600,    19200,   38400,   0,       57600,   115200,  230400,  460800, 500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000};

std::uint32_t baud_of(tcflag_t code) {
  return kBaud[(code & 017) + ((code & CBAUDEX) != 0 ? 16 : 0)];
}

// An emulator such as qemu-user may know only the older calls: it says so
// with ENOSYS, which no kernel gives for these.
bool unknown_to_the_emulator(int result) { return result != 0 && errno == ENOSYS; }

}  // namespace

std::uint32_t output_rate(const LineSettings& settings) {
  const tcflag_t code = settings.c_cflag & CBAUD;
  return code == BOTHER ? settings.c_ospeed : baud_of(code);
}

std::uint32_t input_rate(const LineSettings& settings) {
  const tcflag_t code = (settings.c_cflag & CIBAUD) >> IBSHIFT;
  if (code == B0) {
    return output_rate(settings);
  }
  return code == BOTHER ? settings.c_ispeed : baud_of(code);
}

bool read_line_settings(int fd, LineSettings& settings) {
  termios2 kernel{};
  const int result = ioctl(fd, TCGETS2, &kernel);
  if (unknown_to_the_emulator(result)) {
    termios older{};
    if (ioctl(fd, TCGETS, &older) != 0) {
      return false;
    }
    std::memcpy(&kernel, &older, sizeof older);
  } else if (result != 0) {
    return false;
  }
  std::memcpy(static_cast<void*>(&settings), &kernel, sizeof kernel);
  if (result != 0) {
    // The older record has no speed fields: its codes say the rates.
    settings.c_ospeed = output_rate(settings);
    settings.c_ispeed = input_rate(settings);
  }
  return true;
}

bool write_line_settings(int fd, const LineSettings& settings) {
  termios2 kernel{};
  std::memcpy(&kernel, &settings, sizeof kernel);
  // TCSETS2 is TCSANOW's: no wait for queued output, none of it dropped.
  const int result = ioctl(fd, TCSETS2, &kernel);
  if (!unknown_to_the_emulator(result) || (kernel.c_cflag & CBAUD) == BOTHER) {
    return result == 0;  // a rate no B-constant names needs the newer call
  }
  termios older{};
  std::memcpy(&older, &kernel, sizeof older);
  return ioctl(fd, TCSETS, &older) == 0;
}
