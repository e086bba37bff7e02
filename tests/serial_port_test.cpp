// The port calls, run in this process against a pseudo-terminal of its own.
// Nothing here opens /dev/ttyS0: open_display_port() is never called.

#include "display/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "private_port.h"

namespace {

struct Pty {
  int master = -1;
  std::string slave_path;
};

Pty open_pty() {
  Pty pty;
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master >= 0 && grantpt(pty.master) == 0 && unlockpt(pty.master) == 0) {
    pty.slave_path = ptsname(pty.master);
  }
  return pty;
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
    close(pty_.master);
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
  const termios display = make_display_settings();
  for (const termios& prior : {unusual_settings(), raw_slow}) {
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &prior), 0);
    PortFault fault;
    configure_display_port(fd_, fault);
    EXPECT_EQ(fault.reason, nullptr);
    const termios now = current();
    // A pseudo-terminal forces CS8 and drops PARENB in its own record; every
    // other field is what was asked for.
    EXPECT_EQ(now.c_iflag, display.c_iflag);
    EXPECT_EQ(now.c_oflag, display.c_oflag);
    EXPECT_EQ(now.c_lflag, display.c_lflag);
    EXPECT_EQ(now.c_cflag & ~(CSIZE | PARENB), display.c_cflag & ~(CSIZE | PARENB));
    EXPECT_EQ(now.c_cc[VTIME], 1);
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(now.c_cc[VINTR], 0);
    EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B9600));
  }
}

TEST_F(PortOnPty, RestorePutsBackExactlyWhatWasThere) {
  termios prior_cases[3] = {unusual_settings(), unusual_settings(), unusual_settings()};
  cfmakeraw(&prior_cases[1]);
  cfsetospeed(&prior_cases[1], B1200);
  prior_cases[2].c_cflag |= CSTOPB | PARODD;
  prior_cases[2].c_lflag = 0;
  prior_cases[2].c_cc[VEOF] = 9;
  for (const termios& prior : prior_cases) {
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &prior), 0);
    const termios before = current();
    PortFault fault;
    const SavedSettings saved = configure_display_port(fd_, fault);
    ASSERT_TRUE(saved.valid);
    EXPECT_FALSE(same_settings(current(), before));
    EXPECT_TRUE(drain_display_port(fd_, fault));
    restore_port_settings(fd_, saved, fault);
    EXPECT_TRUE(same_settings(current(), before));
    EXPECT_EQ(fault.reason, nullptr);
  }
}

TEST_F(PortOnPty, PendingInputIsDiscarded) {
  termios raw = current();
  cfmakeraw(&raw);
  tcsetattr(fd_, TCSANOW, &raw);
  ASSERT_EQ(write(pty_.master, "stale", 5), 5);
  int queued = 0;
  for (int tries = 0; tries < 100 && queued < 5; ++tries) {
    usleep(1000);
    ioctl(fd_, FIONREAD, &queued);
  }
  ASSERT_EQ(queued, 5);
  PortFault fault;
  configure_display_port(fd_, fault);
  ioctl(fd_, FIONREAD, &queued);
  EXPECT_EQ(queued, 0);
}

TEST(RestorePortSettings, SkippedWhenNothingWasSaved) {
  Pty pty = open_pty();
  ASSERT_FALSE(pty.slave_path.empty());
  const int fd = open_port(pty.slave_path.c_str());
  ASSERT_GE(fd, 0);
  const termios display = make_display_settings();
  tcsetattr(fd, TCSANOW, &display);
  termios before{};
  tcgetattr(fd, &before);
  SavedSettings unread;  // as configure_display_port leaves it when tcgetattr fails
  PortFault fault;
  restore_port_settings(fd, unread, fault);
  EXPECT_EQ(fault.reason, nullptr);
  termios after{};
  tcgetattr(fd, &after);
  EXPECT_TRUE(same_settings(after, before));
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));  // not hung up at speed 0
  close(fd);
  close(pty.master);
}

TEST(ConfigureDisplayPort, ReportsTheFirstStepThatFailed) {
  const int fd = open("/dev/null", O_RDWR);
  // cppcheck-suppress resourceLeak ; nothing to close when the open failed
  ASSERT_GE(fd, 0);
  PortFault fault;
  EXPECT_FALSE(configure_display_port(fd, fault).valid);
  EXPECT_STREQ(fault.step, "save settings");
  EXPECT_STREQ(fault.reason, "Inappropriate ioctl for device");
  close(fd);
}

TEST(WriteAll, DeliversEveryByteOrReportsTheError) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string frame =
      "\x1b"
      "X" +
      std::string(2, '\0') + "      Hello\n      World";
  EXPECT_TRUE(write_all(ends[1], frame.data(), frame.size()));
  std::string got(frame.size(), '?');
  EXPECT_EQ(read(ends[0], got.data(), got.size()), static_cast<ssize_t>(frame.size()));
  EXPECT_EQ(got, frame);

  close(ends[0]);
  signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(write_all(ends[1], "x", 1));
  EXPECT_EQ(errno, EPIPE);
  signal(SIGPIPE, SIG_DFL);
  close(ends[1]);
}

}  // namespace
