// The port calls, run in this process against a pseudo-terminal of its own.
// Nothing here opens /dev/ttyS0: open_display_port() is never called.

#include "display/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
    // No lock place: the node's lock alone, and nothing left behind.
    ASSERT_TRUE(open_port(pty_.slave_path.c_str(), "/nonexistent/dualrow", port_, fault));
  }
  void TearDown() override {
    close_port(port_);
    close_pty(pty_);
  }
  LineSettings current() const {
    LineSettings now{};
    read_line_settings(port_.fd, now);
    return now;
  }
  void expect_round_trip(const LineSettings& prior);
  Pty pty_;
  OpenPort port_;
};

// Only a place the port's users alone can reach is used; in it, what cannot
// serve as the lock ends the run instead of being passed over.
TEST(OpenPort, UsesOnlyALockPlaceThePortsUsersAloneCanReach) {
  const uid_t self = geteuid();
  struct Case {
    const char* place;  // shell commands that make the place at $p and what is in it ($f)
    bool opened;
    bool device_locked;
    int error = 0;  // the lock file's trouble: errno, or 0 when it is no plain file
  };
  const Case cases[] = {
      {"mkdir -m 2770 $p", true, true},
      {"mkdir -m 0700 $p && : >$f", true, true},
      {"true", true, false},
      {"mkdir -m 0777 $p", true, false},
      {"mkdir -m 0771 $p", true, false},
      {"mkdir -m 0700 $p.real && ln -s $p.real $p", true, false},
      {": >$p", true, false},
      {"mkdir -m 0700 $p && mkfifo $f", false, false},
      {"mkdir -m 0700 $p && mkdir $f", false, false},
      {"mkdir -m 0700 $p && ln -s /dev/null $f", false, false},
      // Root reads a file of mode 0 all the same; anyone else is refused.
      {"mkdir -m 0700 $p && : >$f && chmod 0 $f", self == 0, self == 0, EACCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.place);
    Pty pty;
    std::string error;
    ASSERT_TRUE(open_pty(pty, error)) << error;
    char scratch[] = "/tmp/dualrow-place.XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    const std::string place = std::string(scratch) + "/place";
    const std::string file =
        place + "/" + std::to_string(major(pty.device)) + ":" + std::to_string(minor(pty.device));
    const std::string make = "p='" + place + "' f='" + file + "'; " + c.place;
    ASSERT_EQ(std::system(make.c_str()), 0);
    OpenPort port;
    PortFault fault;
    EXPECT_EQ(open_port(pty.slave_path.c_str(), place.c_str(), port, fault), c.opened);
    EXPECT_EQ(port.lock.fd >= 0, c.device_locked);
    if (!c.opened) {
      EXPECT_EQ(fault.trouble, PortTrouble::kNoTurn);
      EXPECT_EQ(fault.error, c.error);
      EXPECT_EQ(fault.lock_path, std::string(port.lock.path));
      EXPECT_EQ(port.fd, -1);  // nothing held
    } else {
      EXPECT_EQ(fcntl(port.fd, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_RDWR);
      // Another open description of the node, or of the device's lock file (as
      // a run through another node of the device has), cannot take the lock.
      for (const std::string& path : {pty.slave_path, c.device_locked ? file : pty.slave_path}) {
        const int other = open(path.c_str(), O_RDONLY | O_NOCTTY);
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << path;
        close(other);
      }
    }
    struct stat lock {};
    const bool made_by_the_run = std::string(c.place).find("$f") == std::string::npos;
    if (c.device_locked && made_by_the_run && stat(file.c_str(), &lock) == 0) {
      EXPECT_EQ(lock.st_mode & 07777, 0660u);  // the group's, whatever the umask
    }
    close_port(port);
    close_pty(pty);
    ASSERT_EQ(std::system(("rm -rf '" + std::string(scratch) + "'").c_str()), 0);
  }
  // Ownership, which an unprivileged test cannot give away: root's or the
  // caller's own, never another user's.
  struct stat place {};
  place.st_mode = S_IFDIR | 02770;
  for (const uid_t owner : {0U, 4242U}) {
    place.st_uid = owner;
    EXPECT_TRUE(trusted_lock_place(place, owner));
    EXPECT_EQ(trusted_lock_place(place, 4343), owner == 0) << owner;
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
  ASSERT_TRUE(write_line_settings(port_.fd, prior));
  const LineSettings before = current();
  PortFault fault;
  SavedSettings saved;
  Deadline bound;
  ASSERT_TRUE(configure_display_port(port_.fd, saved, fault));
  EXPECT_EQ(current(), display_mode_on_a_pty());
  ASSERT_TRUE(start_output_bound(bound, fault));
  EXPECT_TRUE(drain_display_port(port_.fd, bound, fault));
  clear_deadline(bound);
  restore_port_settings(port_.fd, pty_.slave_path.c_str(), saved, fault);
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
  for (const std::uint32_t rate : {31250U, 250000U}) {
    expect_round_trip(at_custom_rate(rate));
  }
}

}  // namespace
