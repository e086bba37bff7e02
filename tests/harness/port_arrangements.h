#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "private_port.h"

/// What stands at the device's lock file before the run, in a /run/dualrow of
/// the test's own (made as the packages make it; never the machine's).
enum class LockFile { kNone, kHeld, kFifo };

/// What the tests arrange around a run on a private port, beyond what the
/// preview needs: the port's state before the command starts, who runs it,
/// and what happens to it while it runs.
struct Arrangements {
  std::string pending_input;        // bytes received by the port before the run
  std::optional<mode_t> port_mode;  // chmod of the port node
  std::optional<uid_t> run_as;      // uid (and gid) to drop to; needs root
  bool hold_output = false;         // the port's output is full and not read until the command ends
  bool lock_port = false;           // an exclusive flock on the port is held throughout
  LockFile lock_file = LockFile::kNone;  // kHeld: as a run through another node holds it
  int signal = 0;                        // sent to the command once `signal_after` has passed
  std::chrono::milliseconds signal_after{0};
};

/// Settings unlike anything dualrow sets at a rate no B-constant names (BOTHER),
/// as a MIDI (31250) or DMX (250000) program leaves a port.
inline LineSettings at_custom_rate(std::uint32_t bits_per_second) {
  LineSettings t = unusual_settings();
  t.c_cflag = (t.c_cflag & ~static_cast<std::uint32_t>(CBAUD)) | CBAUDEX;  // the kernel's BOTHER
  t.c_ispeed = t.c_ospeed = bits_per_second;
  return t;
}

/// `run_on_private_port(options)` with the arrangements made; the wire holds
/// only what the command sent.
PortRun run_arranged(PortOptions options, const Arrangements& arrangements);
