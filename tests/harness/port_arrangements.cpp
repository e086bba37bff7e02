#include "harness/port_arrangements.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Bytes the display end sent before the run, waiting in the port's input.
void put_pending_input(const Pty& pty, const std::string& input) {
  for (std::size_t sent = 0; sent < input.size();) {
    const ssize_t n = write(pty.master, input.data() + sent, input.size() - sent);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
  // Input reaches the slave through the kernel's flip work; let it land.
  int queued = 0;
  for (int tries = 0; tries < 100 && queued < static_cast<int>(input.size()); ++tries) {
    usleep(1000);
    ioctl(pty.slave, FIONREAD, &queued);
  }
}

// The port as the options have it before the command starts.
void arrange_port(const Pty& pty, const PortOptions& options, PortRun& run) {
  // Stopped output takes no byte: a write waits, and a drain would, until the
  // display end lets it go.
  if (options.hold_output) tcflow(pty.slave, TCOOFF);
  if (!options.pending_input.empty()) put_pending_input(pty, options.pending_input);
  if (options.lock_port) flock(pty.slave, LOCK_EX);
  if (options.prior) write_line_settings(pty.slave, *options.prior);
  ioctl(pty.slave, FIONREAD, &run.pending_input_before);
  read_line_settings(pty.slave, run.before);
}

// In a chroot "/" is no mount point and cannot be remounted: the tree is
// bound onto itself and entered ("/.." is the mount on top of "/"). Only
// where nothing mounted here reaches the machine's namespaces.
bool make_root_a_mount_point() {
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    if (fields >> id >> parent >> numbers >> root >> point && point == "/") return true;
  }
  char cwd[4096];
  return !in_the_machines_user_namespace() && getcwd(cwd, sizeof cwd) != nullptr &&
         mount("/", "/", nullptr, MS_BIND | MS_REC, nullptr) == 0 && chroot("/..") == 0 &&
         chdir(cwd) == 0;
}

// Every mount of the namespace read-only. A remount in a user namespace must
// keep the flags the mount was locked with.
bool make_tree_read_only() {
  if (!make_root_a_mount_point()) return false;
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    fields >> id >> parent >> numbers >> root >> point;
    struct statvfs now {};
    if (statvfs(point.c_str(), &now) != 0) continue;
    unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
    for (const auto& [kept, as] : {std::pair<unsigned long, unsigned long>{ST_NOSUID, MS_NOSUID},
                                   {ST_NODEV, MS_NODEV},
                                   {ST_NOEXEC, MS_NOEXEC},
                                   {ST_NOATIME, MS_NOATIME},
                                   {ST_NODIRATIME, MS_NODIRATIME},
                                   {ST_RELATIME, MS_RELATIME}}) {
      if ((now.f_flag & kept) != 0) flags |= as;
    }
    mount(nullptr, point.c_str(), nullptr, flags, nullptr);
  }
  struct statvfs run {
  }, tmp{};
  return statvfs("/run", &run) == 0 && statvfs("/tmp", &tmp) == 0 &&
         (run.f_flag & tmp.f_flag & ST_RDONLY) != 0;
}

// A /run of the command's own, with a FIFO at each name a lock file for the
// port could have, in places anyone may write.
bool plant_lock_names() {
  struct stat port {};
  if (stat("/dev/ttyS0", &port) != 0 ||
      mount("planted", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0 ||
      mkdir("/run/lock", 01777) != 0 || mkdir("/run/dualrow", 01777) != 0) {
    return false;
  }
  const std::string device =
      std::to_string(major(port.st_rdev)) + ":" + std::to_string(minor(port.st_rdev));
  for (const std::string& name : {std::string("/run/lock/LCK..ttyS0"), "/run/lock/" + device,
                                  "/run/lock/dualrow-" + device, "/run/dualrow/" + device}) {
    if (mkfifo(name.c_str(), 0666) != 0) return false;
  }
  return true;
}

bool arrange_tree(Tree tree, int report) {
  const bool done = tree == Tree::kAsItIs ||
                    (tree == Tree::kReadOnly ? make_tree_read_only() : plant_lock_names());
  if (!done) {
    const std::string why = std::string("arrange the tree: ") + std::strerror(errno);
    (void)!write(report, why.data(), why.size());
  }
  return done;
}

struct Streams {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int report[2] = {-1, -1};  // the command's process's word on why it could not start
};

[[noreturn]] void start_command(const Pty& pty, const PortOptions& options, const Streams& streams,
                                char* const argv[], std::vector<std::string>& environment) {
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // its copy on 0 stays open
  if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
  dup2(streams.out[1], STDOUT_FILENO);
  dup2(streams.err[1], STDERR_FILENO);
  const int report = streams.report[1];
  if (enter_private_port(pty, options.create_port, report) && arrange_tree(options.tree, report)) {
    // The options' entries over this process's own; here only this process has them.
    for (std::string& entry : environment) putenv(entry.data());
    exec_command(argv, environ, report);
  }
  _exit(kSetupFailed);
}

// Reads the display end, the command's streams and its report until it has
// ended and the display end has been quiet for a while; signals it and kills
// it as the options say.
std::string follow(pid_t child, const Pty& pty, const Streams& streams, const PortOptions& options,
                   PortRun& run) {
  std::string report;
  bool open[3] = {true, true, true};
  bool ended = false;
  bool signalled = options.signal == 0;
  const auto started = Clock::now();
  for (int quiet_polls = 0; !ended || open[0] || open[1] || quiet_polls < 2;) {
    pollfd fds[4] = {{pty.master, POLLIN, 0},
                     {open[0] ? streams.out[0] : -1, POLLIN, 0},
                     {open[1] ? streams.err[0] : -1, POLLIN, 0},
                     {open[2] ? streams.report[0] : -1, POLLIN, 0}};
    const int ready = poll(fds, 4, kPortPollMs);
    const bool port_spoke = ready > 0 && (fds[0].revents & POLLIN) != 0;
    if (port_spoke) read_some(pty.master, run.wire);
    std::string* sinks[3] = {&run.out, &run.err, &report};
    for (int i = 0; i < 3; ++i) {
      if (ready > 0 && fds[i + 1].revents != 0) open[i] = read_some(fds[i + 1].fd, *sinks[i]);
    }
    quiet_polls = port_spoke || !ended ? 0 : quiet_polls + 1;
    const auto ran = Clock::now() - started;
    if (!signalled && ran >= options.signal_after) signalled = kill(child, options.signal) == 0;
    if (!ended && waitpid(child, &run.wait_status, WNOHANG) == child) {
      ended = true;
      run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(ran);
    }
    // Something the command left running may hold its streams open for ever:
    // the time limit still counts once the command itself has ended.
    if (ran > options.timeout) {
      run.timed_out = true;
      if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &run.wait_status, 0);
      }
      break;
    }
  }
  while (open[2]) open[2] = read_some(streams.report[0], report);
  return report;
}

}  // namespace

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

PortRun run_arranged(const PortOptions& options) {
  PortRun run;
  Pty pty;
  Streams streams;
  if (open_pty(pty, run.setup_error)) {
    if (pipe2(streams.out, O_CLOEXEC) != 0 || pipe2(streams.err, O_CLOEXEC) != 0 ||
        pipe2(streams.report, O_CLOEXEC) != 0) {
      run.setup_error = std::string("pipe2: ") + std::strerror(errno);
    }
  }
  if (run.setup_error.empty()) arrange_port(pty, options, run);
  if (run.setup_error.empty()) {
    std::vector<std::string> command = options.command;
    std::vector<std::string> environment = options.environment;
    const std::vector<char*> argv = exec_list(command);
    const pid_t child = fork();
    if (child == 0) {
      start_command(pty, options, streams, argv.data(), environment);
    }
    for (int* end : {&streams.out[1], &streams.err[1], &streams.report[1]}) {
      close(*end);
      *end = -1;
    }
    if (child < 0) {
      run.setup_error = std::string("fork: ") + std::strerror(errno);
    } else {
      const std::string said = follow(child, pty, streams, options, run);
      run.setup_error = why_not_started(run.wait_status, said);
    }
    read_line_settings(pty.slave, run.after);
    ioctl(pty.slave, FIONREAD, &run.pending_input_after);
  }
  for (int* pair : {streams.out, streams.err, streams.report}) {
    for (int i = 0; i < 2; ++i) {
      if (pair[i] >= 0) close(pair[i]);
    }
  }
  close_pty(pty);
  return run;
}

int exit_code(const PortRun& run) { return exit_code(run.wait_status); }

int killed_by(const PortRun& run) {
  return WIFSIGNALED(run.wait_status) ? WTERMSIG(run.wait_status) : 0;
}

std::string private_port_unavailable() {
  PortOptions probe;
  probe.command = {"true"};
  const PortRun run = run_arranged(probe);
  if (!run.setup_error.empty()) return run.setup_error;
  return exit_code(run) == 0 ? "" : "a command on a private port did not run";
}
