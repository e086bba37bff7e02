#include "display/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "deadline.h"

namespace {

constexpr char kStalledStep[] = "output stalled";
constexpr char kStalledReason[] = "the frame did not leave the port within 2 s";
static_assert(kOutputBoundMs == 2'000, "kStalledReason names the bound");

// Closes a descriptor that failed half-way through opening, keeping the
// errno of the failure for the caller's report.
int abandon(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
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
    return abandon(fd);
  }
  close(fd);
  return moved;
}

// Runs take turns: another run's frame and settings change must not
// interleave with ours. The lock goes with the descriptor.
bool lock_port(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return true;  // the usual case: no one else there, no timer needed
  }
  if (errno != EWOULDBLOCK || !set_deadline(kLockWaitMs)) {
    return false;
  }
  int locked = -1;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR && !deadline_passed()) {
  }
  const int error = deadline_passed() ? EWOULDBLOCK : errno;
  clear_deadline();
  errno = error;
  return locked == 0;
}

// After a hangup (an adapter pulled, carrier lost) the run's descriptor only
// answers EIO, but the settings belong to the device: a new open of the same
// node, reached through /proc so that no path is named again, can still put
// them back.
bool restore_through_fresh_descriptor(int fd, const termios& saved) {
  char same_node[32];
  const int length = std::snprintf(same_node, sizeof same_node, "/proc/self/fd/%d", fd);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof same_node) {
    return false;
  }
  const int fresh = open(same_node, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fresh < 0) {
    return false;
  }
  const bool restored = tcsetattr(fresh, TCSANOW, &saved) == 0;
  close(fresh);
  return restored;
}

void note_hangup(PortFault& fault) {
  if (fault.reason == nullptr) {
    fault.step = "hung up";
    fault.reason = "the frame may not have left; the old settings are back";
  }
}

}  // namespace

int open_port(const char* path) {
  // O_NONBLOCK keeps open() from waiting for carrier on a port whose current
  // settings have CLOCAL clear while DCD is low; it is cleared again below.
  const int fd = above_standard_streams(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (fd < 0) {
    return -1;
  }
  if (!lock_port(fd)) {
    return abandon(fd);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return abandon(fd);
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

SavedSettings configure_display_port(int fd, PortFault& fault) {
  SavedSettings saved;
  saved.valid = tcgetattr(fd, &saved.settings) == 0 || note_port_failure(fault, "save settings");
  const termios display = make_display_settings();
  // TCIFLUSH drops only what was received and not read; queued output stays.
  if (tcflush(fd, TCIFLUSH) != 0) {
    note_port_failure(fault, "discard input");
  }
  if (tcsetattr(fd, TCSANOW, &display) != 0) {
    note_port_failure(fault, "apply display settings");
  }
  return saved;
}

bool start_output_bound(PortFault& fault) {
  return set_deadline(kOutputBoundMs) || note_port_failure(fault, "bound the output");
}

void end_output_bound(int fd, PortFault& fault) {
  const bool ran_out = deadline_passed();
  clear_deadline();
  if (ran_out && tcflush(fd, TCOFLUSH) != 0) {
    note_port_failure(fault, "discard output");
  }
}

bool write_all(int fd, const void* bytes, std::size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0 && !deadline_passed()) {
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
  return count == 0;
}

bool note_port_failure(PortFault& fault, const char* step) {
  if (fault.reason == nullptr) {
    const bool stalled = deadline_passed();
    fault.step = stalled ? kStalledStep : step;
    fault.reason = stalled ? kStalledReason : std::strerror(errno);
  }
  return false;
}

bool drain_display_port(int fd, PortFault& fault) {
  // write() returns once the bytes are queued; a UART may still hold most of
  // the frame. Without this wait the restore that follows would send the rest
  // at the old speed and parity.
  while (!deadline_passed()) {
    if (tcdrain(fd) == 0) {
      return true;
    }
    if (errno != EINTR) {
      break;
    }
  }
  return note_port_failure(fault, "drain");
}

void restore_port_settings(int fd, const SavedSettings& saved, PortFault& fault) {
  // A record that tcgetattr did not fill would hang up the line (speed 0) or
  // worse; leaving the display settings in force is the lesser harm.
  if (!saved.valid || tcsetattr(fd, TCSANOW, &saved.settings) == 0) {
    return;
  }
  if (errno == EIO && restore_through_fresh_descriptor(fd, saved.settings)) {
    note_hangup(fault);
    return;
  }
  note_port_failure(fault, "restore settings");
}
