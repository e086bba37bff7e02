#include "private_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 25;  // milliseconds between looks at a quiet port

// Nodes of the machine's /dev that a command may use besides the port.
constexpr const char* kSharedNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
constexpr const char* kFdLinks[][2] = {{"/dev/fd", "/proc/self/fd"},
                                       {"/dev/stdin", "/proc/self/fd/0"},
                                       {"/dev/stdout", "/proc/self/fd/1"},
                                       {"/dev/stderr", "/proc/self/fd/2"}};

struct Pipes {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int report[2] = {-1, -1};  // the child's word on why it could not start the command
};

struct Argv {
  std::vector<std::string> strings;
  std::vector<char*> pointers;
  char** get() { return pointers.data(); }
};

std::string describe(const std::string& what) { return what + ": " + std::strerror(errno); }

void write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n <= 0) {
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
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

bool touch(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return false;
  }
  close(fd);
  return true;
}

void close_pair(int (&ends)[2]) {
  for (int& end : ends) {
    if (end >= 0) {
      close(end);
    }
    end = -1;
  }
}

Argv make_argv(std::vector<std::string> strings) {
  Argv argv{std::move(strings), {}};
  for (std::string& s : argv.strings) {
    argv.pointers.push_back(s.data());
  }
  argv.pointers.push_back(nullptr);
  return argv;
}

// This process's environment with the options' entries put over it.
Argv make_environment(const std::vector<std::string>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    entries.emplace_back(*entry);
  }
  for (const std::string& added : extra) {
    // An entry without '=' names a variable and replaces only that one.
    const std::string name = added.substr(0, added.find('=')) + "=";
    std::erase_if(entries, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    entries.push_back(added);
  }
  return make_argv(std::move(entries));
}

// ---- The parent's steps -----------------------------------------------------

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

bool map_own_ids(uid_t uid, gid_t gid) {
  const std::string uid_map = std::to_string(uid) + " " + std::to_string(uid) + " 1\n";
  const std::string gid_map = std::to_string(gid) + " " + std::to_string(gid) + " 1\n";
  return write_file("/proc/self/uid_map", uid_map) && write_file("/proc/self/setgroups", "deny") &&
         write_file("/proc/self/gid_map", gid_map);
}

namespace {

// Puts the port in the state the options ask for before the command starts.
void prepare_port(const Pty& pty, const PortOptions& options, PortRun& run) {
  if (options.arrange) {
    options.arrange(pty);
  }
  if (options.prior) {
    write_line_settings(pty.slave, *options.prior);
  }
  ioctl(pty.slave, FIONREAD, &run.pending_input_before);
  read_line_settings(pty.slave, run.before);
}

// A directory of empty files, each the mount point for a node until /dev is
// covered; afterwards the nodes are reachable by name no more.
bool make_scratch(std::string& scratch, std::string& error) {
  char scratch_template[] = "/tmp/dualrow-port.XXXXXX";
  if (mkdtemp(scratch_template) == nullptr) {
    error = describe("mkdtemp");
    return false;
  }
  scratch = scratch_template;
  bool made = touch(scratch + "/ttyS0");
  for (const char* node : kSharedNodes) {
    made = made && touch(scratch + "/" + node);
  }
  if (!made) {
    error = describe("create the scratch nodes");
  }
  return made;
}

void remove_scratch(const std::string& scratch) {
  if (scratch.empty()) {
    return;
  }
  unlink((scratch + "/ttyS0").c_str());
  for (const char* node : kSharedNodes) {
    unlink((scratch + "/" + node).c_str());
  }
  rmdir(scratch.c_str());
}

bool make_pipes(Pipes& pipes, bool capture_output, std::string& error) {
  const bool made =
      pipe2(pipes.report, O_CLOEXEC) == 0 &&
      (!capture_output || (pipe2(pipes.out, O_CLOEXEC) == 0 && pipe2(pipes.err, O_CLOEXEC) == 0));
  if (!made) {
    error = describe("pipe2");
  }
  return made;
}

// ---- The child's steps, between fork and exec ------------------------------
// Each reports a failure on `report` and returns false; only then may the
// child go on, and only to exec.

bool fail(int report, const char* what) {
  write_text(report, describe(what));
  return false;
}

void take_streams(const PortOptions& options, const Pipes& pipes) {
  if (!options.capture_output) {
    return;
  }
  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
  }
  dup2(pipes.out[1], STDOUT_FILENO);
  dup2(pipes.err[1], STDERR_FILENO);
}

// The command starts as from a shell: default signal handling, nothing held.
void reset_signals() {
  for (const int number : {SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGHUP}) {
    (void)signal(number, SIG_DFL);
  }
  sigset_t none{};
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
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
    if (!map_own_ids(uid, gid)) {
      return fail(report, "map the user and group ids");
    }
  }
  // Nothing done here may reach the machine's mount table.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return fail(report, "make / private");
  }
  return true;
}

// Binds `source` onto `placeholder` now, and moves it to `target` once the
// private /dev is up.
bool bind_node(const std::string& source, const std::string& placeholder, int report) {
  return mount(source.c_str(), placeholder.c_str(), nullptr, MS_BIND, nullptr) == 0 ||
         fail(report, ("bind " + source).c_str());
}

bool move_in(const std::string& placeholder, const std::string& target, int report) {
  return (touch(target) &&
          mount(placeholder.c_str(), target.c_str(), nullptr, MS_MOVE, nullptr) == 0) ||
         fail(report, ("move in " + target).c_str());
}

bool build_private_dev(const PortOptions& options, const Pty& pty, const std::string& scratch,
                       int report) {
  // Bound before /dev is covered: afterwards neither node is reachable by name.
  if (options.create_port && !bind_node(pty.slave_path, scratch + "/ttyS0", report)) {
    return false;
  }
  bool shared[std::size(kSharedNodes)] = {};  // a machine may lack some of them
  for (std::size_t i = 0; i < std::size(kSharedNodes); ++i) {
    const std::string node = std::string("/dev/") + kSharedNodes[i];
    shared[i] = access(node.c_str(), F_OK) == 0;
    if (shared[i] && !bind_node(node, scratch + "/" + kSharedNodes[i], report)) {
      return false;
    }
  }
  if (mount("dualrow-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=64k") != 0) {
    return fail(report, "mount tmpfs on /dev");
  }
  for (std::size_t i = 0; i < std::size(kSharedNodes); ++i) {
    const std::string node = std::string("/dev/") + kSharedNodes[i];
    if (shared[i] && !move_in(scratch + "/" + kSharedNodes[i], node, report)) {
      return false;
    }
  }
  for (const auto& [link, target] : kFdLinks) {
    if (symlink(target, link) != 0) {
      return fail(report, "link /dev/fd");
    }
  }
  if (!options.create_port) {
    return true;
  }
  return move_in(scratch + "/ttyS0", "/dev/ttyS0", report);
}

// The last word before exec: /dev/ttyS0 is our pseudo-terminal, or absent.
bool port_is_private(const PortOptions& options, const Pty& pty, int report) {
  struct stat port {};
  const bool present = stat("/dev/ttyS0", &port) == 0;
  const bool ours = present && S_ISCHR(port.st_mode) && port.st_rdev == pty.device;
  if (options.create_port ? ours : !present) {
    return true;
  }
  write_text(report, "/dev/ttyS0 in the namespace is not the private port");
  return false;
}

[[noreturn]] void start_command(const PortOptions& options, const Pty& pty,
                                const std::string& scratch, const Pipes& pipes, Argv& argv,
                                Argv& envp) {
  const int report = pipes.report[1];
  take_streams(options, pipes);
  reset_signals();
  if (enter_namespace(report) && build_private_dev(options, pty, scratch, report) &&
      port_is_private(options, pty, report) &&
      (!options.before_exec || options.before_exec() || fail(report, "arrange the command"))) {
    // It goes when whoever runs it goes. Set last: a change of user clears it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execvpe(argv.get()[0], argv.get(), envp.get());
    const int error = errno;
    write_text(report, describe("exec " + argv.strings[0]));
    _exit(error == ENOENT ? kNotFound : kCannotExecute);
  }
  _exit(kSetupFailed);
}

// ---- Following the command --------------------------------------------------

void read_into(int fd, std::string& sink, bool& open_flag) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    sink.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    open_flag = false;
  }
}

// Lets the caller tend the command, and kills it when its time is up. True
// once the command has ended.
bool tend_command(pid_t child, const PortOptions& options, Clock::time_point started,
                  PortRun& run) {
  const auto now = Clock::now();
  if (options.tend) {
    options.tend(child, std::chrono::duration_cast<std::chrono::milliseconds>(now - started));
  }
  bool ended = waitpid(child, &run.wait_status, WNOHANG) == child;
  if (!ended && options.timeout && now - started > *options.timeout) {
    run.timed_out = true;
    kill(child, SIGKILL);
    ended = waitpid(child, &run.wait_status, 0) == child;
  }
  if (ended) {
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  }
  return ended;
}

// Reads the display end, the command's streams and the child's report until
// the command has ended and the display end has been quiet for a while: bytes
// written to the slave reach the master through deferred kernel work.
std::string follow(pid_t child, const PortOptions& options, const Pty& pty, const Pipes& pipes,
                   PortRun& run) {
  std::string report;
  bool out_open = pipes.out[0] >= 0;
  bool err_open = pipes.err[0] >= 0;
  bool report_open = true;
  bool exited = false;
  int quiet_polls = 0;
  const auto started = Clock::now();
  while (!exited || out_open || err_open || quiet_polls < 2) {
    const bool read_port = !options.read_port || options.read_port(exited);
    pollfd fds[4] = {{read_port ? pty.master : -1, POLLIN, 0},
                     {out_open ? pipes.out[0] : -1, POLLIN, 0},
                     {err_open ? pipes.err[0] : -1, POLLIN, 0},
                     {report_open ? pipes.report[0] : -1, POLLIN, 0}};
    const int ready = poll(fds, 4, kPollMs);
    const bool port_spoke = ready > 0 && (fds[0].revents & POLLIN) != 0;
    if (port_spoke) {
      const std::size_t had = run.wire.size();
      bool ignored = true;
      read_into(pty.master, run.wire, ignored);
      if (options.watch) {
        options.watch(std::string_view(run.wire).substr(had));
      }
    } else if (ready == 0 && options.watch) {
      options.watch({});
    }
    if (ready > 0) {
      if (fds[1].revents != 0) {
        read_into(pipes.out[0], run.out, out_open);
      }
      if (fds[2].revents != 0) {
        read_into(pipes.err[0], run.err, err_open);
      }
      if (fds[3].revents != 0) {
        read_into(pipes.report[0], report, report_open);
      }
    }
    quiet_polls = port_spoke || !exited ? 0 : quiet_polls + 1;
    exited = exited || tend_command(child, options, started, run);
    // Something the command left running may hold its streams open for ever:
    // the time limit still counts once the command itself has ended.
    if (exited && options.timeout && Clock::now() - started > *options.timeout) {
      run.timed_out = true;
      break;
    }
  }
  while (report_open) {
    read_into(pipes.report[0], report, report_open);
  }
  return report;
}

}  // namespace

std::string private_port_unavailable() {
  PortOptions probe;
  probe.command = {"true"};
  const PortRun run = run_on_private_port(probe);
  if (!run.setup_error.empty()) {
    return run.setup_error;
  }
  if (exit_code(run) != 0) {
    return "a command on a private port did not run";
  }
  return {};
}

PortRun run_on_private_port(const PortOptions& options) {
  PortRun run;
  Pty pty;
  Pipes pipes;
  std::string scratch;
  if (open_pty(pty, run.setup_error) && make_scratch(scratch, run.setup_error) &&
      make_pipes(pipes, options.capture_output, run.setup_error)) {
    prepare_port(pty, options, run);
    Argv argv = make_argv(options.command);
    Argv envp = make_environment(options.environment);
    const pid_t child = fork();
    if (child == 0) {
      start_command(options, pty, scratch, pipes, argv, envp);
    }
    close(pipes.out[1]);
    close(pipes.err[1]);
    close(pipes.report[1]);
    pipes.out[1] = pipes.err[1] = pipes.report[1] = -1;
    if (child < 0) {
      run.setup_error = describe("fork");
    } else {
      const std::string report = follow(child, options, pty, pipes, run);
      const int status = exit_code(run);
      const bool not_started =
          status == kSetupFailed || status == kCannotExecute || status == kNotFound;
      if (not_started && !report.empty()) {
        run.setup_error = report;
      }
    }
    read_line_settings(pty.slave, run.after);
    ioctl(pty.slave, FIONREAD, &run.pending_input_after);
  }
  close_pair(pipes.out);
  close_pair(pipes.err);
  close_pair(pipes.report);
  if (pty.slave >= 0) {
    close(pty.slave);
  }
  if (pty.master >= 0) {
    close(pty.master);
  }
  remove_scratch(scratch);
  return run;
}

int exit_code(const PortRun& run) {
  return WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : -1;
}

int killed_by(const PortRun& run) {
  return WIFSIGNALED(run.wait_status) ? WTERMSIG(run.wait_status) : 0;
}

LineSettings unusual_settings() {
  LineSettings t{};
  t.c_iflag = ICRNL | IXON | IXOFF | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = B115200 | CS8 | CREAD | CLOCAL | HUPCL;
  t.c_lflag = ICANON | ECHO | ECHOE | ISIG;
  t.c_cc[VMIN] = 5;
  t.c_cc[VTIME] = 7;
  t.c_cc[VINTR] = 3;
  t.c_ispeed = 115200;  // bits per second
  t.c_ospeed = 115200;
  return t;
}
