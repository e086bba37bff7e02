#include "display/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kStalledStep[] = "output stalled";
constexpr char kStalledReason[] = "the frame did not leave the port within 2 s";
static_assert(kOutputBoundMs == 2'000, "kStalledReason names the bound");
constexpr char kHungUpStep[] = "hung up";
constexpr char kHungUpRestored[] = "the frame may not have left; the old settings are back";
constexpr char kHungUpGone[] = "the device is gone; the frame may not have left";
constexpr char kHungUpNotRestored[] =
    "the frame may not have left; the old settings could not be put back";
constexpr int kLockPollMs = 10;  // milliseconds between tries for another run's lock

// Linux's device majors for pseudo-terminal slaves: Unix 98 (/dev/pts) and BSD.
constexpr unsigned kPtsMajorFirst = 136;
constexpr unsigned kPtsMajorLast = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

// What decides the bytes on the line in c_cflag; size and parity are the
// part a pseudo-terminal overrides.
constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kPtyForcedFlags = CSIZE | PARENB | PARODD | CMSPAR;

struct Baud {
  speed_t code;
  long bits_per_second;
};
constexpr Baud kBauds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B3000000, 3000000}, {B4000000, 4000000}};

long bits_per_second(speed_t code) {
  for (const Baud& baud : kBauds) {
    if (baud.code == code) {
      return baud.bits_per_second;
    }
  }
  return 0;  // B0, or a code this table lacks
}

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

// The line settings in the usual shorthand, e.g. "9600 8E2", with what else
// changes the bytes on the line.
void describe_line(const termios& settings, char* text, std::size_t size) {
  const long out = bits_per_second(cfgetospeed(&settings));
  const long in = bits_per_second(cfgetispeed(&settings));
  char speeds[24];
  if (in == out) {
    (void)std::snprintf(speeds, sizeof speeds, "%ld", out);
  } else {
    (void)std::snprintf(speeds, sizeof speeds, "%ld out %ld in", out, in);
  }
  (void)std::snprintf(text, size, "%s %d%c%d%s%s", speeds, data_bits(settings.c_cflag),
                      parity_letter(settings.c_cflag), (settings.c_cflag & CSTOPB) != 0 ? 2 : 1,
                      (settings.c_cflag & CRTSCTS) != 0 ? " with RTS/CTS" : "",
                      (settings.c_oflag & OPOST) != 0 ? " with output processing" : "");
}

void note_kept_settings(PortFault& fault, const termios& kept) {
  if (port_failed(fault)) {
    return;
  }
  char asked_text[80];
  char kept_text[80];
  describe_line(make_display_settings(), asked_text, sizeof asked_text);
  describe_line(kept, kept_text, sizeof kept_text);
  fault.step = nullptr;
  (void)std::snprintf(fault.reason.data(), fault.reason.size(),
                      "the port cannot do %s (it kept %s)", asked_text, kept_text);
}

bool is_pseudo_terminal(dev_t device) {
  const unsigned device_major = major(device);
  return (device_major >= kPtsMajorFirst && device_major <= kPtsMajorLast) ||
         device_major == kBsdPtySlaveMajor;
}

void note_reason(PortFault& fault, const char* step, const char* reason) {
  fault.step = step;
  (void)std::snprintf(fault.reason.data(), fault.reason.size(), "%s", reason);
}

// Closes a descriptor that failed half-way through opening, keeping the
// errno of the failure for the caller's report.
int abandon(int fd, int result) {
  const int error = errno;
  close(fd);
  errno = error;
  return result;
}

// Moves the port off descriptors 0 to 2. open() takes the lowest free number,
// so a caller that closed its standard output would otherwise get the usage
// line or an error message written onto the display.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
  if (moved < 0) {
    return abandon(fd, -1);
  }
  close(fd);
  return moved;
}

// Runs take turns: another run's frame and settings change must not
// interleave with ours. The lock goes with the descriptor. The wait is short
// tries against the clock, so it needs no signal and cannot mistake another
// failure for a busy port. Returns 0, -1 with errno set, or kPortBusy.
int lock_port(int fd) {
  const timespec give_up = monotonic_after(kLockWaitMs);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      return -1;
    }
    if (monotonic_reached(give_up)) {
      return kPortBusy;
    }
    const timespec pause{0, static_cast<long>(kLockPollMs) * 1'000'000};
    nanosleep(&pause, nullptr);
  }
  return 0;
}

// A fresh descriptor for the device `saved` came from: through /proc, so that
// no path is named again, else through `path` when it still leads to that
// device. -1 with errno ENODEV when the device is gone.
int open_same_device(int fd, const char* path, const SavedSettings& saved) {
  constexpr int kFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  char same_node[32];
  (void)std::snprintf(same_node, sizeof same_node, "/proc/self/fd/%d", fd);
  int fresh = open(same_node, kFlags);
  if (fresh >= 0 || errno == ENODEV || errno == ENXIO) {
    return fresh;
  }
  fresh = open(path, kFlags);
  if (fresh < 0) {
    return -1;
  }
  struct stat node {};
  if (fstat(fresh, &node) != 0 || !S_ISCHR(node.st_mode) || node.st_rdev != saved.device) {
    errno = ENODEV;  // another device behind the same name: not ours to set
    return abandon(fresh, -1);
  }
  return fresh;
}

// A hangup explains whatever failed before it, so its note replaces theirs.
void restore_after_hangup(int fd, const char* path, const SavedSettings& saved, PortFault& fault) {
  const int fresh = open_same_device(fd, path, saved);
  if (fresh < 0) {
    const bool gone = errno == ENODEV || errno == ENXIO || errno == ENOENT;
    note_reason(fault, kHungUpStep, gone ? kHungUpGone : kHungUpNotRestored);
    return;
  }
  const bool restored = tcsetattr(fresh, TCSANOW, &saved.settings) == 0;
  close(fresh);
  note_reason(fault, kHungUpStep, restored ? kHungUpRestored : kHungUpNotRestored);
}

}  // namespace

bool port_failed(const PortFault& fault) { return fault.reason[0] != '\0'; }

int open_port(const char* path) {
  // O_NONBLOCK keeps open() from waiting for carrier on a port whose current
  // settings have CLOCAL clear while DCD is low; it is cleared again below.
  const int fd = above_standard_streams(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (fd < 0) {
    return -1;
  }
  const int locked = lock_port(fd);
  if (locked != 0) {
    return abandon(fd, locked);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return abandon(fd, -1);
  }
  return fd;
}

int open_display_port() { return open_port(kDevicePath); }

termios make_display_settings() {
  termios display{};
  display.c_iflag = IGNPAR;
  display.c_oflag = 0;  // every byte leaves unchanged; LF is not turned into CR LF
  // CLOCAL clear: the port honours carrier, so a display that drops DCD hangs
  // the line up and the next write or settings call fails rather than sending
  // into nothing. CRTSCTS clear: the display raises no CTS, and hardware flow
  // control would hold the frame back. HUPCL clear: whether DTR drops at the
  // last close is for the saved settings to say, and they are back by then.
  display.c_cflag = CS8 | CSTOPB | CREAD | PARENB;
  display.c_lflag = 0;
  display.c_cc[VTIME] = 1;  // tenths of a second
  display.c_cc[VMIN] = 0;
  // Through the speed calls rather than OR-ing B9600 into c_cflag: C libraries
  // that define B9600 as the number 9600 map it here.
  cfsetispeed(&display, B9600);
  cfsetospeed(&display, B9600);
  return display;
}

bool drives_display_line(const termios& kept, bool pseudo_terminal) {
  const termios asked = make_display_settings();
  const tcflag_t compared = pseudo_terminal ? kLineFlags & ~kPtyForcedFlags : kLineFlags;
  return (kept.c_cflag & compared) == (asked.c_cflag & compared) &&
         (kept.c_oflag & OPOST) == (asked.c_oflag & OPOST) &&
         cfgetospeed(&kept) == cfgetospeed(&asked) && cfgetispeed(&kept) == cfgetispeed(&asked);
}

bool configure_display_port(int fd, SavedSettings& saved, PortFault& fault) {
  struct stat port {};
  if (fstat(fd, &port) != 0 || tcgetattr(fd, &saved.settings) != 0) {
    // Not a terminal, or not one we can read: a frame under unknown settings
    // is garbage on a display, and a file is not a display. Touch nothing.
    return note_port_failure(fault, "save settings");
  }
  saved.valid = true;
  saved.device = port.st_rdev;
  // TCIFLUSH drops only what was received and not read; queued output stays.
  if (tcflush(fd, TCIFLUSH) != 0) {
    note_port_failure(fault, "discard input");
  }
  const termios display = make_display_settings();
  if (tcsetattr(fd, TCSANOW, &display) != 0) {
    return note_port_failure(fault, "apply display settings");
  }
  // tcsetattr succeeds when any one change took; a UART that cannot do parity
  // or two stop bits (the Raspberry Pi's mini UART) silently keeps what it can.
  termios kept{};
  if (tcgetattr(fd, &kept) != 0) {
    return note_port_failure(fault, "read back settings");
  }
  if (!drives_display_line(kept, is_pseudo_terminal(port.st_rdev))) {
    note_kept_settings(fault, kept);
    return false;
  }
  return true;
}

bool start_output_bound(Deadline& bound, PortFault& fault) {
  if (set_deadline(bound, kOutputBoundMs)) {
    return true;
  }
  return note_port_failure(fault, "bound the output");
}

bool write_all(int fd, const void* bytes, std::size_t count, const Deadline& bound) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    if (deadline_passed(bound)) {
      errno = ETIMEDOUT;
      return false;
    }
    const ssize_t written = write(fd, next, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = EIO;  // a port that takes nothing would loop forever
      }
      return false;
    }
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool note_port_failure(PortFault& fault, const char* step) {
  if (port_failed(fault)) {
    return false;
  }
  if (errno == ETIMEDOUT) {
    note_reason(fault, kStalledStep, kStalledReason);
  } else {
    note_reason(fault, step, std::strerror(errno));
  }
  return false;
}

bool drain_display_port(int fd, const Deadline& bound, PortFault& fault) {
  // write() returns once the bytes are queued; a UART may still hold most of
  // the frame. Without this wait the restore that follows would send the rest
  // at the old speed and parity.
  for (;;) {
    if (deadline_passed(bound)) {
      errno = ETIMEDOUT;
      break;
    }
    if (tcdrain(fd) == 0) {
      return true;
    }
    if (errno != EINTR) {
      break;
    }
  }
  note_port_failure(fault, "drain");
  // Queued bytes would leave under the settings put back next, and the last
  // close would wait for them up to the port's closing_wait (30 s by default).
  if (tcflush(fd, TCOFLUSH) != 0) {
    note_port_failure(fault, "discard output");
  }
  return false;
}

void restore_port_settings(int fd, const char* path, const SavedSettings& saved, PortFault& fault) {
  // Nothing was changed when nothing was saved; a record that tcgetattr did
  // not fill would hang up the line (speed 0) or worse.
  if (!saved.valid || tcsetattr(fd, TCSANOW, &saved.settings) == 0) {
    return;
  }
  if (errno == EIO) {
    restore_after_hangup(fd, path, saved, fault);
    return;
  }
  note_port_failure(fault, "restore settings");
}
