// dualrow: shows up to two lines of text on the 2x16 display on /dev/ttyS0.
// One run is one update: open and lock the port, configure and confirm,
// send, drain, restore, close, say what went wrong, exit.

#include <cerrno>
#include <cstdlib>

#include "deadline.h"
#include "display/display_frame.h"
#include "display/port_output.h"
#include "display/serial_port.h"
#include "messages.h"
#include "stop_signals.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitPortFault = 1;
constexpr int kExitCannotOpen = 255;  // what exit(-1) gives; scripts test for it

bool send_line(int fd, const char* text, LineTerminator terminator, const Deadline& deadline,
               PortFault& fault) {
  // Built, sent and dropped before the next line is built.
  const DisplayLine line = format_display_line(text, terminator);
  return write_to_port(fd, line.bytes.data(), line.length, deadline, fault);
}

// The lead-in, then line 1 and line 2 when given; further arguments are
// ignored. Stops at the first failed write.
void send_frame(int fd, int argc, char** argv, const Deadline& deadline, PortFault& fault) {
  bool sent = write_to_port(fd, kLeadIn.data(), kLeadIn.size(), deadline, fault);
  if (sent && argc >= 2) {
    sent = send_line(fd, argv[1], LineTerminator::kNewline, deadline, fault);
  }
  if (sent && argc >= 3) {
    send_line(fd, argv[2], LineTerminator::kNone, deadline, fault);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int fd = -1;
  PortFault fault;
  if (!open_display_port(fd, fault)) {
    report_port_fault(fault);
    std::exit(kExitCannotOpen);
  }

  sigset_t old_mask{};
  const bool blocked = block_signals(old_mask);
  if (!blocked) {
    note_step_failed(fault, "hold signals", errno);  // a signal could strand display mode
  }
  SavedSettings saved;
  Deadline deadline;
  if (blocked && configure_display_port(fd, saved, fault) &&
      start_output_deadline(deadline, fault)) {
    send_frame(fd, argc, argv, deadline, fault);
    drain_display_port(fd, deadline, fault);
    clear_deadline(deadline);
  }
  restore_port_settings(fd, kDevicePath, saved, fault);
  // Closing releases the lock before anything is printed: a stopped terminal
  // on standard output must not keep other runs from the port.
  close_port(fd);
  if (blocked) {
    restore_signal_mask(old_mask);
  }

  if (argc < 2) {
    print_usage();
  }
  if (port_failed(fault)) {
    report_port_fault(fault);
    std::exit(kExitPortFault);
  }
  std::exit(kExitSuccess);
}
