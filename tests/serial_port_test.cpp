// The port calls, run in this process against a pseudo-terminal of its own.
// Nothing here opens /dev/ttyS0: open_display_port() is never called.

#include "display/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "private_port.h"

namespace {

// A pseudo-terminal of this process's own; `slave_path` is empty when none
// could be had.
Pty open_pty() {
  Pty pty;
  std::string error;
  if (!open_pty(pty, error)) pty.slave_path.clear();
  return pty;
}

void close_pty(const Pty& pty) {
  if (pty.slave >= 0) close(pty.slave);
  if (pty.master >= 0) close(pty.master);
}

class PortOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    pty_ = open_pty();
    ASSERT_FALSE(pty_.slave_path.empty());
    char lock_template[] = "/tmp/dualrow-lock.XXXXXX";
    ASSERT_NE(mkdtemp(lock_template), nullptr);
    lock_dir_ = lock_template;
    ASSERT_EQ(open_port(pty_.slave_path.c_str(), lock_dir_.c_str(), port_), 0)
        << std::strerror(errno);
  }
  void TearDown() override {
    close_port(port_);
    close_pty(pty_);
    char lock[64];
    device_lock_path(lock_dir_.c_str(), pty_.device, lock, sizeof lock);
    unlink(lock);
    rmdir(lock_dir_.c_str());
  }
  LineSettings current() const {
    LineSettings now{};
    read_line_settings(port_.fd, now);
    return now;
  }
  Pty pty_;
  std::string lock_dir_;
  OpenPort port_;
};

TEST_F(PortOnPty, OpenLocksTheNodeAndTheDeviceAndLeavesABlockingDescriptor) {
  const int flags = fcntl(port_.fd, F_GETFL);
  EXPECT_EQ(flags & O_NONBLOCK, 0);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  // Another open description of the node, or of the device's lock file (as a
  // run through another node of the device has), cannot take the lock.
  char lock[64];
  device_lock_path(lock_dir_.c_str(), pty_.device, lock, sizeof lock);
  for (const char* path : {pty_.slave_path.c_str(), static_cast<const char*>(lock)}) {
    const int other = open(path, O_RDONLY | O_NOCTTY);
    // cppcheck-suppress resourceLeak ; nothing to close when the open failed
    ASSERT_GE(other, 0) << path;
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << path;
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(other);
  }
}

// Anyone may put something in /run/lock: a FIFO there would block a plain open.
TEST(OpenPort, WhatIsNoFileInPlaceOfTheLockFileIsNotWaitedOnOrUsed) {
  Pty pty = open_pty();
  char dir[] = "/tmp/dualrow-lock.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  char lock[64];
  device_lock_path(dir, pty.device, lock, sizeof lock);
  ASSERT_EQ(mkfifo(lock, 0644), 0);
  OpenPort port;
  EXPECT_EQ(open_port(pty.slave_path.c_str(), dir, port), 0);
  EXPECT_EQ(port.device_lock, -1);  // the node's own lock still holds
  close_port(port);
  close_pty(pty);
  unlink(lock);
  rmdir(dir);
}

TEST_F(PortOnPty, DisplayModeIsTheSameWhateverWasThereBefore) {
  LineSettings odd_slow = unusual_settings();
  odd_slow.c_cflag = B300 | CS7 | CREAD | PARODD | CRTSCTS;
  odd_slow.c_ispeed = odd_slow.c_ospeed = 300;
  odd_slow.c_cc[VMIN] = 9;
  // A pseudo-terminal drops PARENB in its own record; all else is as asked.
  LineSettings expected = make_display_settings();
  expected.c_cflag &= ~static_cast<std::uint32_t>(PARENB);
  // The last one is a port left in display mode by a run that was killed.
  for (const LineSettings& prior : {unusual_settings(), odd_slow, expected}) {
    ASSERT_TRUE(write_line_settings(port_.fd, prior));
    PortFault fault;
    SavedSettings saved;
    EXPECT_TRUE(configure_display_port(port_.fd, saved, fault));
    EXPECT_FALSE(port_failed(fault)) << fault.reason.data();
    EXPECT_EQ(current(), expected);
  }
}

TEST(DrivesDisplayLine, ComparesWhatDecidesTheBytesOnTheLine) {
  struct Case {
    const char* change;
    std::uint32_t LineSettings::*field;
    std::uint32_t set;
    std::uint32_t clear;
    std::uint32_t speed;  // bits per second, both ways
    bool on_a_uart;
    bool on_a_pty;  // which forces 8 bits without parity
  };
  const Case cases[] = {
      {"none", &LineSettings::c_cflag, 0, 0, 9600, true, true},
      {"parity dropped", &LineSettings::c_cflag, 0, PARENB, 9600, false, true},
      {"odd parity", &LineSettings::c_cflag, PARODD, 0, 9600, false, false},
      {"7 bits", &LineSettings::c_cflag, CS7, CSIZE, 9600, false, true},
      {"one stop bit", &LineSettings::c_cflag, 0, CSTOPB, 9600, false, false},
      {"RTS/CTS", &LineSettings::c_cflag, CRTSCTS, 0, 9600, false, false},
      {"output processing", &LineSettings::c_oflag, OPOST, 0, 9600, false, false},
      {"echo", &LineSettings::c_lflag, ECHO, 0, 9600, false, false},
      {"echo of newlines", &LineSettings::c_lflag, ECHONL, 0, 9600, false, false},
      {"XON/XOFF", &LineSettings::c_iflag, IXOFF, 0, 9600, false, false},
      {"canonical input", &LineSettings::c_lflag, ICANON, 0, 9600, true, true},
      {"115200 baud", &LineSettings::c_cflag, 0, 0, 115200, false, false},
      {"31250 baud", &LineSettings::c_cflag, 0, 0, 31250, false, false},
  };
  for (const Case& c : cases) {
    LineSettings kept = make_display_settings();
    kept.*c.field = (kept.*c.field & ~c.clear) | c.set;
    kept.c_ispeed = kept.c_ospeed = c.speed;
    EXPECT_EQ(drives_display_line(kept, false), c.on_a_uart) << c.change;
    EXPECT_EQ(drives_display_line(kept, true), c.on_a_pty) << c.change;
  }
}

TEST_F(PortOnPty, RestorePutsBackExactlyWhatWasThere) {
  LineSettings close_to_display{};  // which must not be mistaken for the display's own
  close_to_display.c_cflag = B9600 | CS8 | CSTOPB | CREAD | CLOCAL;
  close_to_display.c_ispeed = close_to_display.c_ospeed = 9600;
  LineSettings split = unusual_settings();  // standard speeds, other in than out
  // CIBAUD holds the input speed's code 16 bits up (IBSHIFT).
  split.c_cflag =
      (split.c_cflag & ~static_cast<std::uint32_t>(CBAUD | CIBAUD)) | B9600 | (B1200 << 16);
  split.c_ispeed = 1200;
  split.c_ospeed = 9600;
  for (const LineSettings& prior : {unusual_settings(), split, close_to_display}) {
    ASSERT_TRUE(write_line_settings(port_.fd, prior));
    const LineSettings before = current();
    PortFault fault;
    SavedSettings saved;
    Deadline bound;
    ASSERT_TRUE(configure_display_port(port_.fd, saved, fault));
    EXPECT_NE(current(), before);
    ASSERT_TRUE(start_output_bound(bound, fault));
    EXPECT_TRUE(drain_display_port(port_.fd, bound, fault));
    clear_deadline(bound);
    restore_port_settings(port_.fd, pty_.slave_path.c_str(), saved, fault);
    EXPECT_EQ(current(), before) << before.c_ospeed << " bits per second";
    EXPECT_FALSE(port_failed(fault)) << fault.reason.data();
  }
}

TEST(WriteAll, DeliversEveryByteOrEndsAtTheBound) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  Deadline bound;
  ASSERT_TRUE(set_deadline(bound, 200));
  const std::string frame =
      "\x1b"
      "X" +
      std::string(2, '\0') + "      Hello\n      World";
  EXPECT_TRUE(write_all(ends[1], frame.data(), frame.size(), bound));
  std::string got(frame.size(), '?');
  EXPECT_EQ(read(ends[0], got.data(), got.size()), static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(got, frame);

  // Nobody reads: the write blocks until the timer interrupts it, and the
  // clock, not the signal, says the bound has passed.
  const std::string more(1 << 20, 'x');
  EXPECT_FALSE(write_all(ends[1], more.data(), more.size(), bound));
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_TRUE(deadline_passed(bound));
  clear_deadline(bound);
  close(ends[0]);
  close(ends[1]);
}

}  // namespace
