#include "display/port_output.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

bool start_output_deadline(Deadline& deadline, PortFault& fault) {
  return set_deadline(deadline, kOutputDeadlineMs) ||
         note_step_failed(fault, "bound the output", errno);
}

bool write_all(int fd, const void* bytes, std::size_t count, const Deadline& deadline,
               PortFault& fault) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    if (deadline_passed(deadline)) {
      return note_stalled(fault);
    }
    const ssize_t written = write(fd, next, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      // A port that takes nothing would loop forever.
      return note_step_failed(fault, nullptr, written == 0 ? EIO : errno);
    }
    next += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool drain_display_port(int fd, const Deadline& deadline, PortFault& fault) {
  // write() returns once the bytes are queued; a UART may still hold most of
  // the frame. Without this wait the restore that follows would send the rest
  // at the old speed and parity.
  for (;;) {
    if (deadline_passed(deadline)) {
      note_stalled(fault);
      break;
    }
    if (tcdrain(fd) == 0) {
      return true;
    }
    if (errno != EINTR) {
      note_step_failed(fault, "drain", errno);
      break;
    }
  }
  // Queued bytes would leave under the settings put back next, and the last
  // close would wait for them up to the port's closing_wait (30 s by default).
  if (tcflush(fd, TCOFLUSH) != 0) {
    note_step_failed(fault, "discard output", errno);
  }
  return false;
}
