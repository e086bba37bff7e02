// The real dualrow binary, run on a private /dev/ttyS0 through the tests'
// runner (harness/port_arrangements.h).

#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "display/display_settings.h"
#include "expected_frame.h"
#include "harness/port_arrangements.h"
#include "harness/private_port_test.h"

namespace {

const std::string kUsage = "Usage: dualrow <line 1> <line 2>\n";

class EndToEnd : public PrivatePortTest {
 protected:
  void TearDown() override { unlink(log_path_.c_str()); }

  // dualrow with `args`, after the wrapper command the options may hold.
  static PortRun run(const std::vector<std::string>& args, PortOptions options = {}) {
    options.command.emplace_back(DUALROW_PATH);
    options.command.insert(options.command.end(), args.begin(), args.end());
    PortRun result = run_arranged(options);
    EXPECT_EQ(result.setup_error, "");
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  // The run with the shim preloaded: its calls recorded, and `faults` (its
  // DUALROW_SHIM_* settings) injected.
  PortRun run_recorded(const std::vector<std::string>& args, std::vector<std::string> faults,
                       PortOptions options = {}) const {
    unlink(log_path_.c_str());
    faults.emplace_back(SHIM_PRELOAD);
    faults.push_back("DUALROW_SHIM_LOG=" + log_path_);
    // A sanitized dualrow wants its runtime first; the shim only passes calls on.
    const char* asan = std::getenv("ASAN_OPTIONS");
    faults.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                     ":verify_asan_link_order=0");
    options.environment = faults;
    return run(args, options);
  }

  // The shim's log of the last recorded run, a line a call.
  bool logged(const std::string& pattern) const {
    std::ostringstream log;
    log << std::ifstream(log_path_).rdbuf();
    return std::regex_search(log.str(), std::regex(pattern));
  }

  const std::string log_path_ = "/tmp/dualrow-shim-log." + std::to_string(getpid());
};

TEST_F(EndToEnd, SendsTheFrameForTheArgumentsGiven) {
  struct Case {
    std::vector<std::string> args;
    std::string wire;
    std::string out;
    std::string closing = "";  // shell redirections that close standard streams first
    std::string pending = "";  // bytes the port received before the run, to be discarded
    Tree tree = Tree::kAsItIs;
  };
  LineSettings raw = unusual_settings();
  raw.c_iflag = raw.c_lflag = 0;  // every byte received counts as pending at once
  const Case cases[] = {
      {{}, kExpectedLeadIn, kUsage},
      {{"Hello"}, kExpectedLeadIn + "      Hello\n", ""},
      {{"Hello", "World"}, kExpectedLeadIn + "      Hello\n      World", ""},
      {{"Hello", "World", "third", "fourth"}, kExpectedLeadIn + "      Hello\n      World", ""},
      {{"", ""}, kExpectedLeadIn + std::string(8, ' ') + "\n" + std::string(8, ' '), ""},
      {{"-h"}, kExpectedLeadIn + "       -h\n", ""},
      // Every byte as it is: no newline of the text turns into CR LF on the way.
      {{"a\nb", "\x01\xc3\xa9"}, kExpectedLeadIn + "       a\nb\n" + "       \x01\xc3\xa9", ""},
      // Without stdout the port would be opened as descriptor 1, the usage line's.
      {{}, kExpectedLeadIn, "", ">&-"},
      {{}, kExpectedLeadIn, "", ">&- 2>&-"},
      {{"Hello"}, kExpectedLeadIn + "      Hello\n", "", "<&- >&- 2>&-"},
      {{"x"}, expected_frame({"x"}), "", "", "stale bytes from the display"},
      // The node alone decides a run: a tree it cannot write into changes
      // nothing, nor does anything left where lock files are kept.
      {{"x"}, expected_frame({"x"}), "", "", "", Tree::kReadOnly},
      {{"x"}, expected_frame({"x"}), "", "", "", Tree::kPlanted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.closing + " " + c.wire + " " + std::to_string(static_cast<int>(c.tree)));
    PortOptions options;
    options.command = {"sh", "-c", "exec \"$0\" \"$@\" " + c.closing};
    options.tree = c.tree;
    options.pending_input = c.pending;
    if (!c.pending.empty()) options.prior = raw;
    const PortRun result = run_recorded(c.args, {}, options);
    ASSERT_EQ(result.pending_input_before, static_cast<int>(c.pending.size()));
    EXPECT_EQ(result.pending_input_after, 0);
    EXPECT_EQ(result.wire, c.wire);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(exit_code(result), 0);
    EXPECT_EQ(result.after, result.before);
    // Nothing went where a closed stream was.
    EXPECT_FALSE(!c.closing.empty() && logged("(^|\n)write fd=[0-2] "));
  }
}

// A port that is missing, closed to the user or no terminal gets nothing: no
// byte, no usage line, no change.
TEST_F(EndToEnd, APortThatCannotBeHadGetsNothing) {
  struct Case {
    const char* make = "true";   // shell commands that make /dev/ttyS0, or change the private one
    const char* check = "true";  // true when nothing was written into it
    std::vector<std::string> args = {"Hello", "World"};
    int status = 255;
    std::string err = "";
    bool port = false;         // the private port is there to begin with
    std::string wrapper = "";  // what dualrow runs under
  };
  const std::string missing = "/dev/ttyS0: No such file or directory\n";
  const std::string not_a_terminal = "/dev/ttyS0: save settings: Inappropriate ioctl for device\n";
  // Root may open any node: then the run is nobody's. Anyone else is refused mode 0.
  const bool root = getuid() == 0;
  const Case cases[] = {
      {.args = {}, .err = missing},
      {.err = missing},
      {.make = root ? "chmod 0600 /dev/ttyS0" : "chmod 0 /dev/ttyS0",
       .args = {},
       .err = "/dev/ttyS0: Permission denied\n",
       .port = true,
       .wrapper = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : ""},
      {.make = ": >/dev/ttyS0", .check = "[ ! -s /dev/ttyS0 ]", .status = 1, .err = not_a_terminal},
      {.make = "mkfifo /dev/ttyS0 && exec 3<>/dev/ttyS0",
       .check = "echo end >&3 && IFS= read -r first <&3 && [ \"$first\" = end ]",
       .args = {"Hello"},
       .status = 1,
       .err = not_a_terminal},
      {.make = "ln -s null /dev/ttyS0", .status = 1, .err = not_a_terminal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.make + (" " + c.wrapper));
    PortOptions options;
    options.create_port = c.port;  // else the private /dev has none until the script makes one
    options.command = {"sh", "-c",
                       std::string(c.make) + " && { " + c.wrapper + "\"$0\" \"$@\"; status=$?; " +
                           c.check + " || exit 9; exit $status; }",
                       DUALROW_PATH};
    options.command.insert(options.command.end(), c.args.begin(), c.args.end());
    const PortRun result = run_arranged(options);
    ASSERT_EQ(result.setup_error, "");
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.wire, "");
    EXPECT_EQ(exit_code(result), c.status);
    EXPECT_EQ(result.after, result.before);
  }
}

TEST_F(EndToEnd, EveryWaitEndsAtItsDeadlineOrAtAStopSignal) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  const std::string busy = "/dev/ttyS0: busy: another process has held the port for 10 s\n";
  const std::string stalled =
      "/dev/ttyS0: output stalled: the frame did not leave the port within 2 s\n";
  struct Case {
    const char* wait;
    bool locked;  // else the port's output is stopped
    int signal;
    int status;  // exit status, or -1 for the signal's death
    std::string err;
    milliseconds at_least;
    milliseconds below;
    bool no_timers = false;  // RLIMIT_SIGPENDING 0: timer_create fails with EAGAIN
  };
  const Case cases[] = {
      // Busy only once the port was held for the whole wait, which needs no timer.
      {"another run's lock", true, 0, 255, busy, seconds(10), seconds(15), true},
      // A stop signal ends the wait for the lock at once: nothing is held yet.
      {"another run's lock", true, SIGTERM, -1, "", milliseconds(0), seconds(10)},
      // A slow frame gets its whole deadline.
      {"a stalled port", false, 0, 1, stalled, seconds(2), seconds(10)},
      // Held until the old settings are back, then it ends the run.
      {"a stalled port", false, SIGTERM, -1, "", seconds(2), seconds(10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.wait) + ", signal " + std::to_string(c.signal));
    PortOptions options;
    if (c.no_timers) options.command = {"prlimit", "--sigpending=0"};
    options.timeout = seconds(15);
    options.lock_port = c.locked;
    options.hold_output = !c.locked;
    options.signal = c.signal;
    options.signal_after = milliseconds(500);
    const PortRun result = run({"Hello", "World"}, options);
    EXPECT_EQ(exit_code(result), c.status);
    EXPECT_EQ(killed_by(result), c.signal);
    EXPECT_EQ(result.err, c.err);
    EXPECT_TRUE(!c.locked || result.wire.empty());  // nothing sent, nothing touched
    EXPECT_EQ(result.after, result.before);
    EXPECT_GE(result.elapsed, c.at_least);
    EXPECT_LT(result.elapsed, c.below);
    std::printf("%s, signal %d: ended after %lld ms\n", c.wait, c.signal,
                static_cast<long long>(result.elapsed.count()));
  }
}

TEST_F(EndToEnd, EachFailureOrStopSignalEndsTheRunAndNothingIsSentBlind) {
  const std::string frame = expected_frame({"Hello", "World"});
  struct Case {
    std::vector<std::string> faults = {};  // for the shim
    std::string err = "";
    std::string wire = "";  // what reaches the display end
    bool restored = true;
    bool prefix = false;  // `wire` or any start of it: how much left first is the port's race
    std::optional<LineSettings> prior = {};
    std::vector<std::string> wrapper = {};  // the command dualrow runs under
    int signal = 0;                         // the run ends by it
  };
  const auto mid_frame = [](int signal) {
    return std::vector<std::string>{"DUALROW_SHIM_WRITE_MAX=1", "DUALROW_SHIM_SIGNAL_AT=6",
                                    "DUALROW_SHIM_SIGNAL=" + std::to_string(signal)};
  };
  const std::string cannot = "/dev/ttyS0: the port cannot do 9600 8E2 (it kept ";
  const std::string hung_up = "/dev/ttyS0: hung up: the frame may not have left; ";
  const std::string eio = "/dev/ttyS0: Input/output error\n";
  const auto eio_in = [](const std::string& step) {
    return "/dev/ttyS0: " + step + ": Input/output error\n";
  };
  const std::string modes =
      "with output processing with echo with XON/XOFF with signal characters with line editing";
  const std::string prior = "115200 8N1 " + modes;
  LineSettings display_mode = make_display_settings();  // as a killed run leaves a pty
  display_mode.c_cflag &= ~static_cast<std::uint32_t>(PARENB);
  const Case cases[] = {
      // Nothing saved, so nothing is put back: display settings applied anyway would stay.
      {{"DUALROW_SHIM_FAIL=tcgetattr:1"}, eio_in("save settings"), ""},
      {{"DUALROW_SHIM_FAIL=tcflush:1"}, eio_in("discard input"), frame},
      // The apply's word counts for nothing: what the port reads back decides.
      {{"DUALROW_SHIM_FAIL=tcsetattr:1"}, cannot + prior + ")\n", ""},
#ifndef DUALROW_EMULATED  // qemu-user sets no rate outside the B-constants
      // A rate no B-constant names is named as it is.
      {.faults = {"DUALROW_SHIM_FAIL=tcsetattr:1"},
       .err = cannot + "31250 8N1 " + modes + ")\n",
       .prior = at_custom_rate(31250)},
#endif
      {{"DUALROW_SHIM_FAIL=tcsetattr:1:22"}, "", frame, true, false, display_mode},
      {{"DUALROW_SHIM_FAIL=tcsetattr:1,tcgetattr:2"}, eio_in("apply display settings")},
      {{"DUALROW_SHIM_FAIL=tcgetattr:2"}, eio_in("read back settings")},
      // What the port kept, read back, as a UART that cannot do the display's
      // line shows it; a pseudo-terminal itself never keeps PARENB.
      {{"DUALROW_SHIM_READ_BACK=2:cflag:40"}, cannot + "9600 8N1)\n", ""},
      {{"DUALROW_SHIM_READ_BACK=2:cflag:80000000"}, cannot + "9600 8N2 with RTS/CTS)\n", ""},
      {{"DUALROW_SHIM_READ_BACK=2:oflag:1"}, cannot + "9600 8N2 with output processing)\n", ""},
      {{"DUALROW_SHIM_READ_BACK=2:lflag:8"}, cannot + "9600 8N2 with echo)\n", ""},
      // Fields a root process locked: the speed's code (here 38400's) drives
      // the line whatever the speed fields say; a signal character from the
      // line would drop queued output.
      {{"DUALROW_SHIM_READ_BACK=2:cflag:2"}, cannot + "38400 8N2)\n", ""},
      {{"DUALROW_SHIM_READ_BACK=2:lflag:1"}, cannot + "9600 8N2 with signal characters)\n", ""},
      // Nothing was sent: that says more than the stale input left behind.
      {{"DUALROW_SHIM_FAIL=tcflush:1", "DUALROW_SHIM_READ_BACK=2:cflag:40"},
       cannot + "9600 8N1)\n",
       ""},
      // Short and interrupted writes are finished; an interrupted drain is
      // tried again.
      {{"DUALROW_SHIM_WRITE_MAX=1"}, "", frame},
      {{"DUALROW_SHIM_WRITE_MAX=3", "DUALROW_SHIM_FAIL=write:1:4,write:2:4,write:5:4"}, "", frame},
      {{"DUALROW_SHIM_FAIL=tcdrain:1:4"}, "", frame},
      // A write fails: the rest of the frame is not sent.
      {{"DUALROW_SHIM_FAIL=write:1"}, eio, ""},
      {{"DUALROW_SHIM_FAIL=write:2"}, eio, kExpectedLeadIn},
      {{"DUALROW_SHIM_FAIL=write:3"}, eio, kExpectedLeadIn + "      Hello\n"},
      // What was queued is dropped, not sent under the old settings.
      {.faults = {"DUALROW_SHIM_FAIL=tcdrain:1"},
       .err = eio_in("drain"),
       .wire = frame,
       .prefix = true},
      // Signals that cannot be held could end the run in display mode.
      {{"DUALROW_SHIM_FAIL=sigprocmask:2"}, eio_in("hold signals")},
      // No timer to be had (RLIMIT_SIGPENDING 0): no deadline, so nothing is sent.
      {.err = "/dev/ttyS0: bound the output: Resource temporarily unavailable\n",
       .wrapper = {"prlimit", "--sigpending=0"}},
      {{"DUALROW_SHIM_FAIL=tcsetattr:2:22"},
       "/dev/ttyS0: restore settings: Invalid argument\n",
       frame,
       false},
      // The port said yes but kept other settings: what it holds is read back.
      {{"DUALROW_SHIM_READ_BACK=3:cflag:40"},
       "/dev/ttyS0: the old settings did not all come back: control modes (it had " + prior +
           ", it now has 115200 8N2 " + modes + ")\n",
       frame},
      // EIO: the descriptor was hung up; the settings go back through a new
      // one, by /proc or, with /proc hidden, by the path to the same device.
      {{"DUALROW_SHIM_FAIL=tcsetattr:2"}, hung_up + "the old settings are back\n", frame},
      {{"DUALROW_SHIM_FAIL=tcsetattr:2,open:2:2"}, hung_up + "the old settings are back\n", frame},
      {{"DUALROW_SHIM_FAIL=tcsetattr:2,open:2:2", "DUALROW_SHIM_OPEN_AS=3:/dev/null"},
       hung_up + "the old settings could not be put back (the path now leads to another device)\n",
       frame,
       false},
      // A stop signal mid-frame ends the run, but only once the old settings are
      // back. SIGALRM is the output deadline's timer signal: one sent by another
      // process must still end the run, even as clearing the deadline puts back
      // SIGALRM's old action.
      {.faults = mid_frame(SIGTERM), .wire = frame, .signal = SIGTERM},
      {.faults = mid_frame(SIGUSR1), .wire = frame, .signal = SIGUSR1},
      {.faults = mid_frame(SIGPIPE), .wire = frame, .signal = SIGPIPE},
      {.faults = mid_frame(SIGALRM), .wire = frame, .signal = SIGALRM},
      {.faults = {"DUALROW_SHIM_ALARM_ON_SIGACTION=1"}, .wire = frame, .signal = SIGALRM},
      {{"DUALROW_SHIM_FAIL=tcsetattr:2,open:2:2,open:3:6"},
       "/dev/ttyS0: hung up: the device is gone; the frame may not have left\n",
       frame,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults.empty() ? c.err : c.faults.back());
    PortOptions options;
    options.command = c.wrapper;
    if (c.prior) options.prior = c.prior;
    const PortRun result = run_recorded({"Hello", "World"}, c.faults, options);
    if (c.prefix) {
      EXPECT_EQ(c.wire.rfind(result.wire, 0), 0u) << result.wire;
    } else {
      EXPECT_EQ(result.wire, c.wire);
    }
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(killed_by(result), c.signal);
    EXPECT_EQ(exit_code(result), c.signal != 0 ? -1 : c.err.empty() ? 0 : 1);
    EXPECT_EQ(result.after == result.before, c.restored);
    if (c.prefix) {  // dropped after the failed drain, before the restore
      EXPECT_TRUE(logged("tcdrain[^]*\ntcflush " + std::to_string(TCOFLUSH) + "\n[^]*tcsetattr"));
    }
  }
}

}  // namespace
