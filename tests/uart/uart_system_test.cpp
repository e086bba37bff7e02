// dualrow on real serial drivers: a Linux kernel booted under QEMU with one
// emulated UART as its /dev/ttyS0, or another port bound over it as the
// README's recipes do. QEMU's trace of the UART's registers shows the line
// parameters in force when each byte entered the transmit register; the host
// holds the UART's output back to make a restore that overtakes the frame
// visible. For the USB adapter, the trace shows the settings it was sent and
// each bulk OUT. Each scenario is a row; one runner boots it and checks it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "expected_frame.h"

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
  std::size_t received_before_go = 0;  // bytes the host had read when the guest said "go"
  std::string after_go;                // what reached the host from then on
  std::vector<double> bulk_out;        // when the adapter was handed data to send
  std::string problem;                 // why the boot could not be run or read
  int qemu_status = -1;
  std::string report;  // what the guest reported
  std::string wire;    // what reached the host after its filler
  std::vector<SentByte> sent;
  std::vector<ParameterChange> changes;
  double release_time = 0;  // when the host began reading the held-back output
  double end_time = 0;      // when the emulated machine had ended
  double seconds = 0;
};

enum class Hold {
  kNone,         // the host reads the UART's output as it comes
  kOneSecond,    // from the guest's "go" on, then reads it
  kForever,      // until the guest has finished
  kUntilPulled,  // from "go" on, until the USB adapter has been pulled out
};

enum class Machine {
  k16550,          // a PC's own /dev/ttyS0
  kUsbSerial,      // a PC with an FTDI adapter, its /dev/ttyUSB0 bound over /dev/ttyS0
  kArm64Pci16550,  // an arm64 board (QEMU's virt) with a 16550 on PCI as /dev/ttyS0
  kPi3MiniUart,    // a Raspberry Pi 3, its mini UART as /dev/ttyS0 (as Raspberry Pi OS has it)
  kPi3Pl011,       // the remedy: Bluetooth off, the PL011 bound over /dev/ttyS0
};

bool is_pi(Machine machine) {
  return machine == Machine::kPi3MiniUart || machine == Machine::kPi3Pl011;
}
bool is_arm(Machine machine) { return machine == Machine::kArm64Pci16550 || is_pi(machine); }

// What a row checks besides the status, standard error and settings.
enum class Check {
  kFrame,         // `wire` reached the host exactly, every byte under 9600 8E2, none overtaken
  kRigCatches,    // those checks fail: the rig can tell a restore that overtakes the frame
  kStall,         // bytes were queued, and none of the frame went under other parameters
  kAdapter,       // `wire` exactly; the adapter got 8E2 9600 before the frame, the old after
  kPulled,        // over within 3 s of the detach, never a claim that the settings are back
  kNoFrameBytes,  // no byte of the frame on the line
  kNothingMore,
};

struct Scenario {
  const char* name;
  Machine machine;
  Hold hold;
  std::string commands;          // shell lines run by the guest's init; they set `status`
  std::string status;            // the run's exit status, as the guest reports it
  std::vector<std::string> err;  // what its standard error may hold (none: empty)
  Check check;
  std::string wire = "";
  std::vector<std::pair<std::string, std::string>> fields = {};  // more of the report
  double at_least = 0;  // seconds the scenario took in the guest
  double below = 100;
  bool settings_back = true;  // `stty -g` after equals before (not once the device is gone)
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// The files of one boot, in a directory of its own.
struct Guest {
  std::string dir;
  std::string root() const { return dir + "/root"; }
  std::string port() const { return dir + "/port"; }  // QEMU adds .in and .out
  std::string report() const { return dir + "/report"; }
  std::string trace() const { return dir + "/trace"; }
  std::string monitor() const { return dir + "/monitor"; }  // QEMU adds .in and .out
};

// The host's ends of the UART's line.
struct HostPort {
  int input = -1;
  int output = -1;
  int monitor = -1;         // QEMU's monitor, for pulling the adapter out
  int monitor_output = -1;  // where it answers, unread
  std::size_t filler = 0;   // bytes put in the output pipe to hold the UART back
};

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

// Another port bound over /dev/ttyS0, as the README's recipes do.
std::string bind_over_ttys0(const std::string& node) {
  return "i=0; while [ ! -e " + node + " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n" +
         "[ -e /dev/ttyS0 ] || touch /dev/ttyS0\nmount --bind " + node +
         " /dev/ttyS0 || report \"no " + node + "\"\n";
}

// What the guest does before the scenario, to make the machine's port /dev/ttyS0.
std::string prelude(Machine machine) {
  if (machine == Machine::kUsbSerial) {
    // The adapter's modules, in the order they load (tests/CMakeLists.txt).
    return std::string("for m in " UART_MODULES) +
           "; do insmod /lib/modules/$m.ko || report \"insmod $m failed\"; done\n" +
           bind_over_ttys0("/dev/ttyUSB0");
  }
  return machine == Machine::kPi3Pl011 ? bind_over_ttys0("/dev/ttyAMA0") : "";
}

// How the guest reports: a PC through QEMU's debug console; an ARM board
// through the kernel's log on its console (printed at once, whatever the
// state of the port's interrupts).
std::string report_function(Machine machine) {
  return is_arm(machine) ? R"SH(report() { printf '<2>dualrow-report: %s\n' "$*" > /dev/kmsg; })SH"
                         : R"SH(report() { printf '%s\n' "$*" | guest_report; })SH";
}

// How the guest ends: a PC through QEMU's debug exit (status 1); an ARM board
// powers off or, a Raspberry Pi, resets through its watchdog (status 0).
std::string halt_command(Machine machine) {
  if (machine == Machine::kArm64Pci16550) return "poweroff -f";
  if (is_pi(machine)) return "insmod /lib/modules/bcm2835_wdt.ko; reboot -f";
  return "guest_report exit 0";
}

std::string init_script(const Scenario& scenario) {
  return R"SH(#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
uptime() { cut -d' ' -f1 /proc/uptime; }
)SH" + report_function(scenario.machine) +
         "\n" + prelude(scenario.machine) +
         R"SH(# Settings no display uses, as an earlier program could have left them.
stty -F /dev/ttyS0 115200 cs7 -parenb -cstopb clocal -crtscts
report "before=$(stty -F /dev/ttyS0 -g)"
report "go"
started=$(uptime)
)SH" + scenario.commands +
         R"SH(
report "seconds=$(awk "BEGIN { print $(uptime) - $started }")"
report "status=$status"
report "after=$(stty -F /dev/ttyS0 -g)"
report "stderr=$(cat /tmp/err)"
report "end"
)SH" + halt_command(scenario.machine) +
         "\n";
}

// The report's lines out of an ARM board's console, which carries the
// kernel's log: "[    1.52] dualrow-report: status=1\r".
std::string from_kernel_log(const std::string& console) {
  const std::string mark = "dualrow-report: ";
  std::string report;
  std::istringstream lines(console);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(mark);
    if (at == std::string::npos) continue;
    line.erase(0, at + mark.size());
    if (!line.empty() && line.back() == '\r') line.pop_back();
    report += line + "\n";
  }
  return report;
}

std::string field(const std::string& report, const std::string& name) {
  const std::string key = name + "=";
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return "<missing>";
}

// The PL011's line control register (LCR_H): parity, size and stop bits.
void pl011_line_control(unsigned long value, LineParameters& line) {
  const bool parity = (value & 0x02) != 0;
  const bool even = (value & 0x04) != 0;
  const bool stick = (value & 0x80) != 0;
  line.parity = !parity ? 'N' : stick ? (even ? 'S' : 'M') : (even ? 'E' : 'O');
  line.stop_bits = (value & 0x08) != 0 ? 2 : 1;
  line.data_bits = 5 + static_cast<int>((value >> 5) & 3);
}

void read_trace(const std::string& path, Boot& boot) {
  static const std::regex write_event(
      R"(@(\d+\.\d+):serial_write write addr 0x([0-9a-f]+) val 0x([0-9a-f]+))");
  static const std::regex update_event(
      R"(@(\d+\.\d+):serial_update_parameters baudrate=(\d+) parity='(.)' data=(\d+) stop=(\d+))");
  static const std::regex pl011_write_event(
      R"(@(\d+\.\d+):pl011_write addr 0x([0-9a-f]+) value 0x([0-9a-f]+))");
  static const std::regex pl011_baud_event(
      R"(@(\d+\.\d+):pl011_baudrate_change new baudrate (\d+))");
  static const std::regex usb_data_event(
      R"(@(\d+\.\d+):usb_serial_set_data dev \S+ parity (.), data bits (\d+), stop bits (\d+))");
  static const std::regex usb_baud_event(
      R"(@(\d+\.\d+):usb_serial_set_baud dev \S+ baud rate (\d+))");
  // The FTDI's bulk OUT endpoint is 2: xHCI's endpoint id 2 * 2.
  static const std::regex bulk_out_event(
      R"(@(\d+\.\d+):usb_xhci_xfer_start \S+ slotid \d+, epid 4,)");
  std::ifstream in(path);
  LineParameters current;
  bool divisor_latch = false;
  std::smatch m;
  const auto changed = [&] { boot.changes.push_back({current, std::stod(m[1])}); };
  const auto sent = [&](unsigned long value) {
    boot.sent.push_back({static_cast<unsigned char>(value), current, std::stod(m[1])});
  };
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, usb_data_event)) {
      current = {current.baud, m[2].str()[0], std::stoi(m[3]), std::stoi(m[4])};
      changed();
    } else if (std::regex_search(line, m, usb_baud_event)) {
      current.baud = std::stol(m[2]);
      changed();
    } else if (std::regex_search(line, m, pl011_baud_event)) {
      // QEMU derives the rate from its Pi's clock, 47,999,625 Hz, a few parts
      // in ten thousand off the 48 MHz the kernel divides: 9596 for 9600.
      current.baud = (std::stol(m[2]) + 50) / 100 * 100;
      changed();
    } else if (std::regex_search(line, m, bulk_out_event)) {
      boot.bulk_out.push_back(std::stod(m[1]));
    } else if (std::regex_search(line, m, update_event)) {
      current = {std::stol(m[2]), m[3].str()[0], std::stoi(m[4]), std::stoi(m[5])};
      changed();
    } else if (std::regex_search(line, m, pl011_write_event)) {
      const unsigned long address = std::stoul(m[2], nullptr, 16);
      const unsigned long value = std::stoul(m[3], nullptr, 16);
      if (address == 0x2c) {
        pl011_line_control(value, current);
        changed();
      } else if (address == 0) {
        sent(value & 0xff);
      }
    } else if (std::regex_search(line, m, write_event)) {
      const unsigned long address = std::stoul(m[2], nullptr, 16);
      const unsigned long value = std::stoul(m[3], nullptr, 16);
      if (address == 3) {
        divisor_latch = (value & 0x80) != 0;  // LCR.DLAB: offsets 0 and 1 are the divisor
      } else if (address == 0 && !divisor_latch) {
        sent(value);
      }
    }
  }
}

// The guest's root: busybox, the programs under test, the modules and the init script.
bool make_initrd(const Guest& guest, const Scenario& scenario, const std::string& busybox,
                 const std::string& modules, std::string& problem) {
  const std::string root = guest.root();
  const bool made =
      run_shell("mkdir -p " + root + "/bin " + root + "/dev " + root + "/proc " + root + "/tmp " +
                root + "/lib/modules && cp " + modules + "/*.ko " + root + "/lib/modules/") == 0 &&
      run_shell("cp " + busybox + " " + root +
                "/bin/busybox && cp " DUALROW_STATIC " " GUEST_PROGRAMS "/* " + root + "/bin/") ==
          0 &&
      write_file(root + "/init", init_script(scenario), 0755) &&
      run_shell("cd " + root + " && find . | cpio -o -H newc --quiet > " + guest.dir + "/initrd") ==
          0;
  if (!made) problem = "could not build the guest's initrd in " + guest.dir;
  return made;
}

// Two FIFOs for a QEMU pipe chardev at `path`, opened: its input and its output.
std::pair<int, int> open_pipes(const std::string& path) {
  mkfifo((path + ".in").c_str(), 0600);
  mkfifo((path + ".out").c_str(), 0600);
  return {open((path + ".in").c_str(), O_RDWR | O_CLOEXEC),
          open((path + ".out").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)};
}

// The line's pipes, and the monitor's. A held line starts with a full, small
// output pipe: QEMU cannot pass the UART's bytes on, so they queue in the guest.
HostPort open_host_port(const Guest& guest, Hold hold, Machine machine) {
  HostPort port;
  std::tie(port.input, port.output) = open_pipes(guest.port());
  if (machine == Machine::kUsbSerial) {
    std::tie(port.monitor, port.monitor_output) = open_pipes(guest.monitor());
  }
  if (hold != Hold::kNone && port.output >= 0) {
    fcntl(port.output, F_SETPIPE_SZ, 4096);
    const std::string block(4096, '\xff');
    for (ssize_t n; (n = write(port.output, block.data(), block.size())) > 0;) {
      port.filler += static_cast<std::size_t>(n);
    }
  }
  return port;
}

// Words into arguments, split at blanks.
void add(std::vector<std::string>& args, const std::string& words) {
  std::istringstream in(words);
  for (std::string word; in >> word;) args.push_back(word);
}

// QEMU's arguments: the machine, its console (where an ARM board's report goes),
// the line's pipes on the port under test and the trace of that port.
std::vector<std::string> qemu_arguments(const std::string& kernel, const Guest& guest,
                                        Machine machine) {
  const std::string line = "pipe,id=port,path=" + guest.port();
  const std::string report = "file:" + guest.report();
  std::vector<std::string> args;
  std::string events = "serial_write\nserial_update_parameters\n";
  std::string console;
  switch (machine) {
    case Machine::k16550:
    case Machine::kUsbSerial:
      add(args, "qemu-system-x86_64 -m 256 -device isa-debug-exit,iobase=0xf4,iosize=4");
      // The marker lets the guest-only helpers tell that they run in here.
      console = "console=tty0";
      args.insert(args.end(), {"-chardev", "file,id=report,path=" + guest.report(), "-device",
                               "isa-debugcon,iobase=0xe9,chardev=report"});
      if (machine == Machine::k16550) {
        add(args, "-serial chardev:port");
      } else {
        events = "usb_serial_set_data\nusb_serial_set_baud\nusb_xhci_xfer_start\n";
        add(args,
            "-device qemu-xhci,id=xhci -device usb-serial,id=adapter,bus=xhci.0,chardev=port");
        args.insert(args.end(), {"-chardev", "pipe,id=monitor,path=" + guest.monitor()});
        add(args, "-mon chardev=monitor,mode=readline");
      }
      break;
    case Machine::kArm64Pci16550:
      add(args,
          "qemu-system-aarch64 -M virt -cpu cortex-a57 -m 512 -device pci-serial,chardev=port");
      args.insert(args.end(), {"-serial", report});
      console = "console=ttyAMA0";
      break;
    case Machine::kPi3MiniUart:
    case Machine::kPi3Pl011: {
      // Debian's device tree: the PL011 is serial0 (ttyAMA0), the mini UART
      // serial1 (ttyS1), and the PL011 carries Bluetooth. Raspberry Pi OS
      // swaps the two aliases, so the mini UART is ttyS0; `disable-bt` takes
      // the PL011 from Bluetooth, or the serial-device bus keeps it from
      // programs. A single TCG thread boots it in seconds on two cores.
      const std::string tree = guest.dir + "/rpi3.dtb";
      const std::string edit = machine == Machine::kPi3MiniUart
                                   ? " /aliases serial0 /soc/serial@7e215040 && fdtput -t s " +
                                         tree + " /aliases serial1 /soc/serial@7e201000"
                                   : " /soc/serial@7e201000/bluetooth status disabled";
      run_shell("cp " + kernel.substr(0, kernel.rfind('/') + 1) + "bcm2837-rpi-3-b.dtb " + tree +
                " && fdtput -t s " + tree + edit);
      add(args, "qemu-system-aarch64 -M raspi3b -m 1G -accel tcg,thread=single");
      args.insert(args.end(), {"-dtb", tree});
      // QEMU's first serial port is the PL011, its second the mini UART.
      const bool pl011 = machine == Machine::kPi3Pl011;
      args.insert(args.end(), {"-serial", pl011 ? "chardev:port" : report, "-serial",
                               pl011 ? report : "chardev:port"});
      console = pl011 ? "console=ttyS1" : "console=ttyAMA1";
      if (pl011) events = "pl011_write\npl011_baudrate_change\n";
      break;
    }
  }
  write_file(guest.dir + "/events", events);
  args.insert(args.end(),
              {"-kernel", kernel, "-initrd", guest.dir + "/initrd", "-append",
               console + " panic=-1 quiet printk.devkmsg=on dualrow.uart_guest", "-chardev", line,
               "-trace", "events=" + guest.dir + "/events", "-D", guest.trace()});
  add(args, "-nodefaults -display none -no-reboot -msg timestamp=on");
  return args;
}

pid_t start_qemu(const std::string& kernel, const Guest& guest, Machine machine) {
  const std::vector<std::string> args = qemu_arguments(kernel, guest, machine);
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

// As when the adapter is pulled out. QEMU carries it out once the held line
// lets its main loop run again.
bool pull_adapter(int monitor) {
  const std::string command = "device_del adapter\n";
  return write(monitor, command.data(), command.size()) == static_cast<ssize_t>(command.size());
}

// Until QEMU ends: holds the line as the scenario asks, then reads it.
int watch_boot(pid_t qemu, const Guest& guest, const HostPort& port, Hold hold, Boot& boot,
               std::string& received) {
  const auto started = Clock::now();
  bool releasing = hold == Hold::kNone;
  Clock::time_point release_at = Clock::time_point::max();
  int status = 0;
  bool gone = false;  // the guest said "go": what reaches the line now is the scenario's
  for (;;) {
    if (!gone) {
      const std::string report = read_file(guest.report());
      gone = report.find("go\n") != std::string::npos || report.find("go\r\n") != std::string::npos;
      if (gone && releasing) read_available(port.output, received);
      if (gone) boot.received_before_go = received.size();
    }
    if (hold == Hold::kOneSecond && release_at == Clock::time_point::max() && gone) {
      release_at = Clock::now() + std::chrono::seconds(1);
    }
    // Pulled once the frame's first transfer is held in the adapter.
    if (hold == Hold::kUntilPulled && release_at == Clock::time_point::max() &&
        read_file(guest.trace()).find("epid 4,") != std::string::npos) {
      release_at = Clock::now() + std::chrono::milliseconds(100);
    }
    if (!releasing && Clock::now() >= release_at) {
      if (hold == Hold::kUntilPulled && !pull_adapter(port.monitor)) {
        boot.problem = "device_del failed";
      }
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
  boot.end_time = now_seconds();
  if (!releasing) boot.release_time = boot.end_time;
  return status;
}

// Every byte that entered the transmit register, in order.
std::string sent_bytes(const Boot& boot) {
  std::string sent;
  for (const SentByte& byte : boot.sent) sent.push_back(static_cast<char>(byte.value));
  return sent;
}

// How many bytes of the frame (from its lead-in on) entered the transmit
// register under other parameters than the display's: bytes that would leave
// garbled. All of them when no lead-in got there. (What the kernel writes while
// it probes a UART, in loopback, comes before.)
std::size_t sent_under_other_parameters(const Boot& boot) {
  const std::size_t start = sent_bytes(boot).find(kExpectedLeadIn);
  if (start == std::string::npos) return boot.sent.size() + 1;
  std::size_t wrong = 0;
  for (std::size_t i = start; i < boot.sent.size(); ++i) {
    wrong += !(boot.sent[i].parameters == kDisplayLine);
  }
  return wrong;
}

// What the trace shows wrong about the frame `expected`, one line a fault.
std::vector<std::string> frame_faults(const Boot& boot, const std::string& expected, bool held) {
  std::vector<std::string> faults;
  const std::string sent = sent_bytes(boot);
  const std::size_t start = sent.find(kExpectedLeadIn);
  if (start == std::string::npos) return {"no lead-in reached the transmit register"};
  if (sent.substr(start) != expected)
    faults.push_back("the transmitted bytes differ from the frame");
  const std::size_t wrong = sent_under_other_parameters(boot);
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

double scenario_seconds(const Boot& boot) {
  const std::string seconds = field(boot.report, "seconds");
  return seconds == "<missing>" ? -1 : std::stod(seconds);
}

// What the trace shows wrong about the adapter's settings around the frame's
// bulk OUTs, one line a fault.
std::vector<std::string> adapter_faults(const Boot& boot) {
  if (boot.bulk_out.empty()) return {"nothing was handed to the adapter to send"};
  std::vector<std::string> faults;
  LineParameters at_first;
  bool changed_back = false;
  for (const ParameterChange& change : boot.changes) {
    if (change.time < boot.bulk_out.front()) at_first = change.parameters;
    if (change.time > boot.bulk_out.front() && change.time < boot.bulk_out.back()) {
      faults.push_back("the adapter's settings changed between the frame's transfers");
    }
    changed_back = changed_back ||
                   (change.time > boot.bulk_out.back() && !(change.parameters == kDisplayLine));
  }
  if (!(at_first == kDisplayLine)) faults.push_back("the frame went out under other settings");
  if (!changed_back) faults.push_back("the old settings were never sent to the adapter");
  return faults;
}

// The kernel and busybox the build found or was told of (tests/CMakeLists.txt
// checked them, and the modules next to the kernel).
const std::string kKernel = UART_KERNEL;
const std::string kModules = kKernel.substr(0, kKernel.rfind('/') + 1) + "modules";

Boot boot_guest(const Scenario& scenario) {
  Boot boot;
  char dir_template[] = "/tmp/dualrow-uart.XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    boot.problem = std::string("mkdtemp: ") + std::strerror(errno);
    return boot;
  }
  const Guest guest{dir_template};
  if (!make_initrd(guest, scenario, UART_BUSYBOX, kModules, boot.problem)) return boot;
  const HostPort port = open_host_port(guest, scenario.hold, scenario.machine);
  if (port.input < 0 || port.output < 0) {
    boot.problem = "could not open the UART's pipes";
    return boot;
  }
  const auto started = Clock::now();
  std::string received;
  const int status = watch_boot(start_qemu(kKernel, guest, scenario.machine), guest, port,
                                scenario.hold, boot, received);
  read_available(port.output, received);
  close(port.input);
  close(port.output);
  if (port.monitor >= 0) close(port.monitor);
  if (port.monitor_output >= 0) close(port.monitor_output);
  boot.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  boot.qemu_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  boot.report = read_file(guest.report());
  if (is_arm(scenario.machine)) boot.report = from_kernel_log(boot.report);
  boot.wire = received.size() >= port.filler ? received.substr(port.filler) : "";
  boot.after_go =
      received.substr(std::min(received.size(), std::max(port.filler, boot.received_before_go)));
  read_trace(guest.trace(), boot);
  if (std::getenv("DUALROW_UART_KEEP") == nullptr) run_shell("rm -rf " + guest.dir);
  std::cout << "boot took " << boot.seconds << " s; the scenario " << field(boot.report, "seconds")
            << " s\n";
  return boot;
}

using UartSystem = ::testing::TestWithParam<Scenario>;

TEST_P(UartSystem, Scenario) {
  const Scenario& s = GetParam();
  const Boot boot = boot_guest(s);
  ASSERT_EQ(boot.problem, "");
  ASSERT_NE(boot.report.find("\nend\n"), std::string::npos) << boot.report;  // it ran to its end
  EXPECT_EQ(boot.qemu_status, is_arm(s.machine) ? 0 : 1);  // and the machine stopped as told
  EXPECT_EQ(field(boot.report, "status"), s.status);
  const std::string err = field(boot.report, "stderr");
  EXPECT_TRUE(s.err.empty() ? err.empty()
                            : std::find(s.err.begin(), s.err.end(), err) != s.err.end())
      << err;
  for (const auto& [name, value] : s.fields) EXPECT_EQ(field(boot.report, name), value) << name;
  if (s.settings_back) {
    EXPECT_EQ(field(boot.report, "after"), field(boot.report, "before"));
  }
  EXPECT_GE(scenario_seconds(boot), s.at_least);
  EXPECT_LT(scenario_seconds(boot), s.below);
  const bool held = s.hold != Hold::kNone;
  switch (s.check) {
    case Check::kFrame:
      EXPECT_EQ(boot.wire, s.wire);
      EXPECT_EQ(join(frame_faults(boot, s.wire, held)), "");
      break;
    case Check::kRigCatches: {
      const std::string faults = join(frame_faults(boot, s.wire, held));
      EXPECT_NE(faults.find("frame bytes sent under other parameters"), std::string::npos)
          << faults;
      EXPECT_NE(faults.find("the parameters changed while the frame was held back"),
                std::string::npos)
          << faults;
      break;
    }
    case Check::kStall:
      EXPECT_FALSE(boot.sent.empty());
      EXPECT_EQ(sent_under_other_parameters(boot), 0u);  // the queue was dropped before the restore
      break;
    case Check::kAdapter:
      EXPECT_EQ(boot.wire, s.wire);
      EXPECT_EQ(join(adapter_faults(boot)), "");
      break;
    case Check::kPulled:
      EXPECT_EQ(err.find("are back"), std::string::npos);
      // Over soon after the detach, which QEMU makes as it lets the line go.
      EXPECT_LT(boot.end_time - boot.release_time, 3.0);
      std::cout << "ended " << boot.end_time - boot.release_time << " s after the detach\n";
      break;
    case Check::kNoFrameBytes:
      // QEMU's mini UART puts a stray byte on its line whenever the port's speed
      // is programmed (by stty as much as by dualrow), so the line is not
      // silent; no byte of the frame may be on it.
      for (const char byte : {'\x1b', '\0', ' ', 'H', 'W'}) {
        EXPECT_EQ(boot.after_go.find(byte), std::string::npos) << static_cast<int>(byte);
      }
      break;
    case Check::kNothingMore:
      break;
  }
}

const std::string kHelloWorld = expected_frame({"Hello", "World"});
const std::string kRun = "dualrow Hello World >/tmp/out 2>/tmp/err; status=$?";

std::vector<Scenario> scenarios() {
#ifdef __x86_64__
  const std::string stalled =
      "/dev/ttyS0: output stalled: the frame did not leave the port within 2 s";
  // Guest commands: `dualrow Hello World` in the background, `action` `delay`
  // seconds into its run (its status reported as `name`), then the run's status.
  const auto while_running = [](const std::string& delay, const std::string& action,
                                const std::string& name) {
    return "dualrow Hello World >/tmp/out 2>/tmp/err & pid=$!\nsleep " + delay + "\n" + action +
           "; report \"" + name + "=$?\"\nwait $pid; status=$?";
  };
  // The detach reaches the driver through the kernel's hub worker. A busy CPU
  // with dualrow at the lowest priority lets the worker get there while the
  // frame is still going, as on a loaded machine; once the adapter's node is
  // gone the load ends, so that dualrow's own deadline is what is measured.
  const std::string pulled =
      "sh -c 'while :; do :; done' & load=$!\n"
      "(while [ -e /dev/ttyUSB0 ]; do usleep 10000; done; kill $load) &\n"
      "sh -c 'renice -n 19 -p $$ >/dev/null && exec dualrow Hello World' "
      ">/tmp/out 2>/tmp/err; status=$?\nkill $load";
  // Run B reaches the same 8250 through a second mount of /dev, as a
  // container's or a unit's BindPaths= would, 0.2 s into run A, whose frame is
  // held back.
  const std::string second_mount =
      "mkdir /second && mount -t devtmpfs second /second\n" +
      while_running("0.2",
                    "unshare -m sh -c 'mount --bind /second/ttyS0 /dev/ttyS0 && "
                    "exec dualrow Second mount' 2>/tmp/b_err",
                    "b_status");
  const std::string hung_up =
      "/dev/ttyS0: hung up: the frame may not have left; the old settings are back";
  const std::string a_and_b = kHelloWorld + expected_frame({"Second", "mount"});
  // A row a scenario, laid out by hand.
  // clang-format off
  return {
      {"HelloWorldAt9600E82AndTheRestoreWaitsForTheFrame", Machine::k16550, Hold::kOneSecond,
       kRun, "0", {}, Check::kFrame, kHelloWorld},
      {"SigtermIntoAHeldDrainEndsOnlyAfterTheRestore", Machine::k16550, Hold::kOneSecond,
       while_running("0.3", "kill -TERM $pid", "signalled"), "143", {}, Check::kFrame, kHelloWorld,
       {{"signalled", "0"}}},
      {"TheRigCatchesARestoreWithoutDrain", Machine::k16550, Hold::kOneSecond,
       "restore_without_drain Hello World >/tmp/out 2>/tmp/err; status=$?", "0", {},
       Check::kRigCatches, kHelloWorld},
      {"OutputNeverReleasedEndsAtTheDeadline", Machine::k16550, Hold::kForever,
       kRun, "1", {stalled}, Check::kStall, "", {}, 2.0},
      {"SigtermIntoAStallEndsAtTheDeadline", Machine::k16550, Hold::kForever,
       while_running("0.5", "kill -TERM $pid", "signalled"), "143", {}, Check::kStall, "",
       {{"signalled", "0"}}, 0, 10.0},
      {"HangupDuringTheDrainIsReportedAndTheSettingsGoBack", Machine::k16550, Hold::kOneSecond,
       while_running("0.3", "guest_hangup /dev/ttyS0", "hungup"), "1", {hung_up},
       Check::kNothingMore, "", {{"hungup", "0"}}},
      {"ASecondMountOfTheNodeWaitsForTheLock", Machine::k16550, Hold::kOneSecond,
       second_mount, "0", {}, Check::kFrame, a_and_b, {{"b_status", "0"}}},
      {"UsbAdapterBoundOverTtyS0GetsTheFrameAt9600E82", Machine::kUsbSerial, Hold::kNone,
       kRun, "0", {}, Check::kAdapter, kHelloWorld},
      // When the detach lands is the host's race: a write fails, or the
      // restore finds the device gone.
      {"UsbAdapterPulledMidFrameEndsWithStatus1", Machine::kUsbSerial, Hold::kUntilPulled,
       pulled, "1", {"/dev/ttyS0: No such device", "/dev/ttyS0: Input/output error",
                     "/dev/ttyS0: hung up: the device is gone; the frame may not have left"},
       Check::kPulled, "", {}, 0, 100, false},
  };
  // clang-format on
#elif defined(__aarch64__)
  // What only an ARM board can show; the PC's scenarios show the rest. A row a
  // scenario, laid out by hand.
  // clang-format off
  return {
      {"Arm64BoardsPci16550GetsTheFrameAt9600E82", Machine::kArm64Pci16550, Hold::kOneSecond,
       kRun, "0", {}, Check::kFrame, kHelloWorld},
      // The mini UART cannot do parity or two stop bits; the kernel keeps 8N1
      // and says nothing. dualrow reads the settings back and sends nothing.
      {"RaspberryPiMiniUartGetsNothingAndIsNamed", Machine::kPi3MiniUart, Hold::kNone,
       kRun, "1", {"/dev/ttyS0: the port cannot do 9600 8E2 (it kept 9600 8N1)"},
       Check::kNoFrameBytes},
      {"RaspberryPiPl011BoundOverTtyS0GetsTheFrameAt9600E82", Machine::kPi3Pl011, Hold::kNone,
       kRun, "0", {}, Check::kFrame, kHelloWorld},
  };
  // clang-format on
#else
  return {};
#endif
}

INSTANTIATE_TEST_SUITE_P(Boots, UartSystem, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
