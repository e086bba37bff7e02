#include "display/port_output.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "write_all.h"

bool start_output_deadline(Deadline& deadline, PortFault& fault) {
  return set_deadline(deadline, kOutputDeadlineMs) ||
         note_step_failed(fault, "bound the output", errno);
}

bool write_to_port(int fd, const void* bytes, std::size_t count, const Deadline& deadline,
                   PortFault& fault) {
  const int error = write_all(fd, bytes, count, &deadline);
  if (error == ETIMEDOUT) {
    return note_stalled(fault);
  }
  return error == 0 || note_step_failed(fault, nullptr, error);
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
