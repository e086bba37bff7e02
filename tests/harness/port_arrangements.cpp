#include "harness/port_arrangements.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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

// A directory of the test's own that the run sees as /run/dualrow, made as the
// packages make it: 2770, so that every lock file is the group's.
std::string make_lock_place() {
  char place[] = "/tmp/dualrow-place.XXXXXX";
  if (mkdtemp(place) == nullptr || chmod(place, 02770) != 0) {
    ADD_FAILURE() << "cannot make the lock place: " << std::strerror(errno);
  }
  return place;
}

// Puts `kind` at the device's lock file in `place`; returns the descriptor
// that holds it, or -1.
int put_lock_file(const std::string& place, LockFile kind, dev_t device) {
  const std::string path =
      place + "/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  int held = -1;
  bool made = true;
  switch (kind) {
    case LockFile::kNone:
      break;
    case LockFile::kHeld:
      // Held until the run has ended; a run's own lock file is opened the same way.
      held = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0660);
      made = held >= 0 && flock(held, LOCK_EX) == 0;
      break;
    case LockFile::kFifo:
      made = mkfifo(path.c_str(), 0660) == 0;
      break;
  }
  if (!made)
    ADD_FAILURE() << "cannot put the lock file at " << path << ": " << std::strerror(errno);
  return held;
}

// In the command's namespace: a /run of its own, with the place at /run/dualrow.
bool show_lock_place(const std::string& place) {
  return mount("dualrow-run", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64k") == 0 &&
         mkdir(kLockPlace, 0755) == 0 &&
         mount(place.c_str(), kLockPlace, nullptr, MS_BIND, nullptr) == 0;
}

}  // namespace

PortRun run_arranged(PortOptions options, const Arrangements& arrangements) {
  auto filler = std::make_shared<std::size_t>(0);
  auto held_lock = std::make_shared<int>(-1);
  const std::string place = make_lock_place();
  options.arrange = [arrangements, filler, held_lock, place](const Pty& pty) {
    if (arrangements.hold_output) *filler = fill_output(pty);
    if (!arrangements.pending_input.empty()) put_pending_input(pty, arrangements.pending_input);
    if (arrangements.lock_port) flock(pty.slave, LOCK_EX);
    *held_lock = put_lock_file(place, arrangements.lock_file, pty.device);
  };
  options.before_exec = [arrangements, place] {
    if (!show_lock_place(place)) return false;
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
  std::error_code ignored;
  std::filesystem::remove_all(place, ignored);
  run.wire.erase(0, *filler);
  return run;
}
