// dualrow on a real serial driver: a Linux kernel booted under QEMU with one
// emulated 16550 as its /dev/ttyS0. QEMU's trace of the UART's registers shows
// the line parameters in force when each byte entered the transmit register;
// the host holds the UART's output back to make a restore that overtakes the
// frame visible.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/expected_frame.h"

namespace {

using Clock = std::chrono::steady_clock;

struct LineParameters {
  long baud = 0;
  char parity = '?';
  int data_bits = 0;
  int stop_bits = 0;
  bool operator==(const LineParameters&) const = default;
};

const LineParameters kDisplayLine{9600, 'E', 8, 2};

struct SentByte {
  unsigned char value;
  LineParameters parameters;
  double time;  // seconds since the epoch, when it entered the transmit register
};

struct ParameterChange {
  LineParameters parameters;
  double time;
};

struct Boot {
  std::string problem;  // why the boot could not be run or read
  int qemu_status = -1;
  std::string report;  // what the guest wrote to the debug console
  std::string wire;    // what reached the host after its filler
  std::vector<SentByte> sent;
  std::vector<ParameterChange> changes;
  double release_time = 0;  // when the host began reading the held-back output
  double seconds = 0;
};

enum class Hold {
  kNone,       // the host reads the UART's output as it comes
  kOneSecond,  // from the guest's "go" on, then reads it
  kForever,    // until the guest has finished
};

struct Scenario {
  std::string commands;  // shell lines run by the guest's init; they set `status`
  Hold hold = Hold::kNone;
};

// The files of one boot, in a directory of its own.
struct Guest {
  std::string dir;
  std::string root() const { return dir + "/root"; }
  std::string port() const { return dir + "/port"; }  // QEMU adds .in and .out
  std::string report() const { return dir + "/report"; }
  std::string trace() const { return dir + "/trace"; }
};

// The host's ends of the UART's line.
struct HostPort {
  int input = -1;
  int output = -1;
  std::size_t filler = 0;  // bytes put in the output pipe to hold the UART back
};

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

double now_seconds() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  return chmod(path.c_str(), mode) == 0;
}

int run_shell(const std::string& command) { return std::system(command.c_str()); }

std::string init_script(const Scenario& scenario) {
  return R"SH(#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
report() { printf '%s\n' "$*" | guest_report; }
uptime() { cut -d' ' -f1 /proc/uptime; }
# Settings no display uses, as an earlier program could have left them.
stty -F /dev/ttyS0 115200 cs7 -parenb -cstopb clocal -crtscts
report "before=$(stty -F /dev/ttyS0 -g)"
report "go"
started=$(uptime)
)SH" + scenario.commands +
         R"SH(
report "seconds=$(awk "BEGIN { print $(uptime) - $started }")"
report "status=$status"
report "after=$(stty -F /dev/ttyS0 -g)"
report "stdout=$(cat /tmp/out)"
report "stderr=$(cat /tmp/err)"
report "end"
guest_report exit 0
)SH";
}

std::string field(const std::string& report, const std::string& name) {
  const std::string key = name + "=";
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return "<missing>";
}

void read_trace(const std::string& path, Boot& boot) {
  static const std::regex write_event(
      R"(@(\d+\.\d+):serial_write write addr 0x([0-9a-f]+) val 0x([0-9a-f]+))");
  static const std::regex update_event(
      R"(@(\d+\.\d+):serial_update_parameters baudrate=(\d+) parity='(.)' data=(\d+) stop=(\d+))");
  std::ifstream in(path);
  LineParameters current;
  bool divisor_latch = false;
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, update_event)) {
      current = {std::stol(m[2]), m[3].str()[0], std::stoi(m[4]), std::stoi(m[5])};
      boot.changes.push_back({current, std::stod(m[1])});
    } else if (std::regex_search(line, m, write_event)) {
      const unsigned long address = std::stoul(m[2], nullptr, 16);
      const auto value = static_cast<unsigned char>(std::stoul(m[3], nullptr, 16));
      if (address == 3) {
        divisor_latch = (value & 0x80) != 0;  // LCR.DLAB: offsets 0 and 1 are the divisor
      } else if (address == 0 && !divisor_latch) {
        boot.sent.push_back({value, current, std::stod(m[1])});
      }
    }
  }
}

// The guest's root: busybox, the programs under test and the init script.
bool make_initrd(const Guest& guest, const Scenario& scenario, const std::string& busybox,
                 std::string& problem) {
  const std::string root = guest.root();
  const bool made =
      run_shell("mkdir -p " + root + "/bin " + root + "/dev " + root + "/proc " + root + "/tmp") ==
          0 &&
      run_shell("cp " + busybox + " " + root +
                "/bin/busybox && cp " DUALROW_STATIC " " GUEST_REPORT " " GUEST_HANGUP
                " " RESTORE_WITHOUT_DRAIN " " +
                root + "/bin/") == 0 &&
      write_file(root + "/init", init_script(scenario), 0755) &&
      run_shell("cd " + root + " && find . | cpio -o -H newc --quiet > " + guest.dir + "/initrd") ==
          0;
  if (!made) problem = "could not build the guest's initrd in " + guest.dir;
  return made;
}

// Two FIFOs for QEMU's pipe chardev. A held line starts with a full, small
// output pipe: QEMU cannot pass the UART's bytes on, so they queue in the guest.
HostPort open_host_port(const Guest& guest, Hold hold) {
  HostPort port;
  mkfifo((guest.port() + ".in").c_str(), 0600);
  mkfifo((guest.port() + ".out").c_str(), 0600);
  port.input = open((guest.port() + ".in").c_str(), O_RDWR | O_CLOEXEC);
  port.output = open((guest.port() + ".out").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (hold != Hold::kNone && port.output >= 0) {
    fcntl(port.output, F_SETPIPE_SZ, 4096);
    const std::string block(4096, '\xff');
    for (ssize_t n; (n = write(port.output, block.data(), block.size())) > 0;) {
      port.filler += static_cast<std::size_t>(n);
    }
  }
  return port;
}

pid_t start_qemu(const std::string& kernel, const Guest& guest) {
  write_file(guest.dir + "/events", "serial_write\nserial_update_parameters\n");
  const std::vector<std::string> args = {
      "qemu-system-x86_64", "-nodefaults", "-display", "none", "-no-reboot", "-m", "256", "-kernel",
      kernel, "-initrd", guest.dir + "/initrd",
      // The marker lets the guest-only helpers tell that they run in here.
      "-append", "console=tty0 panic=-1 quiet dualrow.uart_guest", "-chardev",
      "pipe,id=port,path=" + guest.port(), "-serial", "chardev:port", "-chardev",
      "file,id=report,path=" + guest.report(), "-device", "isa-debugcon,iobase=0xe9,chardev=report",
      "-device", "isa-debug-exit,iobase=0xf4,iosize=4", "-msg", "timestamp=on", "-trace",
      "events=" + guest.dir + "/events", "-D", guest.trace()};
  const pid_t qemu = fork();
  if (qemu == 0) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return qemu;
}

void read_available(int fd, std::string& into) {
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    into.append(buffer, static_cast<std::size_t>(n));
  }
}

// Until QEMU ends: holds the line as the scenario asks, then reads it.
int watch_boot(pid_t qemu, const Guest& guest, const HostPort& port, Hold hold, Boot& boot,
               std::string& received) {
  const auto started = Clock::now();
  bool releasing = hold == Hold::kNone;
  Clock::time_point release_at = Clock::time_point::max();
  int status = 0;
  for (;;) {
    if (hold == Hold::kOneSecond && release_at == Clock::time_point::max() &&
        read_file(guest.report()).find("go\n") != std::string::npos) {
      release_at = Clock::now() + std::chrono::seconds(1);
    }
    if (!releasing && Clock::now() >= release_at) {
      releasing = true;
      boot.release_time = now_seconds();
    }
    if (releasing) read_available(port.output, received);
    if (waitpid(qemu, &status, WNOHANG) == qemu) break;
    if (Clock::now() - started > std::chrono::seconds(100)) {
      kill(qemu, SIGKILL);
      waitpid(qemu, &status, 0);
      boot.problem = "the emulated machine did not finish in 100 s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!releasing) boot.release_time = now_seconds();
  return status;
}

class UartSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    // The build names the kernel it found (or was told of); see tests/CMakeLists.txt.
    kernel_ = env_or("DUALROW_UART_KERNEL", "");
    busybox_ = env_or("DUALROW_UART_BUSYBOX", "/bin/busybox");
    if (access(kernel_.c_str(), R_OK) != 0) {
      const std::string missing = "no kernel at '" + kernel_ + "' (tools/fetch-uart-kernel)";
      if (std::getenv("DUALROW_REQUIRE_ALL") != nullptr) FAIL() << missing;
      GTEST_SKIP() << missing;
    }
  }

  Boot boot_guest(const Scenario& scenario) {
    Boot boot;
    char dir_template[] = "/tmp/dualrow-uart.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
      boot.problem = std::string("mkdtemp: ") + std::strerror(errno);
      return boot;
    }
    const Guest guest{dir_template};
    if (!make_initrd(guest, scenario, busybox_, boot.problem)) return boot;
    const HostPort port = open_host_port(guest, scenario.hold);
    if (port.input < 0 || port.output < 0) {
      boot.problem = "could not open the UART's pipes";
      return boot;
    }
    const auto started = Clock::now();
    std::string received;
    const int status =
        watch_boot(start_qemu(kernel_, guest), guest, port, scenario.hold, boot, received);
    read_available(port.output, received);
    close(port.input);
    close(port.output);
    boot.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    boot.qemu_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    boot.report = read_file(guest.report());
    boot.wire = received.size() >= port.filler ? received.substr(port.filler) : "";
    read_trace(guest.trace(), boot);
    if (std::getenv("DUALROW_UART_KEEP") == nullptr) run_shell("rm -rf " + guest.dir);
    std::cout << "boot took " << boot.seconds << " s; the scenario "
              << field(boot.report, "seconds") << " s\n";
    return boot;
  }

  std::string kernel_;
  std::string busybox_;
};

// What the trace shows wrong about the frame `expected`, one line a fault.
std::vector<std::string> frame_faults(const Boot& boot, const std::string& expected, bool held) {
  std::vector<std::string> faults;
  std::string sent;
  for (const SentByte& byte : boot.sent) sent.push_back(static_cast<char>(byte.value));
  const std::size_t start = sent.find(kExpectedLeadIn);
  if (start == std::string::npos) return {"no lead-in reached the transmit register"};
  if (sent.substr(start) != expected)
    faults.push_back("the transmitted bytes differ from the frame");
  std::size_t wrong = 0;
  for (std::size_t i = start; i < boot.sent.size(); ++i) {
    wrong += !(boot.sent[i].parameters == kDisplayLine);
  }
  if (wrong > 0)
    faults.push_back(std::to_string(wrong) + " frame bytes sent under other parameters");
  if (held) {
    if (boot.sent.back().time < boot.release_time) {
      faults.push_back("the output was never held back: the check proves nothing");
    }
    for (const ParameterChange& change : boot.changes) {
      if (change.time >= boot.sent[start].time && !(change.parameters == kDisplayLine) &&
          change.time < boot.release_time) {
        faults.push_back("the parameters changed while the frame was held back");
        break;
      }
    }
  }
  return faults;
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// How many bytes entered the transmit register under other parameters than
// the display's: bytes of the frame that would leave garbled.
std::size_t sent_under_other_parameters(const Boot& boot) {
  std::size_t wrong = 0;
  for (const SentByte& byte : boot.sent) wrong += !(byte.parameters == kDisplayLine);
  return wrong;
}

double scenario_seconds(const Boot& boot) {
  const std::string seconds = field(boot.report, "seconds");
  return seconds == "<missing>" ? -1 : std::stod(seconds);
}

// Guest commands: `dualrow Hello World` in the background, `action` `delay`
// seconds into its run (its status reported as `name`), then the run's status.
std::string while_running(const std::string& delay, const std::string& action,
                          const std::string& name) {
  return "dualrow Hello World >/tmp/out 2>/tmp/err & pid=$!\nsleep " + delay + "\n" + action +
         "; report \"" + name + "=$?\"\nwait $pid; status=$?";
}

const std::string kHelloWorld = expected_frame({"Hello", "World"});
const std::string kStalled =
    "/dev/ttyS0: output stalled: the frame did not leave the port within 2 s";

TEST_F(UartSystem, FrameLeavesAt9600E82AndTheRestoreWaitsForIt) {
  const Boot boot =
      boot_guest({"dualrow Hello World >/tmp/out 2>/tmp/err; status=$?", Hold::kOneSecond});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;  // the guest reached its end
  EXPECT_EQ(boot.wire, kHelloWorld);
  EXPECT_EQ(join(frame_faults(boot, kHelloWorld, true)), "");
  EXPECT_EQ(field(boot.report, "status"), "0");
  EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
  EXPECT_EQ(field(boot.report, "stdout"), "");
}

TEST_F(UartSystem, NoArgumentsSendsOnlyTheLeadInAndPrintsUsage) {
  const Boot boot = boot_guest({"dualrow >/tmp/out 2>/tmp/err; status=$?", Hold::kNone});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;
  EXPECT_EQ(boot.wire, kExpectedLeadIn);
  EXPECT_EQ(join(frame_faults(boot, kExpectedLeadIn, false)), "");
  EXPECT_EQ(field(boot.report, "stdout"), "Usage: dualrow <line 1> <line 2>");
  EXPECT_EQ(field(boot.report, "status"), "0");
  EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
}

TEST_F(UartSystem, LongTextsAreCutAndNothingHangs) {
  const std::string a(40, 'a');
  const std::string b(40, 'b');
  const Boot boot =
      boot_guest({"dualrow " + a + " " + b + " >/tmp/out 2>/tmp/err; status=$?", Hold::kOneSecond});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;
  const std::string expected = expected_frame({a, b});  // cut to 30 + LF and 31 bytes
  EXPECT_EQ(boot.wire, expected);
  EXPECT_EQ(join(frame_faults(boot, expected, true)), "");
  EXPECT_EQ(field(boot.report, "status"), "0");
  EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
}

TEST_F(UartSystem, SigtermDuringAStalledDrainStillRestores) {
  const Boot boot =
      boot_guest({while_running("0.3", "kill -TERM $pid", "signalled"), Hold::kOneSecond});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;
  EXPECT_EQ(field(boot.report, "signalled"), "0");  // it was still running, held in the drain
  EXPECT_EQ(field(boot.report, "status"), "143");   // then ended by the signal, as usual
  EXPECT_EQ(boot.wire, kHelloWorld);
  EXPECT_EQ(join(frame_faults(boot, kHelloWorld, true)), "");
  EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
}

TEST_F(UartSystem, TheRigCatchesARestoreWithoutDrain) {
  const Boot boot = boot_guest(
      {"restore_without_drain Hello World >/tmp/out 2>/tmp/err; status=$?", Hold::kOneSecond});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;
  const std::string faults = join(frame_faults(boot, kHelloWorld, true));
  EXPECT_NE(faults.find("frame bytes sent under other parameters"), std::string::npos) << faults;
  EXPECT_NE(faults.find("the parameters changed while the frame was held back"), std::string::npos)
      << faults;
}

TEST_F(UartSystem, OutputNeverReleasedEndsAtTheBoundWithTheSettingsBack) {
  const Boot boot =
      boot_guest({"dualrow Hello World >/tmp/out 2>/tmp/err; status=$?", Hold::kForever});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;  // it ended by itself
  EXPECT_EQ(field(boot.report, "status"), "1");
  EXPECT_EQ(field(boot.report, "stderr"), kStalled);
  EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
  EXPECT_GE(scenario_seconds(boot), 2.0);  // the frame had its whole bound
  EXPECT_FALSE(boot.sent.empty());
  EXPECT_EQ(sent_under_other_parameters(boot), 0u);  // the queue was dropped before the restore
}

TEST_F(UartSystem, SigtermIntoAStalledOutputEndsAtTheBoundWithTheSettingsBack) {
  const Boot boot =
      boot_guest({while_running("0.5", "kill -TERM $pid", "signalled"), Hold::kForever});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;
  EXPECT_EQ(field(boot.report, "signalled"), "0");
  EXPECT_EQ(field(boot.report, "status"), "143");
  EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
  EXPECT_LT(scenario_seconds(boot), 10.0);
  EXPECT_EQ(sent_under_other_parameters(boot), 0u);
}

TEST_F(UartSystem, HangupDuringTheDrainIsReportedAndTheSettingsStillGoBack) {
  const Boot boot =
      boot_guest({while_running("0.3", "guest_hangup /dev/ttyS0", "hungup"), Hold::kOneSecond});
  ASSERT_EQ(boot.problem, "");
  ASSERT_EQ(boot.qemu_status, 1) << boot.report;
  EXPECT_EQ(field(boot.report, "hungup"), "0");
  EXPECT_EQ(field(boot.report, "status"), "1");
  EXPECT_EQ(field(boot.report, "stderr"),
            "/dev/ttyS0: hung up: the frame may not have left; the old settings are back");
  EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
}

}  // namespace
