#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "display/line_settings.h"

/// A command run with a private /dev/ttyS0: the slave of a fresh pseudo-terminal
/// bound over it in a private mount namespace, on a tmpfs /dev that holds only
/// it and a few harmless nodes of the machine's (null, zero, full, random,
/// urandom, tty) with the fd links. The machine's own /dev/ttyS0 is never
/// opened: when the namespace cannot be made, or /dev/ttyS0 inside it is not the
/// pseudo-terminal, the command is not started and the reason is given.

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
void close_pty(Pty& pty);

/// In a new user namespace: maps `uid` and `gid`, the ids this process had
/// before it entered the namespace (inside it they read as the overflow id),
/// to `inside_uid` and `inside_gid` (themselves, or root), after denying
/// setgroups, as the kernel asks of the unprivileged.
bool map_ids(uid_t inside_uid, uid_t uid, gid_t inside_gid, gid_t gid);

/// True in the machine's own user namespace (every id mapped onto itself), and
/// when the map cannot be read. A mount namespace made outside it took the
/// machine's shared mounts as slaves: nothing mounted there propagates back.
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

/// What a run may be given besides the command. The preview gives nothing; the
/// tests arrange the port, the command's tree and streams, and its end.
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

/// Runs `command` (command[0] through PATH) on a private port: a private mount
/// namespace (and a user namespace, unless root) whose /dev holds a fresh
/// pseudo-terminal's slave as ttyS0, checked before the command starts. In a
/// chroot, where "/" is no mount point, /dev must be a mount of its own, unless
/// this is not the machine's user namespace. `watch` is called with each piece
/// of the wire as it arrives, and with an empty piece whenever the display end
/// has been quiet for a poll (25 ms). It runs until the command has ended and
/// the display end is quiet, or `hooks.tick` stops it.
CommandRun run_on_private_port(const std::vector<std::string>& command,
                               const std::function<void(std::string_view)>& watch,
                               const RunHooks& hooks = {});

// The status of a command that could not be started, as env(1) gives them:
inline constexpr int kSetupFailed = 125;    // no private port could be made
inline constexpr int kCannotExecute = 126;  // exec failed
inline constexpr int kNotFound = 127;       // no such command
inline constexpr int kPortPollMs = 25;      // milliseconds between looks at a quiet port
