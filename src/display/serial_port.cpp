#include "display/serial_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "display/display_settings.h"

namespace {

// Moves `fd` off descriptors 0 to 2, closing the original: open() takes the
// lowest free number, and a caller that closed its standard output would
// otherwise get the usage line or a message written into the port. -1 with
// errno set when it cannot (then `fd` is closed).
int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
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
    close(fresh);
    errno = EXDEV;  // another device behind the same name: not ours to set
    return -1;
  }
  return fresh;
}

// Puts `saved` on `fd` and reads it back. False, with errno set, when the port
// refused either call; otherwise true, with what the port now holds in `now`.
bool put_back(int fd, const SavedSettings& saved, LineSettings& now) {
  return write_line_settings(fd, saved.settings) && read_line_settings(fd, now);
}

void restore_after_hangup(int fd, const char* path, const SavedSettings& saved, PortFault& fault) {
  const int fresh = open_same_device(fd, path, saved);
  if (fresh < 0) {
    const bool gone = errno == ENODEV || errno == ENXIO || errno == ENOENT;
    note_hangup(fault, gone             ? HangupEnd::kGone
                       : errno == EXDEV ? HangupEnd::kElsewhere
                                        : HangupEnd::kNotRestored);
    return;
  }
  LineSettings now{};
  const bool restored = put_back(fresh, saved, now) && now == saved.settings;
  close(fresh);
  note_hangup(fault, restored ? HangupEnd::kRestored : HangupEnd::kNotRestored);
}

}  // namespace

bool open_port(const char* path, int& fd, PortFault& fault) {
  // O_NONBLOCK keeps open() from waiting for carrier on a port whose current
  // settings have CLOCAL clear while DCD is low; it is cleared once locked.
  fd = above_standard_streams(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (fd < 0) {
    return note_step_failed(fault, nullptr, errno);
  }
  bool ours = lock_port(fd, fault);
  if (ours) {
    const int flags = fcntl(fd, F_GETFL);
    ours = (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) ||
           note_step_failed(fault, nullptr, errno);
  }
  if (!ours) {
    close_port(fd);
  }
  return ours;
}

bool open_display_port(int& fd, PortFault& fault) { return open_port(kDevicePath, fd, fault); }

void close_port(int& fd) {
  if (fd >= 0) {
    close(fd);
  }
  fd = -1;
}

bool configure_display_port(int fd, SavedSettings& saved, PortFault& fault) {
  struct stat port {};
  if (fstat(fd, &port) != 0 || !read_line_settings(fd, saved.settings)) {
    // Not a terminal, or not one we can read: a frame under unknown settings
    // is garbage on a display, and a file is not a display. Touch nothing.
    return note_step_failed(fault, "save settings", errno);
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
  const LineSettings display = make_display_settings();
  const bool applied = write_line_settings(fd, display);
  const int apply_error = errno;
  LineSettings read_back{};
  if (!read_line_settings(fd, read_back)) {
    return applied ? note_step_failed(fault, "read back settings", errno)
                   : note_step_failed(fault, "apply display settings", apply_error);
  }
  if (!drives_display_line(read_back, is_pseudo_terminal(port.st_rdev))) {
    return note_cannot_drive(fault, display, read_back);
  }
  if (discard_error != 0) {
    note_step_failed(fault, "discard input", discard_error);  // stale input only: the frame goes
  }
  return true;
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
    restore_after_hangup(fd, path, saved, fault);  // EIO: the descriptor was hung up
    return;
  }
  note_step_failed(fault, "restore settings", errno);
}
