// dualrow: shows up to two lines of text on the 2x16 display on /dev/ttyS0.
// One run is one update: open, configure, send, drain, restore, exit.

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "display/display_frame.h"
#include "display/serial_port.h"
#include "stop_signals.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitWriteFailed = 1;
constexpr int kExitCannotOpen = 255;  // what exit(-1) gives; scripts test for it
constexpr char kUsage[] = "Usage: dualrow <line 1> <line 2>";

bool send_line(int fd, const char* text, LineTerminator terminator) {
  // Built, sent and dropped before the next line is built.
  const DisplayLine line = format_display_line(text, terminator);
  return write_all(fd, line.bytes.data(), line.length);
}

// The lead-in, then line 1 and line 2 when given; further arguments are
// ignored. Stops at the first failed write, with errno set.
bool send_frame(int fd, int argc, char** argv) {
  if (!write_all(fd, kLeadIn.data(), kLeadIn.size())) {
    return false;
  }
  if (argc >= 2 && !send_line(fd, argv[1], LineTerminator::kNewline)) {
    return false;
  }
  return argc < 3 || send_line(fd, argv[2], LineTerminator::kNone);
}

[[noreturn]] void fail(int error, int status) {
  errno = error;
  std::perror(kDevicePath);
  std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  const int fd = open_display_port();
  if (fd < 0) {
    fail(errno, kExitCannotOpen);
  }

  const sigset_t outside_run = hold_stop_signals();
  const SavedSettings saved = configure_display_port(fd);

  const bool sent = send_frame(fd, argc, argv);
  const int send_error = errno;
  if (argc < 2) {
    std::puts(kUsage);
  }

  drain_display_port(fd);
  restore_port_settings(fd, saved);
  release_stop_signals(outside_run);

  if (!sent) {
    fail(send_error, kExitWriteFailed);
  }
  std::exit(kExitSuccess);
}
