#include "private_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "write_all.h"

namespace {

constexpr int kPortPollMs = 25;  // milliseconds between looks at a quiet port

// Nodes of the machine's /dev that a command may use besides the port.
constexpr const char* kSharedNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
constexpr const char* kFdLinks[][2] = {{"/dev/fd", "/proc/self/fd"},
                                       {"/dev/stdin", "/proc/self/fd/0"},
                                       {"/dev/stdout", "/proc/self/fd/1"},
                                       {"/dev/stderr", "/proc/self/fd/2"}};

std::string describe(const std::string& what) { return what + ": " + std::strerror(errno); }

void write_text(int fd, std::string_view text) {
  (void)write_all(fd, text.data(), text.size(), nullptr);  // a lost report leaves the status
}

bool write_file(const char* path, std::string_view text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const ssize_t n = write(fd, text.data(), text.size());
  close(fd);
  return n == static_cast<ssize_t>(text.size());
}

}  // namespace

bool open_pty(Pty& pty, std::string& error) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
    error = describe("posix_openpt");
    return false;
  }
  const char* slave_path = ptsname(pty.master);
  if (slave_path == nullptr) {
    error = describe("ptsname");
    return false;
  }
  pty.slave_path = slave_path;
  pty.slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  struct stat slave {};
  if (pty.slave < 0 || fstat(pty.slave, &slave) != 0) {
    error = describe("open the pseudo-terminal slave");
    return false;
  }
  pty.device = slave.st_rdev;
  termios raw{};
  tcgetattr(pty.master, &raw);
  cfmakeraw(&raw);
  tcsetattr(pty.master, TCSANOW, &raw);  // the display end takes bytes as they come
  return true;
}

void close_pty(Pty& pty) {
  for (int* end : {&pty.slave, &pty.master}) {
    if (*end >= 0) {
      close(*end);
    }
    *end = -1;
  }
}

bool map_ids(uid_t inside_uid, uid_t uid, gid_t inside_gid, gid_t gid) {
  const std::string uid_map = std::to_string(inside_uid) + " " + std::to_string(uid) + " 1\n";
  const std::string gid_map = std::to_string(inside_gid) + " " + std::to_string(gid) + " 1\n";
  return write_file("/proc/self/uid_map", uid_map) && write_file("/proc/self/setgroups", "deny") &&
         write_file("/proc/self/gid_map", gid_map);
}

bool in_the_machines_user_namespace() {
  char map[128] = {};
  const int fd = open("/proc/self/uid_map", O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return true;
  }
  const ssize_t n = read(fd, map, sizeof map - 1);
  close(fd);
  unsigned long inside = 1;
  unsigned long outside = 1;
  unsigned long count = 0;
  int used = 0;
  return n <= 0 || (std::sscanf(map, "%lu %lu %lu\n%n", &inside, &outside, &count, &used) == 3 &&
                    inside == 0 && outside == 0 && count == 4294967295UL && map[used] == '\0');
}

// ---- The command's steps, between fork and exec ----------------------------
// Each reports a failure on `report` and returns false; only then may the
// process go on, and only to _exit.

namespace {

bool read_some(int fd, std::string& sink) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    sink.append(buffer, static_cast<std::size_t>(n));
  }
  return n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN));
}

bool fail(int report, const char* what) {
  write_text(report, describe(what));
  return false;
}

bool enter_namespace(int report) {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (uid == 0) {
    if (unshare(CLONE_NEWNS) != 0) {
      return fail(report, "unshare(CLONE_NEWNS)");
    }
  } else {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      return fail(report, "unshare(CLONE_NEWUSER|CLONE_NEWNS)");
    }
    if (!map_ids(uid, uid, gid, gid)) {
      return fail(report, "map the user and group ids");
    }
  }
  // Nothing done here may reach the machine's mount table. In a chroot "/"
  // is no mount point (EINVAL); only /dev gets anything mounted on it, so
  // /dev's own mount is what must be private there. Where /dev is no mount
  // point either (sbuild's chroot), the mount that holds it cannot be named;
  // it is safe only in a user namespace of its own, whose mount namespaces
  // took every shared mount of the machine's as a slave (mount_namespaces(7)).
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) {
    return true;
  }
  if (errno != EINVAL) {
    return fail(report, "make / private");
  }
  if (mount(nullptr, "/dev", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ||
      (errno == EINVAL && !in_the_machines_user_namespace())) {
    return true;
  }
  return fail(report, "make / or /dev private");
}

// Binds the node held by `node` (an O_PATH descriptor) onto `target` in the
// private /dev: once /dev is covered, the machine's nodes have no name.
bool bind_node(int node, const std::string& target, int report) {
  const std::string held = "/proc/self/fd/" + std::to_string(node);
  const int made = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  return (made >= 0 && close(made) == 0 &&
          mount(held.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0) ||
         fail(report, ("bind " + target).c_str());
}

bool build_private_dev(const Pty& pty, bool with_port, int report) {
  int shared[std::size(kSharedNodes)] = {};  // a machine may lack some of them
  for (std::size_t i = 0; i < std::size(kSharedNodes); ++i) {
    const std::string node = std::string("/dev/") + kSharedNodes[i];
    shared[i] = open(node.c_str(), O_PATH | O_CLOEXEC);
  }
  const int port = open(pty.slave_path.c_str(), O_PATH | O_CLOEXEC);
  if (port < 0) {
    return fail(report, ("hold " + pty.slave_path).c_str());
  }
  if (mount("dualrow-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=64k") != 0) {
    return fail(report, "mount tmpfs on /dev");
  }
  for (std::size_t i = 0; i < std::size(kSharedNodes); ++i) {
    const std::string node = std::string("/dev/") + kSharedNodes[i];
    if (shared[i] >= 0 && !bind_node(shared[i], node, report)) {
      return false;
    }
  }
  for (const auto& [link, target] : kFdLinks) {
    if (symlink(target, link) != 0) {
      return fail(report, "link /dev/fd");
    }
  }
  // The descriptors go with the exec (O_CLOEXEC).
  return !with_port || bind_node(port, "/dev/ttyS0", report);
}

// The last word: /dev/ttyS0 is our pseudo-terminal, or absent.
bool port_is_private(const Pty& pty, bool with_port, int report) {
  struct stat port {};
  const bool present = stat("/dev/ttyS0", &port) == 0;
  const bool ours = present && S_ISCHR(port.st_mode) && port.st_rdev == pty.device;
  if (with_port ? ours : !present) {
    return true;
  }
  write_text(report, "/dev/ttyS0 in the namespace is not the private port");
  return false;
}

bool enter_private_port(const Pty& pty, bool with_port, int report) {
  return enter_namespace(report) && build_private_dev(pty, with_port, report) &&
         port_is_private(pty, with_port, report);
}

// Last in the command's process: default signal handling and nothing
// blocked, as from a shell, then exec of argv[0] through PATH. Writes why to
// `report` and exits kNotFound or kCannotExecute when the exec fails.
[[noreturn]] void exec_command(char* const argv[], int report) {
  for (const int number : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGHUP}) {
    (void)signal(number, SIG_DFL);
  }
  sigset_t none{};
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // It goes when whoever runs it goes. Set last: a change of user clears it.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  execvp(argv[0], argv);
  const int error = errno;
  write_text(report, describe(std::string("exec ") + argv[0]));
  _exit(error == ENOENT ? kNotFound : kCannotExecute);
}

// The command's process, from fork to exec.
[[noreturn]] void start_command(const Pty& pty, char* const argv[], const RunHooks& hooks,
                                int report) {
  const int streams[3] = {hooks.stdin_fd, hooks.stdout_fd, hooks.stderr_fd};
  for (int number = 0; number < 3; ++number) {
    if (streams[number] >= 0) {
      dup2(streams[number], number);
    }
  }
  if (enter_private_port(pty, hooks.with_port, report) &&
      (!hooks.before_exec || hooks.before_exec(report))) {
    exec_command(argv, report);
  }
  _exit(kSetupFailed);
}

using Clock = std::chrono::steady_clock;

// Reads the display end and the command's report until the command has ended
// and the display end has been quiet for a while (bytes written to the slave
// reach the master through deferred kernel work), or until `hooks.tick` says
// to stop.
std::string follow(pid_t child, const Pty& pty, int report_fd,
                   const std::function<void(std::string_view)>& watch, const RunHooks& hooks,
                   CommandRun& run) {
  std::string report;
  bool report_open = true;
  bool ended = false;
  const auto started = Clock::now();
  for (int quiet_polls = 0; !ended || quiet_polls < 2;) {
    pollfd fds[2] = {{pty.master, POLLIN, 0}, {report_open ? report_fd : -1, POLLIN, 0}};
    const int ready = poll(fds, 2, kPortPollMs);
    const bool port_spoke = ready > 0 && (fds[0].revents & POLLIN) != 0;
    if (port_spoke) {
      const std::size_t had = run.wire.size();
      read_some(pty.master, run.wire);
      watch(std::string_view(run.wire).substr(had));
    } else if (ready == 0) {
      watch({});
    }
    if (ready > 0 && fds[1].revents != 0) {
      report_open = read_some(report_fd, report);
    }
    quiet_polls = port_spoke || !ended ? 0 : quiet_polls + 1;
    const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    if (!ended && waitpid(child, &run.wait_status, WNOHANG) == child) {
      ended = true;
      run.elapsed = ran;
    }
    if (hooks.tick && !hooks.tick(ended ? 0 : child, ran)) {
      if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &run.wait_status, 0);
      }
      break;
    }
  }
  while (report_open) {
    report_open = read_some(report_fd, report);
  }
  return report;
}

}  // namespace

int exit_code(int wait_status) { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

CommandRun run_on_private_port(const std::vector<std::string>& command,
                               const std::function<void(std::string_view)>& watch,
                               const RunHooks& hooks) {
  CommandRun run;
  Pty pty;
  int report[2] = {-1, -1};  // the command's process's word on why it could not start
  if (open_pty(pty, run.setup_error) && pipe2(report, O_CLOEXEC) != 0) {
    run.setup_error = describe("pipe2");
  }
  if (run.setup_error.empty()) {
    if (hooks.arrange_port) {
      hooks.arrange_port(pty);
    }
    read_line_settings(pty.slave, run.before);
    std::vector<std::string> strings = command;
    std::vector<char*> argv(strings.size() + 1, nullptr);  // ends with the null exec wants
    std::transform(strings.begin(), strings.end(), argv.begin(),
                   [](std::string& s) { return s.data(); });
    const pid_t child = fork();
    if (child == 0) {
      start_command(pty, argv.data(), hooks, report[1]);
    }
    close(report[1]);
    report[1] = -1;
    if (child < 0) {
      run.setup_error = describe("fork");
    } else {
      const std::string said = follow(child, pty, report[0], watch, hooks, run);
      const int status = exit_code(run.wait_status);  // a command's own comes with no report
      if (status == kSetupFailed || status == kCannotExecute || status == kNotFound) {
        run.setup_error = said;
      }
    }
    read_line_settings(pty.slave, run.after);
    if (hooks.after) {
      hooks.after(pty);
    }
  }
  for (const int end : report) {
    if (end >= 0) {
      close(end);
    }
  }
  close_pty(pty);
  return run;
}
