#include "display/serial_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr char kStalledStep[] = "output stalled";
constexpr char kStalledReason[] = "the frame did not leave the port within 2 s";
static_assert(kOutputBoundMs == 2'000, "kStalledReason names the bound");
constexpr char kHungUpStep[] = "hung up";
constexpr char kHungUpRestored[] = "the frame may not have left; the old settings are back";
constexpr char kHungUpGone[] = "the device is gone; the frame may not have left";
constexpr char kHungUpNotRestored[] =
    "the frame may not have left; the old settings could not be put back";
constexpr char kHungUpElsewhere[] =
    "the frame may not have left; the old settings could not be put back "
    "(the path now leads to another device)";

// Linux's device majors for pseudo-terminal slaves: Unix 98 (/dev/pts) and BSD.
constexpr unsigned kPtsMajorFirst = 136;
constexpr unsigned kPtsMajorLast = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

// What decides the bytes on the line: in c_cflag, and the modes that add
// bytes of their own (echo of what the display sends, XON/XOFF) or drop ours
// (a signal character from the line flushes queued output unless NOFLSH; line
// editing and IEXTEN's characters act on what the display sends). The rest of
// the echo family acts only with ECHO or ICANON. A pseudo-terminal forces CS8
// and clears PARENB.
constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kPtyForcedFlags = CSIZE | PARENB;
constexpr tcflag_t kEchoFlags = ECHO | ECHONL;
constexpr tcflag_t kInputActionFlags = ISIG | ICANON | IEXTEN;
constexpr tcflag_t kSoftwareFlowFlags = IXON | IXOFF;
constexpr std::uint32_t kDisplayBaud = 9600;  // bits per second
// The kernel's code for 9600 baud in c_cflag, which the C library shares on Linux.
static_assert(B9600 == 015);

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
void describe_line(const LineSettings& settings, char* text, std::size_t size) {
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
                      (local & kEchoFlags) != 0 ? " with echo" : "",
                      (settings.c_iflag & kSoftwareFlowFlags) != 0 ? " with XON/XOFF" : "",
                      (local & ISIG) != 0 ? " with signal characters" : "",
                      (local & ICANON) != 0 ? " with line editing" : "",
                      (local & IEXTEN) != 0 ? " with extended input" : "");
}

void note_kept_settings(PortFault& fault, const LineSettings& kept) {
  if (port_failed(fault)) {
    return;
  }
  char asked_text[160];
  char kept_text[160];
  describe_line(make_display_settings(), asked_text, sizeof asked_text);
  describe_line(kept, kept_text, sizeof kept_text);
  fault.step = nullptr;
  (void)std::snprintf(fault.reason.data(), fault.reason.size(),
                      "the port cannot do %s (it kept %s)", asked_text, kept_text);
}

// Which parts of the record a port did not take back, in words.
void note_not_restored(PortFault& fault, const LineSettings& saved, const LineSettings& now) {
  if (port_failed(fault)) {
    return;
  }
  const struct {
    bool differs;
    const char* name;
  } parts[] = {
      {saved.c_ispeed != now.c_ispeed || saved.c_ospeed != now.c_ospeed, "speed"},
      {saved.c_cflag != now.c_cflag, "control modes"},
      {saved.c_iflag != now.c_iflag, "input modes"},
      {saved.c_oflag != now.c_oflag, "output modes"},
      {saved.c_lflag != now.c_lflag, "local modes"},
      {saved.c_line != now.c_line || saved.c_cc != now.c_cc, "control characters"},
  };
  char names[96] = "";
  for (const auto& part : parts) {
    if (part.differs) {
      (void)std::snprintf(names + std::strlen(names), sizeof names - std::strlen(names), "%s%s",
                          names[0] == '\0' ? "" : ", ", part.name);
    }
  }
  char had[160];
  char has[160];
  describe_line(saved, had, sizeof had);
  describe_line(now, has, sizeof has);
  fault.step = nullptr;
  (void)std::snprintf(fault.reason.data(), fault.reason.size(),
                      "the old settings did not all come back: %s (it had %s, it now has %s)",
                      names, had, has);
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

// A fresh descriptor for the device `saved` came from: through /proc, so that
// no path is named again, else through `path` when it still leads to that
// device. -1 with errno ENODEV when the device is gone, EXDEV when `path` now
// leads to another one.
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
    errno = EXDEV;  // another device behind the same name: not ours to set
    return abandon(fresh, -1);
  }
  return fresh;
}

// Puts `saved` on `fd` and reads it back. False, with errno set, when the port
// refused either call; otherwise true, with what the port now holds in `now`.
bool put_back(int fd, const SavedSettings& saved, LineSettings& now) {
  return write_line_settings(fd, saved.settings) && read_line_settings(fd, now);
}

// A hangup explains whatever failed before it, so its note replaces theirs.
void restore_after_hangup(int fd, const char* path, const SavedSettings& saved, PortFault& fault) {
  const int fresh = open_same_device(fd, path, saved);
  if (fresh < 0) {
    const bool gone = errno == ENODEV || errno == ENXIO || errno == ENOENT;
    note_reason(fault, kHungUpStep,
                gone             ? kHungUpGone
                : errno == EXDEV ? kHungUpElsewhere
                                 : kHungUpNotRestored);
    return;
  }
  LineSettings now{};
  const bool restored = put_back(fresh, saved, now) && now == saved.settings;
  close(fresh);
  note_reason(fault, kHungUpStep, restored ? kHungUpRestored : kHungUpNotRestored);
}

}  // namespace

bool port_failed(const PortFault& fault) { return fault.reason[0] != '\0'; }

int open_port(const char* path, const char* lock_place, OpenPort& port) {
  // O_NONBLOCK keeps open() from waiting for carrier on a port whose current
  // settings have CLOCAL clear while DCD is low; it is cleared once the turn is ours.
  port.fd = above_standard_streams(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (port.fd < 0) {
    return kLockFailed;
  }
  int result = take_port_turn(port.fd, lock_place, port.lock);
  if (result == 0) {
    const int flags = fcntl(port.fd, F_GETFL);
    result = flags >= 0 && fcntl(port.fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? 0 : kLockFailed;
  }
  if (result != 0) {
    const int error = errno;
    close_port(port);
    errno = error;
  }
  return result;
}

int open_display_port(OpenPort& port) { return open_port(kDevicePath, kLockPlace, port); }

void close_port(OpenPort& port) {
  for (int* fd : {&port.fd, &port.lock.fd}) {
    if (*fd >= 0) {
      close(*fd);
    }
    *fd = -1;
  }
}

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

bool drives_display_line(const LineSettings& kept, bool pseudo_terminal) {
  const LineSettings asked = make_display_settings();
  const tcflag_t compared = pseudo_terminal ? kLineFlags & ~kPtyForcedFlags : kLineFlags;
  constexpr tcflag_t kLocal = kEchoFlags | kInputActionFlags;
  // The kernel drives the line by the speed's code; the fields must agree too.
  return (kept.c_cflag & compared) == (asked.c_cflag & compared) &&
         (kept.c_oflag & OPOST) == (asked.c_oflag & OPOST) &&
         (kept.c_lflag & kLocal) == (asked.c_lflag & kLocal) &&
         (kept.c_iflag & kSoftwareFlowFlags) == (asked.c_iflag & kSoftwareFlowFlags) &&
         output_rate(kept) == kDisplayBaud && input_rate(kept) == kDisplayBaud &&
         kept.c_ospeed == asked.c_ospeed && kept.c_ispeed == asked.c_ispeed;
}

bool configure_display_port(int fd, SavedSettings& saved, PortFault& fault) {
  struct stat port {};
  if (fstat(fd, &port) != 0 || !read_line_settings(fd, saved.settings)) {
    // Not a terminal, or not one we can read: a frame under unknown settings
    // is garbage on a display, and a file is not a display. Touch nothing.
    return note_port_failure(fault, "save settings");
  }
  saved.valid = true;
  saved.device = port.st_rdev;
  // TCIFLUSH drops only what was received and not read; queued output stays.
  const int discard_error = tcflush(fd, TCIFLUSH) == 0 ? 0 : errno;
  // The apply's own word counts for little: it succeeds when any one change
  // took, and a driver may refuse a record while already holding what it asks
  // (a port left in display mode by a killed run). What the port reads back
  // decides; a UART that cannot do parity or two stop bits (the Raspberry Pi's
  // mini UART) silently keeps what it can.
  const bool applied = write_line_settings(fd, make_display_settings());
  const int apply_error = errno;
  LineSettings kept{};
  if (!read_line_settings(fd, kept)) {
    errno = applied ? errno : apply_error;
    return note_port_failure(fault, applied ? "read back settings" : "apply display settings");
  }
  if (!drives_display_line(kept, is_pseudo_terminal(port.st_rdev))) {
    note_kept_settings(fault, kept);
    return false;
  }
  if (discard_error != 0) {
    errno = discard_error;
    note_port_failure(fault, "discard input");  // stale input only: the frame still goes
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
  if (!port_failed(fault)) {
    note_reason(fault, step, std::strerror(errno));
  }
  return false;
}

bool note_output_stalled(PortFault& fault) {
  if (!port_failed(fault)) {
    note_reason(fault, kStalledStep, kStalledReason);
  }
  return false;
}

bool drain_display_port(int fd, const Deadline& bound, PortFault& fault) {
  // write() returns once the bytes are queued; a UART may still hold most of
  // the frame. Without this wait the restore that follows would send the rest
  // at the old speed and parity.
  for (;;) {
    if (deadline_passed(bound)) {
      note_output_stalled(fault);
      break;
    }
    if (tcdrain(fd) == 0) {
      return true;
    }
    if (errno != EINTR) {
      note_port_failure(fault, "drain");
      break;
    }
  }
  // Queued bytes would leave under the settings put back next, and the last
  // close would wait for them up to the port's closing_wait (30 s by default).
  if (tcflush(fd, TCOFLUSH) != 0) {
    note_port_failure(fault, "discard output");
  }
  return false;
}

void restore_port_settings(int fd, const char* path, const SavedSettings& saved, PortFault& fault) {
  // Nothing was changed when nothing was saved; a record that was never filled
  // would hang up the line (speed 0) or worse.
  if (!saved.valid) {
    return;
  }
  LineSettings now{};
  if (put_back(fd, saved, now)) {
    // A driver may take a record in part and still say yes.
    if (now != saved.settings) {
      note_not_restored(fault, saved.settings, now);
    }
    return;
  }
  if (errno == EIO) {
    restore_after_hangup(fd, path, saved, fault);
    return;
  }
  note_port_failure(fault, "restore settings");
}
