#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "private_port.h"

/// Settings unlike anything dualrow sets, for checking that it puts them back:
/// canonical, echoing, with output processing, at 115200 baud.
LineSettings unusual_settings();

/// The same at a rate no B-constant names (BOTHER), as a MIDI (31250) or DMX
/// (250000) program leaves a port.
inline LineSettings at_custom_rate(std::uint32_t bits_per_second) {
  LineSettings t = unusual_settings();
  t.c_cflag = (t.c_cflag & ~static_cast<std::uint32_t>(CBAUD)) | CBAUDEX;  // the kernel's BOTHER
  t.c_ispeed = t.c_ospeed = bits_per_second;
  return t;
}

/// What the command's mount namespace holds besides the private port.
enum class Tree {
  kAsItIs,
  kReadOnly,  // every mount read-only, as in a unit with ProtectSystem=strict
  kPlanted,   // a /run of its own with a FIFO at every name a lock file could have
};

/// A test's run on a private port: the command, and the port's state before it
/// starts and while it runs.
struct PortOptions {
  std::vector<std::string> command;      // argv; command[0] is run through PATH
  std::vector<std::string> environment;  // NAME=VALUE entries put over this process's
  std::optional<LineSettings> prior = unusual_settings();        // put on the port before the run
  bool create_port = true;                                       // false: no /dev/ttyS0
  std::chrono::milliseconds timeout = std::chrono::seconds(20);  // then the command is killed
  std::string pending_input;  // bytes received by the port before the run
  bool hold_output = false;   // the port's output is stopped (TCOOFF) throughout
  bool lock_port = false;     // an exclusive flock on the port is held throughout
  Tree tree = Tree::kAsItIs;
  int signal = 0;  // sent to the command once `signal_after` has passed
  std::chrono::milliseconds signal_after{0};
};

/// The run as the display end saw it, and what only the tests look at.
struct PortRun : CommandRun {
  std::string out;  // the command's standard output
  std::string err;  // and its standard error
  bool timed_out = false;
  int pending_input_before = -1;  // bytes in the port's input queue before the run
  int pending_input_after = -1;   // and left unread after it
};

PortRun run_arranged(const PortOptions& options);

/// The exit status, or -1 when the process did not exit normally.
int exit_code(const PortRun& run);

/// The terminating signal, or 0 when the process was not killed by one.
int killed_by(const PortRun& run);

/// Why a private port cannot be made here, or empty when it can.
std::string private_port_unavailable();
