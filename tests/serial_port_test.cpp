// The port calls, run in this process against a pseudo-terminal of its own.
// Nothing here opens /dev/ttyS0: open_display_port() is never called.

#include "display/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "display/display_settings.h"
#include "display/port_output.h"
#include "harness/port_arrangements.h"

namespace {

class PortOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(open_pty(pty_, error)) << error;
    PortFault fault;
    ASSERT_TRUE(open_port(pty_.slave_path.c_str(), fd_, fault));
  }
  void TearDown() override {
    close_port(fd_);
    close_pty(pty_);
  }
  LineSettings current() const {
    LineSettings now{};
    read_line_settings(fd_, now);
    return now;
  }
  void expect_round_trip(const LineSettings& prior);
  Pty pty_;
  int fd_ = -1;
};

// The lock is the node's own: whatever path leads a run to the node meets it.
TEST(OpenPort, LocksTheNodeForEveryPathToIt) {
  Pty pty;
  std::string error;
  ASSERT_TRUE(open_pty(pty, error)) << error;
  char scratch[] = "/tmp/dualrow-paths.XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  const std::string link = std::string(scratch) + "/ttyS0";
  ASSERT_EQ(symlink(pty.slave_path.c_str(), link.c_str()), 0);
  for (const std::string& path : {pty.slave_path, link}) {
    SCOPED_TRACE(path);
    int fd = -1;
    PortFault fault;
    ASSERT_TRUE(open_port(path.c_str(), fd, fault));
    EXPECT_GT(fd, STDERR_FILENO);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_RDWR);
    for (const std::string& other_path : {pty.slave_path, link}) {
      const int other = open(other_path.c_str(), O_RDONLY | O_NOCTTY);
      EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << other_path;
      close(other);
    }
    close_port(fd);
    EXPECT_EQ(fd, -1);
    const int after = open(link.c_str(), O_RDONLY | O_NOCTTY);
    EXPECT_EQ(flock(after, LOCK_EX | LOCK_NB), 0);  // closing released it
    close(after);
  }
  unlink(link.c_str());
  rmdir(scratch);
  close_pty(pty);
}

// The first trouble is the one reported, but for a hangup, which explains
// what failed before it.
TEST(PortFault, KeepsTheFirstTroubleButForAHangup) {
  using Note = bool (*)(PortFault&);
  const Note step = [](PortFault& f) { return note_step_failed(f, "discard input", EIO); };
  const Note stalled = [](PortFault& f) { return note_stalled(f); };
  const Note busy = [](PortFault& f) { return note_busy(f); };
  const Note hangup = [](PortFault& f) { return note_hangup(f, HangupEnd::kGone); };
  struct Case {
    std::vector<Note> notes;
    PortTrouble kept;
  };
  const Case cases[] = {
      {{}, PortTrouble::kNone},
      {{step, stalled}, PortTrouble::kStepFailed},
      {{stalled, step}, PortTrouble::kStalled},
      {{busy, step, stalled}, PortTrouble::kBusy},
      {{step, hangup}, PortTrouble::kHungUp},
      {{hangup, stalled}, PortTrouble::kHungUp},
  };
  for (const Case& c : cases) {
    PortFault fault;
    for (const Note note : c.notes) EXPECT_FALSE(note(fault));
    EXPECT_EQ(fault.trouble, c.kept) << c.notes.size();
    EXPECT_EQ(port_failed(fault), c.kept != PortTrouble::kNone);
    EXPECT_EQ(std::string(fault.step != nullptr ? fault.step : ""),
              c.kept == PortTrouble::kStepFailed ? "discard input" : "");
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
      {"line editing", &LineSettings::c_lflag, ICANON, 0, 9600, false, false},
      {"signal characters", &LineSettings::c_lflag, ISIG, 0, 9600, false, false},
      {"extended input", &LineSettings::c_lflag, IEXTEN, 0, 9600, false, false},
      {"38400's code, 9600 in the fields", &LineSettings::c_cflag, B38400, CBAUD, 9600, false,
       false},
      {"9600 as a rate of its own", &LineSettings::c_cflag, CBAUDEX, CBAUD, 9600, true, true},
      // CIBAUD holds the input speed's code 16 bits up (IBSHIFT).
      {"input at 38400's code", &LineSettings::c_cflag, B38400 << 16, 0, 9600, false, false},
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

// The display settings as a pseudo-terminal holds them, written from the rules
// rather than from the tool's code: 9600 8E2 raw, but the pty keeps no PARENB.
LineSettings display_mode_on_a_pty() {
  LineSettings display{};
  display.c_iflag = IGNPAR;
  display.c_cflag = B9600 | CS8 | CSTOPB | CREAD;
  display.c_cc[VTIME] = 1;
  display.c_ispeed = display.c_ospeed = 9600;
  return display;
}

// A run from `prior`: display mode is the same whatever was there, and
// exactly `prior` comes back.
void PortOnPty::expect_round_trip(const LineSettings& prior) {
  ASSERT_TRUE(write_line_settings(fd_, prior));
  const LineSettings before = current();
  PortFault fault;
  SavedSettings saved;
  Deadline deadline;
  ASSERT_TRUE(configure_display_port(fd_, saved, fault));
  EXPECT_EQ(current(), display_mode_on_a_pty());
  ASSERT_TRUE(start_output_deadline(deadline, fault));
  EXPECT_TRUE(drain_display_port(fd_, deadline, fault));
  clear_deadline(deadline);
  restore_port_settings(fd_, pty_.slave_path.c_str(), saved, fault);
  EXPECT_EQ(current(), before) << before.c_ospeed << " bits per second";
  EXPECT_FALSE(port_failed(fault));
}

TEST_F(PortOnPty, EveryPriorComesBackAndNoneDecidesDisplayMode) {
  LineSettings odd_slow = unusual_settings();
  odd_slow.c_cflag = B300 | CS7 | CREAD | PARODD | CRTSCTS;
  odd_slow.c_ispeed = odd_slow.c_ospeed = 300;
  odd_slow.c_cc[VMIN] = 9;
  LineSettings close_to_display{};  // which must not be mistaken for the display's own
  close_to_display.c_cflag = B9600 | CS8 | CSTOPB | CREAD | CLOCAL;
  close_to_display.c_ispeed = close_to_display.c_ospeed = 9600;
  LineSettings split = unusual_settings();  // standard speeds, other in than out
  // CIBAUD holds the input speed's code 16 bits up (IBSHIFT).
  split.c_cflag =
      (split.c_cflag & ~static_cast<std::uint32_t>(CBAUD | CIBAUD)) | B9600 | (B1200 << 16);
  split.c_ispeed = 1200;
  split.c_ospeed = 9600;
  // The last one is a port left in display mode by a run that was killed.
  for (const LineSettings& prior :
       {unusual_settings(), odd_slow, close_to_display, split, display_mode_on_a_pty()}) {
    expect_round_trip(prior);
  }
}

// The C library's record carries no such rate: saved with it, the port came
// back at 9600.
TEST_F(PortOnPty, ACustomRateComesBackAsItWas) {
#ifdef DUALROW_EMULATED
  GTEST_SKIP() << "qemu-user sets no rate outside the B-constants (no TCSETS2)";
#endif
  for (const std::uint32_t rate : {31250U, 250000U}) {
    expect_round_trip(at_custom_rate(rate));
  }
}

}  // namespace
