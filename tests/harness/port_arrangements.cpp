#include "harness/port_arrangements.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "display/serial_port.h"

namespace {

constexpr int kFullAfterTries = 5;  // refused writes in a row before the port counts as full

// Fills the port's output until it takes nothing several tries in a row: the
// kernel moves bytes on to the master in the background for a while. Returns
// how many bytes went in.
std::size_t fill_output(const Pty& pty) {
  termios raw{};
  tcgetattr(pty.slave, &raw);
  cfmakeraw(&raw);  // output processing off: every byte counts once
  tcsetattr(pty.slave, TCSANOW, &raw);
  const std::string block(4096, '\xff');
  std::size_t filled = 0;
  for (int refused = 0; refused < kFullAfterTries;) {
    const ssize_t n = write(pty.slave, block.data(), block.size());
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
      refused = 0;
    } else {
      ++refused;
      usleep(2000);
    }
  }
  return filled;
}

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

}  // namespace

PortRun run_arranged(PortOptions options, const Arrangements& arrangements) {
  auto filler = std::make_shared<std::size_t>(0);
  auto held_lock = std::make_shared<int>(-1);
  options.arrange = [arrangements, filler, held_lock](const Pty& pty) {
    if (arrangements.hold_output) *filler = fill_output(pty);
    if (!arrangements.pending_input.empty()) put_pending_input(pty, arrangements.pending_input);
    if (arrangements.lock_port) flock(pty.slave, LOCK_EX);
    if (arrangements.lock_device) {
      char path[64];
      device_lock_path(kLockDirectory, pty.device, path, sizeof path);
      // Held until this process ends; a run's own lock file is opened the same way.
      const int lock = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
      if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        ADD_FAILURE() << "cannot hold " << path << ": " << std::strerror(errno);
      }
      *held_lock = lock;
    }
  };
  options.before_exec = [arrangements] {
    if (arrangements.port_mode && chmod("/dev/ttyS0", *arrangements.port_mode) != 0) return false;
    if (!arrangements.run_as) return true;
    const auto gid = static_cast<gid_t>(*arrangements.run_as);
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(*arrangements.run_as) == 0;
  };
  if (arrangements.signal != 0) {
    auto signalled = std::make_shared<bool>(false);
    options.tend = [arrangements, signalled](pid_t command, std::chrono::milliseconds ran) {
      if (!*signalled && ran >= arrangements.signal_after) {
        kill(command, arrangements.signal);
        *signalled = true;
      }
    };
  }
  if (arrangements.hold_output) {
    options.read_port = [](bool command_ended) { return command_ended; };
  }
  PortRun run = run_on_private_port(options);
  if (*held_lock >= 0) close(*held_lock);
  run.wire.erase(0, *filler);
  return run;
}
