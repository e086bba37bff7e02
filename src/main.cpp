// dualrow: shows up to two lines of text on the 2x16 display on /dev/ttyS0.
// One run is one update: open, configure and confirm, send, drain, restore,
// close, exit.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "deadline.h"
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
constexpr char kCannotLock[] = "cannot take the port's turn at";
constexpr char kOddLock[] = "it is not a plain file";

bool send_line(int fd, const char* text, LineTerminator terminator, const Deadline& bound) {
  // Built, sent and dropped before the next line is built.
  const DisplayLine line = format_display_line(text, terminator);
  return write_all(fd, line.bytes.data(), line.length, bound);
}

// The lead-in, then line 1 and line 2 when given; further arguments are
// ignored. Stops at the first failed write, which is reported by its error
// alone.
void send_frame(int fd, int argc, char** argv, const Deadline& bound, PortFault& fault) {
  bool sent = write_all(fd, kLeadIn.data(), kLeadIn.size(), bound);
  if (sent && argc >= 2) {
    sent = send_line(fd, argv[1], LineTerminator::kNewline, bound);
  }
  if (sent && argc >= 3) {
    sent = send_line(fd, argv[2], LineTerminator::kNone, bound);
  }
  if (!sent && errno == ETIMEDOUT) {
    note_output_stalled(fault);
  } else if (!sent) {
    note_port_failure(fault, nullptr);
  }
}

[[noreturn]] void fail_to_open(int result, int error, const OpenPort& port) {
  if (result == kPortBusy) {
    (void)std::fprintf(stderr, "%s: %s\n", kDevicePath, kBusy);
  } else if (result == kDeviceLockFailed || result == kDeviceLockOdd) {
    // Only the port's users can put anything there: said, never passed over.
    (void)std::fprintf(stderr, "%s: %s %s: %s\n", kDevicePath, kCannotLock, port.lock.path,
                       result == kDeviceLockOdd ? kOddLock : std::strerror(error));
  } else {
    errno = error;
    std::perror(kDevicePath);
  }
  std::exit(kExitCannotOpen);
}

[[noreturn]] void finish(const PortFault& fault) {
  if (!port_failed(fault)) {
    std::exit(kExitSuccess);
  }
  // Nothing is left to do if standard error is gone: the status still tells.
  if (fault.step == nullptr) {
    (void)std::fprintf(stderr, "%s: %s\n", kDevicePath, fault.reason.data());
  } else {
    (void)std::fprintf(stderr, "%s: %s: %s\n", kDevicePath, fault.step, fault.reason.data());
  }
  std::exit(kExitPortFault);
}

}  // namespace

int main(int argc, char** argv) {
  OpenPort port;
  const int opened = open_display_port(port);
  if (opened != 0) {
    fail_to_open(opened, errno, port);
  }
  const int fd = port.fd;

  PortFault fault;
  sigset_t outside{};
  const bool held = hold_all_signals(outside);
  if (!held) {
    note_port_failure(fault, "hold signals");  // unheld, a signal could strand display mode
  }
  SavedSettings saved;
  Deadline bound;
  if (held && configure_display_port(fd, saved, fault) && start_output_bound(bound, fault)) {
    send_frame(fd, argc, argv, bound, fault);
    drain_display_port(fd, bound, fault);
    clear_deadline(bound);
  }
  restore_port_settings(fd, kDevicePath, saved, fault);
  // Closing releases the locks before anything is printed: a stopped terminal
  // on standard output must not keep other runs from the port.
  close_port(port);
  if (held) {
    release_held_signals(outside);
  }

  if (argc < 2) {
    std::puts(kUsage);
  }
  finish(fault);
}
