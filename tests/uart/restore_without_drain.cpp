// Test-only: dualrow's run with the drain left out, for showing that the UART
// system test catches a restore that overtakes the frame. Never installed.

#include <cstdlib>

#include "display/display_frame.h"
#include "display/port_output.h"
#include "display/serial_port.h"

int main(int argc, char** argv) {
  int fd = -1;
  PortFault fault;
  if (!open_display_port(fd, fault) || argc < 3) {
    return EXIT_FAILURE;
  }
  SavedSettings saved;
  Deadline deadline;
  if (!configure_display_port(fd, saved, fault) || !start_output_deadline(deadline, fault)) {
    return EXIT_FAILURE;
  }
  const DisplayLine line1 = format_display_line(argv[1], LineTerminator::kNewline);
  const DisplayLine line2 = format_display_line(argv[2], LineTerminator::kNone);
  const bool sent = write_to_port(fd, kLeadIn.data(), kLeadIn.size(), deadline, fault) &&
                    write_to_port(fd, line1.bytes.data(), line1.length, deadline, fault) &&
                    write_to_port(fd, line2.bytes.data(), line2.length, deadline, fault);
  clear_deadline(deadline);
  restore_port_settings(fd, kDevicePath, saved, fault);  // at once, with the frame still queued
  return sent ? EXIT_SUCCESS : EXIT_FAILURE;
}
