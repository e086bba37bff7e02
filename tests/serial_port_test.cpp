// The port calls, run in this process against a pseudo-terminal of its own.
// Nothing here opens /dev/ttyS0: open_display_port() is never called.

#include "display/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
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
    fd_ = open_port(pty_.slave_path.c_str());
    ASSERT_GE(fd_, 0) << std::strerror(errno);
  }
  void TearDown() override {
    close(fd_);
    close_pty(pty_);
  }
  termios current() {
    termios now{};
    tcgetattr(fd_, &now);
    return now;
  }
  Pty pty_;
  int fd_ = -1;
};

TEST(DisplaySettings, BuiltFromZeroFieldByField) {
  const termios display = make_display_settings();
  EXPECT_EQ(display.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(display.c_oflag, 0u);
  EXPECT_EQ(display.c_cflag, 0x1FDu);  // B9600 | CS8 | CSTOPB | CREAD | PARENB on Linux
  EXPECT_EQ(display.c_cflag & (CLOCAL | HUPCL | CRTSCTS | PARODD), 0u);
  EXPECT_EQ(display.c_lflag, 0u);
  EXPECT_EQ(display.c_line, 0);
  for (std::size_t i = 0; i < NCCS; ++i) {
    const cc_t expected = i == VTIME ? 1 : 0;
    EXPECT_EQ(display.c_cc[i], expected) << "c_cc[" << i << "]";
  }
  EXPECT_EQ(cfgetispeed(&display), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&display), static_cast<speed_t>(B9600));
}

TEST_F(PortOnPty, OpenLeavesABlockingLockedDescriptor) {
  const int flags = fcntl(fd_, F_GETFL);
  EXPECT_EQ(flags & O_NONBLOCK, 0);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  // A second open description cannot take the lock while this one holds it.
  const int other = open(pty_.slave_path.c_str(), O_RDWR | O_NOCTTY);
  // cppcheck-suppress resourceLeak ; nothing to close when the open failed
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(errno, EWOULDBLOCK);
  close(other);
}

TEST(OpenPort, ReportsTheSystemErrorForAMissingNode) {
  EXPECT_EQ(open_port("/nonexistent/ttyS0"), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(PortOnPty, DisplayModeIsTheSameWhateverWasThereBefore) {
  termios raw_slow = unusual_settings();
  cfmakeraw(&raw_slow);
  cfsetospeed(&raw_slow, B300);
  raw_slow.c_cflag |= PARODD | CRTSCTS;
  raw_slow.c_cc[VMIN] = 9;
  // A pseudo-terminal drops PARENB in its own record; all else is as asked.
  termios expected = make_display_settings();
  expected.c_cflag &= ~PARENB;
  for (const termios& prior : {unusual_settings(), raw_slow}) {
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &prior), 0);
    PortFault fault;
    SavedSettings saved;
    EXPECT_TRUE(configure_display_port(fd_, saved, fault));
    EXPECT_FALSE(port_failed(fault)) << fault.reason.data();
    EXPECT_TRUE(same_settings(current(), expected));
  }
}

TEST(DrivesDisplayLine, ComparesWhatDecidesTheBytesOnTheLine) {
  struct Case {
    const char* change;
    tcflag_t cflag_set;
    tcflag_t cflag_clear;
    tcflag_t oflag_set;
    speed_t speed;
    bool on_a_uart;
    bool on_a_pty;  // which forces 8 bits without parity
  };
  const Case cases[] = {
      {"none", 0, 0, 0, B9600, true, true},
      {"parity dropped", 0, PARENB, 0, B9600, false, true},
      {"odd parity", PARODD, 0, 0, B9600, false, true},
      {"7 bits", CS7, CSIZE, 0, B9600, false, true},
      {"one stop bit", 0, CSTOPB, 0, B9600, false, false},
      {"RTS/CTS", CRTSCTS, 0, 0, B9600, false, false},
      {"output processing", 0, 0, OPOST, B9600, false, false},
      {"115200 baud", 0, 0, 0, B115200, false, false},
  };
  for (const Case& c : cases) {
    termios kept = make_display_settings();
    kept.c_cflag = (kept.c_cflag & ~c.cflag_clear) | c.cflag_set;
    kept.c_oflag |= c.oflag_set;
    cfsetospeed(&kept, c.speed);
    cfsetispeed(&kept, c.speed);
    EXPECT_EQ(drives_display_line(kept, false), c.on_a_uart) << c.change;
    EXPECT_EQ(drives_display_line(kept, true), c.on_a_pty) << c.change;
  }
}

TEST_F(PortOnPty, RestorePutsBackExactlyWhatWasThere) {
  termios prior_cases[4] = {unusual_settings(), unusual_settings(), unusual_settings(), {}};
  cfmakeraw(&prior_cases[1]);
  cfsetospeed(&prior_cases[1], B1200);
  prior_cases[2].c_cflag |= CSTOPB | PARODD;
  prior_cases[2].c_lflag = 0;
  prior_cases[2].c_cc[VEOF] = 9;
  // Close to the display's own, which must not be mistaken for them.
  prior_cases[3].c_cflag = CS8 | CSTOPB | CREAD | CLOCAL;
  cfsetospeed(&prior_cases[3], B9600);
  cfsetispeed(&prior_cases[3], B9600);
  for (const termios& prior : prior_cases) {
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &prior), 0);
    const termios before = current();
    PortFault fault;
    SavedSettings saved;
    Deadline bound;
    ASSERT_TRUE(configure_display_port(fd_, saved, fault));
    EXPECT_FALSE(same_settings(current(), before));
    ASSERT_TRUE(start_output_bound(bound, fault));
    EXPECT_TRUE(drain_display_port(fd_, bound, fault));
    clear_deadline(bound);
    restore_port_settings(fd_, pty_.slave_path.c_str(), saved, fault);
    EXPECT_TRUE(same_settings(current(), before));
    EXPECT_FALSE(port_failed(fault)) << fault.reason.data();
  }
}

TEST(ConfigureDisplayPort, ReportsTheFirstStepThatFailed) {
  const int fd = open("/dev/null", O_RDWR);
  // cppcheck-suppress resourceLeak ; nothing to close when the open failed
  ASSERT_GE(fd, 0);
  PortFault fault;
  SavedSettings saved;
  EXPECT_FALSE(configure_display_port(fd, saved, fault));
  EXPECT_FALSE(saved.valid);
  EXPECT_STREQ(fault.step, "save settings");
  EXPECT_STREQ(fault.reason.data(), "Inappropriate ioctl for device");
  close(fd);
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
