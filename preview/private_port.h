#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "display/line_settings.h"

/// A command run with a private /dev/ttyS0: a fresh pseudo-terminal's slave on
/// a tmpfs /dev of a private mount namespace, beside null, zero, full, random,
/// urandom, tty and the fd links. The machine's /dev/ttyS0 is never opened: when
/// the namespace cannot be made, the command does not start and the reason is given.

/// The master in raw mode; the slave non-blocking, this process's own
/// description (its flock is not a command's).
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slave_path;
  dev_t device = 0;
};

/// Opens `pty`; false, with `error` saying why, when it cannot.
bool open_pty(Pty& pty, std::string& error);
void close_pty(Pty& pty);

/// In a new user namespace: maps the ids this process had before it, `uid` and
/// `gid`, to `inside_uid` and `inside_gid`, denying setgroups first.
bool map_ids(uid_t inside_uid, uid_t uid, gid_t inside_gid, gid_t gid);

/// True in the machine's own user namespace (every id mapped onto itself), or
/// when the map cannot be read. Outside it, nothing mounted reaches the machine.
bool in_the_machines_user_namespace();

/// The exit status, or -1 when the process did not exit normally.
int exit_code(int wait_status);

/// How a run went as the display end saw it.
struct CommandRun {
  std::string setup_error;               // why the command did not start; empty when it ran
  std::string wire;                      // bytes that arrived at the display end of the port
  int wait_status = -1;                  // as waitpid reports it
  std::chrono::milliseconds elapsed{0};  // from the start to the command's end
  LineSettings before{};                 // the port's settings just before the run
  LineSettings after{};                  // and just after it
};

/// What the tests give a run besides the command; the preview gives nothing.
struct RunHooks {
  bool with_port = true;  // false: the namespace holds no /dev/ttyS0
  int stdin_fd = -1;      // the command's standard streams; -1: this process's
  int stdout_fd = -1;
  int stderr_fd = -1;
  std::function<void(const Pty&)> arrange_port;  // before the command starts
  /// In the command's process, in its namespace, just before exec; false, with
  /// the reason written to the descriptor given, keeps the command from starting.
  std::function<bool(int report)> before_exec;
  /// After each look at the port, with the command's pid (0 once it has ended)
  /// and the time since it started; false stops the run (SIGKILL if need be).
  std::function<bool(pid_t command, std::chrono::milliseconds ran)> tick;
  std::function<void(const Pty&)> after;  // once it has ended, the port still open
};

/// Runs `command` (command[0] through PATH) on a private port, in a user
/// namespace too unless root. `watch` gets each piece of the wire as it arrives,
/// and an empty piece after each quiet poll (25 ms). Runs until the command has
/// ended and the display end is quiet, or `hooks.tick` stops it.
CommandRun run_on_private_port(const std::vector<std::string>& command,
                               const std::function<void(std::string_view)>& watch,
                               const RunHooks& hooks = {});

// The status of a command that could not be started, as env(1) gives them:
inline constexpr int kSetupFailed = 125;    // no private port could be made
inline constexpr int kCannotExecute = 126;  // exec failed
inline constexpr int kNotFound = 127;       // no such command
