#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "display/line_settings.h"

/// Runs a command with a private /dev/ttyS0: the slave of a fresh pseudo-terminal
/// bound over it in a private mount namespace, on a tmpfs /dev that holds only
/// it and a few harmless nodes of the machine's (null, zero, full, random,
/// urandom, tty) with the fd links. The machine's own /dev/ttyS0 is never
/// opened: when the namespace cannot be made, or /dev/ttyS0 inside it is not the
/// pseudo-terminal, the command is not started and `setup_error` says why.

struct Pty;

struct PortOptions {
  std::vector<std::string> command;      // argv; command[0] is run through PATH
  std::optional<LineSettings> prior;     // settings put on the port before the run
  std::vector<std::string> environment;  // NAME=VALUE entries added to the environment
  bool create_port = true;               // false: /dev/ttyS0 does not exist
  bool capture_output = true;  // false: the command shares this process's stdin, stdout, stderr
  // The command is killed after this; none: it runs until it ends.
  std::optional<std::chrono::milliseconds> timeout = std::chrono::seconds(20);
  // Called with each piece of the wire as it arrives, and with an empty piece
  // whenever the display end has been quiet for a poll (25 ms).
  std::function<void(std::string_view)> watch;

  // Where a caller arranges more around the run (the tests do):
  // in this process, once the port is made and before the command starts;
  std::function<void(const Pty&)> arrange;
  // in the command's process, inside its namespace, last before exec; false,
  // with errno set, stops the command from starting (status 125);
  std::function<bool()> before_exec;
  // at every poll while the command runs, with its pid and the time it has run;
  std::function<void(pid_t, std::chrono::milliseconds)> tend;
  // at every poll: whether to read the display end now (by default, always).
  std::function<bool(bool command_ended)> read_port;
};

struct PortRun {
  // Why the command did not start: the private port could not be made (status
  // 125), or exec failed (126, 127 when not found); empty when it ran.
  std::string setup_error;
  std::string wire;      // bytes that arrived at the display end of the port
  std::string out;       // the command's standard output, when captured
  std::string err;       // the command's standard error, when captured
  int wait_status = -1;  // as waitpid reports it
  bool timed_out = false;
  std::chrono::milliseconds elapsed{0};  // from the start of the command to its end
  LineSettings before{};                 // the port's settings just before the run
  LineSettings after{};                  // and just after it
  int pending_input_before = -1;         // bytes in the port's input queue before the run
  int pending_input_after = -1;          // and left unread after it
};

/// A fresh pseudo-terminal: the master in raw mode, and the slave opened
/// non-blocking (this process's own description: its flock is not a command's).
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slave_path;
  dev_t device = 0;
};

/// Opens `pty`; false, with `error` saying why, when it cannot.
bool open_pty(Pty& pty, std::string& error);

/// In a new user namespace: maps `uid` and `gid`, the ids this process had
/// before it entered the namespace (inside it they read as the overflow id),
/// onto themselves, after denying setgroups, as the kernel asks of the
/// unprivileged.
bool map_own_ids(uid_t uid, gid_t gid);

/// Why a private port cannot be made here, or empty when it can.
std::string private_port_unavailable();

PortRun run_on_private_port(const PortOptions& options);

/// The exit status, or -1 when the process did not exit normally.
int exit_code(const PortRun& run);

/// The terminating signal, or 0 when the process was not killed by one.
int killed_by(const PortRun& run);

/// Settings unlike anything dualrow sets, for checking that it puts them back:
/// canonical, echoing, with output processing, at 115200 baud.
LineSettings unusual_settings();

// The status of a command that could not be started, as env(1) gives them:
inline constexpr int kSetupFailed = 125;    // no private port could be made
inline constexpr int kCannotExecute = 126;  // exec failed
inline constexpr int kNotFound = 127;       // no such command
