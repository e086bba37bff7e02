// dualrow: shows up to two lines of text on the 2x16 display on /dev/ttyS0.
// One run is one update: open, configure, send, drain, restore, close, exit.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "display/display_frame.h"
#include "display/serial_port.h"
#include "stop_signals.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitPortFault = 1;
constexpr int kExitCannotOpen = 255;  // what exit(-1) gives; scripts test for it
constexpr char kUsage[] = "Usage: dualrow <line 1> <line 2>";
constexpr char kBusy[] = "busy: another process has held the port for 10 s";
static_assert(kLockWaitMs == 10'000, "kBusy names the wait");
constexpr char kWriteStep[] = "";  // a failed write is reported by its error alone

bool send_line(int fd, const char* text, LineTerminator terminator) {
  // Built, sent and dropped before the next line is built.
  const DisplayLine line = format_display_line(text, terminator);
  return write_all(fd, line.bytes.data(), line.length);
}

// The lead-in, then line 1 and line 2 when given; further arguments are
// ignored. Stops at the first failed write.
bool send_frame(int fd, int argc, char** argv, PortFault& fault) {
  const bool sent = write_all(fd, kLeadIn.data(), kLeadIn.size()) &&
                    (argc < 2 || send_line(fd, argv[1], LineTerminator::kNewline)) &&
                    (argc < 3 || send_line(fd, argv[2], LineTerminator::kNone));
  return sent || note_port_failure(fault, kWriteStep);
}

[[noreturn]] void fail_to_open(int error) {
  if (error == EWOULDBLOCK) {
    (void)std::fprintf(stderr, "%s: %s\n", kDevicePath, kBusy);
  } else {
    errno = error;
    std::perror(kDevicePath);
  }
  std::exit(kExitCannotOpen);
}

[[noreturn]] void finish(const PortFault& fault) {
  if (fault.reason == nullptr) {
    std::exit(kExitSuccess);
  }
  const bool named = *fault.step != '\0';
  // Nothing is left to do if standard error is gone: the status still tells.
  (void)std::fprintf(stderr, "%s: %s%s%s\n", kDevicePath, fault.step, named ? ": " : "",
                     fault.reason);
  std::exit(kExitPortFault);
}

}  // namespace

int main(int argc, char** argv) {
  const int fd = open_display_port();
  if (fd < 0) {
    fail_to_open(errno);
  }

  const sigset_t outside_run = hold_stop_signals();
  PortFault fault;
  const SavedSettings saved = configure_display_port(fd, fault);
  if (start_output_bound(fault)) {
    send_frame(fd, argc, argv, fault);
    drain_display_port(fd, fault);
    end_output_bound(fd, fault);
  }
  restore_port_settings(fd, saved, fault);
  // Closing releases the lock before anything is printed: a stopped terminal
  // on standard output must not keep other runs from the port.
  close(fd);
  release_stop_signals(outside_run);

  if (argc < 2) {
    std::puts(kUsage);
  }
  finish(fault);
}
