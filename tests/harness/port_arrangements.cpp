#include "harness/port_arrangements.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "write_all.h"

namespace {

// Bytes the display end sent before the run, waiting in the port's input.
void put_pending_input(const Pty& pty, const std::string& input) {
  if (write_all(pty.master, input.data(), input.size(), nullptr) != 0) return;
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
}

std::vector<std::string> mount_points() {
  std::vector<std::string> points;
  std::ifstream mounts("/proc/self/mountinfo");
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, point;
    if (fields >> id >> parent >> numbers >> root >> point) points.push_back(point);
  }
  return points;
}

// In a chroot "/" is no mount point and cannot be remounted: the tree is
// bound onto itself and entered ("/.." is the mount on top of "/"). Only
// where nothing mounted here reaches the machine's namespaces.
bool make_root_a_mount_point() {
  const std::vector<std::string> points = mount_points();
  if (std::find(points.begin(), points.end(), "/") != points.end()) return true;
  char cwd[4096];
  return !in_the_machines_user_namespace() && getcwd(cwd, sizeof cwd) != nullptr &&
         mount("/", "/", nullptr, MS_BIND | MS_REC, nullptr) == 0 && chroot("/..") == 0 &&
         chdir(cwd) == 0;
}

// Every mount of the namespace read-only. A remount in a user namespace must
// keep the flags the mount was locked with.
bool make_tree_read_only() {
  if (!make_root_a_mount_point()) return false;
  for (const std::string& point : mount_points()) {
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
    (void)write_all(report, why.data(), why.size(), nullptr);
  }
  return done;
}

std::string contents(int fd) {
  std::string text;
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
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
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  // Files, unlike pipes, need no reader while the command runs.
  const int out = memfd_create("out", MFD_CLOEXEC);
  const int err = memfd_create("err", MFD_CLOEXEC);
  std::vector<std::string> environment = options.environment;  // putenv keeps pointers
  bool signalled = options.signal == 0;
  RunHooks hooks;
  hooks.with_port = options.create_port;
  hooks.stdin_fd = in;
  hooks.stdout_fd = out;
  hooks.stderr_fd = err;
  hooks.arrange_port = [&](const Pty& pty) { arrange_port(pty, options, run); };
  hooks.before_exec = [&](int report) {
    if (!arrange_tree(options.tree, report)) return false;
    // The options' entries over this process's own; here only this process has them.
    for (std::string& entry : environment) putenv(entry.data());
    return true;
  };
  hooks.tick = [&](pid_t command, std::chrono::milliseconds ran) {
    if (!signalled && command != 0 && ran >= options.signal_after) {
      signalled = kill(command, options.signal) == 0;
    }
    // Something the command left running may keep the port busy for ever:
    // the time limit still counts once the command itself has ended.
    run.timed_out = ran > options.timeout;
    return !run.timed_out;
  };
  hooks.after = [&](const Pty& pty) { ioctl(pty.slave, FIONREAD, &run.pending_input_after); };
  if (in < 0 || out < 0 || err < 0) {
    run.setup_error = std::string("open the command's streams: ") + std::strerror(errno);
  } else {
    static_cast<CommandRun&>(run) = run_on_private_port(
        options.command, [](std::string_view) {}, hooks);
    run.out = contents(out);
    run.err = contents(err);
  }
  for (const int fd : {in, out, err}) {
    if (fd >= 0) close(fd);
  }
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
