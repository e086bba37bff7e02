#include "private_port.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace {

constexpr int kSetupFailed = 125;  // child exit status when the namespace could not be made

std::string describe(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void write_text(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool write_file(const char* path, std::string_view text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = write(fd, text.data(), text.size());
  close(fd);
  return n == static_cast<ssize_t>(text.size());
}

// Runs in the child between fork and exec; reports a failure on `report` and
// returns false. Only then may the caller go on, and only to exec.
bool enter_private_dev(const PortOptions& options, const std::string& slave_path, dev_t slave_rdev,
                       const std::string& scratch, int report) {
  auto fail = [&](const char* what) {
    write_text(report, describe(what));
    return false;
  };
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (uid == 0) {
    if (unshare(CLONE_NEWNS) != 0) return fail("unshare(CLONE_NEWNS)");
  } else {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
      return fail("unshare(CLONE_NEWUSER|CLONE_NEWNS)");
    const std::string uid_map = std::to_string(uid) + " " + std::to_string(uid) + " 1\n";
    const std::string gid_map = std::to_string(gid) + " " + std::to_string(gid) + " 1\n";
    if (!write_file("/proc/self/uid_map", uid_map)) return fail("write uid_map");
    if (!write_file("/proc/self/setgroups", "deny")) return fail("write setgroups");
    if (!write_file("/proc/self/gid_map", gid_map)) return fail("write gid_map");
  }
  // Nothing done here may reach the machine's mount table.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return fail("make / private");

  const std::string port_placeholder = scratch + "/ttyS0";
  const std::string null_placeholder = scratch + "/null";
  // Bound before /dev is covered: afterwards neither node is reachable by name.
  if (options.create_port &&
      mount(slave_path.c_str(), port_placeholder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return fail("bind the pseudo-terminal");
  }
  if (mount("/dev/null", null_placeholder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return fail("bind /dev/null");
  }
  if (mount("dualrow-dev", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=64k") != 0) {
    return fail("mount tmpfs on /dev");
  }
  for (const char* node : {"/dev/null", "/dev/ttyS0"}) {
    if (std::string_view(node) == "/dev/ttyS0" && !options.create_port) continue;
    const int fd = open(node, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return fail("create a node on the private /dev");
    close(fd);
  }
  if (mount(null_placeholder.c_str(), "/dev/null", nullptr, MS_MOVE, nullptr) != 0) {
    return fail("move /dev/null in");
  }
  if (options.create_port) {
    if (mount(port_placeholder.c_str(), "/dev/ttyS0", nullptr, MS_MOVE, nullptr) != 0) {
      return fail("move the port in");
    }
    if (options.port_mode && chmod("/dev/ttyS0", *options.port_mode) != 0)
      return fail("chmod port");
  }

  // The last word before exec: /dev/ttyS0 is our pseudo-terminal, or absent.
  struct stat port {};
  const bool present = stat("/dev/ttyS0", &port) == 0;
  if (options.create_port ? (!present || !S_ISCHR(port.st_mode) || port.st_rdev != slave_rdev)
                          : present) {
    write_text(report, "/dev/ttyS0 in the namespace is not the private port");
    return false;
  }

  if (options.run_as) {
    const gid_t run_gid = static_cast<gid_t>(*options.run_as);
    if (setgroups(0, nullptr) != 0 || setgid(run_gid) != 0 || setuid(*options.run_as) != 0) {
      return fail("drop privileges");
    }
  }
  return true;
}

void read_into(int fd, std::string& sink, bool& open_flag) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    sink.append(buffer, static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    open_flag = false;
  }
}

}  // namespace

std::string private_port_unavailable() {
  PortOptions probe;
  probe.command = {"true"};
  const PortRun run = run_on_private_port(probe);
  if (!run.setup_error.empty()) return run.setup_error;
  if (exit_code(run) != 0) return "a command on a private port did not run";
  return {};
}

PortRun run_on_private_port(const PortOptions& options) {
  PortRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    run.setup_error = describe("posix_openpt");
    if (master >= 0) close(master);
    return run;
  }
  const std::string slave_path = ptsname(master);
  const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  struct stat slave_stat {};
  if (slave < 0 || fstat(slave, &slave_stat) != 0) {
    run.setup_error = describe("open the pseudo-terminal slave");
    close(master);
    return run;
  }
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  if (options.prior) tcsetattr(slave, TCSANOW, &*options.prior);
  if (!options.pending_input.empty()) {
    write_text(master, options.pending_input);
    // Input reaches the slave through the kernel's flip work; let it land.
    for (int tries = 0; tries < 100; ++tries) {
      int queued = 0;
      ioctl(slave, FIONREAD, &queued);
      if (queued >= static_cast<int>(options.pending_input.size())) break;
      usleep(1000);
    }
  }
  tcgetattr(slave, &run.before);

  char scratch_template[] = "/tmp/dualrow-port.XXXXXX";
  const char* scratch_dir = mkdtemp(scratch_template);
  if (scratch_dir == nullptr) {
    run.setup_error = describe("mkdtemp");
    close(slave);
    close(master);
    return run;
  }
  const std::string scratch = scratch_dir;
  for (const char* name : {"/ttyS0", "/null"}) {
    close(open((scratch + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  }

  int out_pipe[2];
  int err_pipe[2];
  int report_pipe[2];
  pipe2(out_pipe, O_CLOEXEC);
  pipe2(err_pipe, O_CLOEXEC);
  pipe2(report_pipe, O_CLOEXEC);

  std::vector<std::string> env_strings;
  for (char** entry = environ; *entry != nullptr; ++entry) env_strings.emplace_back(*entry);
  for (const std::string& extra : options.environment) {
    const std::string name = extra.substr(0, extra.find('=') + 1);
    std::erase_if(env_strings, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    env_strings.push_back(extra);
  }
  std::vector<char*> envp;
  for (std::string& entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = options.command;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    if (!enter_private_dev(options, slave_path, slave_stat.st_rdev, scratch, report_pipe[1])) {
      _exit(kSetupFailed);
    }
    execvpe(argv[0], argv.data(), envp.data());
    write_text(report_pipe[1], describe(("exec " + args[0]).c_str()));
    _exit(kSetupFailed);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(report_pipe[1]);

  std::string report;
  bool out_open = true;
  bool err_open = true;
  bool report_open = true;
  bool exited = false;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  int quiet_polls = 0;
  // Until the child is gone and the display end has been quiet for a while:
  // bytes written to the slave reach the master through deferred kernel work.
  while (!exited || out_open || err_open || quiet_polls < 2) {
    pollfd fds[4] = {{master, POLLIN, 0},
                     {out_open ? out_pipe[0] : -1, POLLIN, 0},
                     {err_open ? err_pipe[0] : -1, POLLIN, 0},
                     {report_open ? report_pipe[0] : -1, POLLIN, 0}};
    const int ready = poll(fds, 4, 25);
    if (ready > 0) {
      if (fds[0].revents & POLLIN) {
        bool ignored = true;
        read_into(master, run.wire, ignored);
      }
      if (fds[1].revents) read_into(out_pipe[0], run.out, out_open);
      if (fds[2].revents) read_into(err_pipe[0], run.err, err_open);
      if (fds[3].revents) read_into(report_pipe[0], report, report_open);
      quiet_polls = (fds[0].revents & POLLIN) ? 0 : quiet_polls;
    } else if (exited) {
      ++quiet_polls;
    }
    if (!exited) {
      if (waitpid(child, &run.wait_status, WNOHANG) == child) {
        exited = true;
      } else if (std::chrono::steady_clock::now() > deadline) {
        run.timed_out = true;
        kill(child, SIGKILL);
        waitpid(child, &run.wait_status, 0);
        exited = true;
      }
    }
  }
  while (report_open) read_into(report_pipe[0], report, report_open);
  if (WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == kSetupFailed &&
      !report.empty()) {
    run.setup_error = report;
  }
  tcgetattr(slave, &run.after);
  ioctl(slave, FIONREAD, &run.pending_input_after);

  close(out_pipe[0]);
  close(err_pipe[0]);
  close(report_pipe[0]);
  close(slave);
  close(master);
  unlink((scratch + "/ttyS0").c_str());
  unlink((scratch + "/null").c_str());
  rmdir(scratch.c_str());
  return run;
}

int exit_code(const PortRun& run) {
  return WIFEXITED(run.wait_status) ? WEXITSTATUS(run.wait_status) : -1;
}

int killed_by(const PortRun& run) {
  return WIFSIGNALED(run.wait_status) ? WTERMSIG(run.wait_status) : 0;
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

termios unusual_settings() {
  termios t{};
  t.c_iflag = ICRNL | IXON | IXOFF | BRKINT;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
  t.c_lflag = ICANON | ECHO | ECHOE | ISIG;
  t.c_cc[VMIN] = 5;
  t.c_cc[VTIME] = 7;
  t.c_cc[VINTR] = 3;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  return t;
}
