#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "display/line_description.h"
#include "display/port_lock.h"
#include "display/port_output.h"
#include "display/serial_port.h"

namespace {

constexpr char kUsage[] = "Usage: dualrow <line 1> <line 2>";
constexpr char kBusy[] = "busy: another process has held the port for 10 s";
static_assert(kLockWaitMs == 10'000, "kBusy names the wait");
constexpr char kStalled[] = "output stalled: the frame did not leave the port within 2 s";
static_assert(kOutputDeadlineMs == 2'000, "kStalled names the deadline");
constexpr const char* kHungUp[] = {
    // As HangupEnd lists them.
    "hung up: the frame may not have left; the old settings are back",
    "hung up: the device is gone; the frame may not have left",
    "hung up: the frame may not have left; the old settings could not be put back",
    ("hung up: the frame may not have left; the old settings could not be put back "
     "(the path now leads to another device)"),
};
static_assert(std::size(kHungUp) == static_cast<std::size_t>(HangupEnd::kElsewhere) + 1);
constexpr std::size_t kLineWords = 160;  // bytes: the longest description of a line and more

// Which parts of the record a port did not take back, e.g. "speed, local modes".
void name_parts(const LineSettings& saved, const LineSettings& now, char* names, std::size_t size) {
  const struct {
    bool differs;
    const char* name;
  } parts[] = {
      {saved.c_ispeed != now.c_ispeed || saved.c_ospeed != now.c_ospeed, "speed"},
      {saved.c_cflag != now.c_cflag, "control modes"},
      {saved.c_iflag != now.c_iflag, "input modes"},
      {saved.c_oflag != now.c_oflag, "output modes"},
      {saved.c_lflag != now.c_lflag, "local modes"},
      {saved.c_line != now.c_line || saved.c_cc != now.c_cc, "control characters"},
  };
  names[0] = '\0';
  for (const auto& part : parts) {
    if (part.differs) {
      const std::size_t used = std::strlen(names);
      (void)std::snprintf(names + used, size - used, "%s%s", used == 0 ? "" : ", ", part.name);
    }
  }
}

// The trouble `fault` records, in words (without the device's path).
void describe_fault(const PortFault& fault, char* text, std::size_t size) {
  char first[kLineWords];
  char second[kLineWords];
  switch (fault.trouble) {
    case PortTrouble::kNone:
      text[0] = '\0';
      break;
    case PortTrouble::kStepFailed:
      if (fault.step == nullptr) {
        (void)std::snprintf(text, size, "%s", std::strerror(fault.error));
      } else {
        (void)std::snprintf(text, size, "%s: %s", fault.step, std::strerror(fault.error));
      }
      break;
    case PortTrouble::kBusy:
      (void)std::snprintf(text, size, "%s", kBusy);
      break;
    case PortTrouble::kStalled:
      (void)std::snprintf(text, size, "%s", kStalled);
      break;
    case PortTrouble::kCannotDrive:
      describe_line_settings(fault.asked, first, sizeof first);
      describe_line_settings(fault.now, second, sizeof second);
      (void)std::snprintf(text, size, "the port cannot do %s (it kept %s)", first, second);
      break;
    case PortTrouble::kNotRestored: {
      char parts[96];
      name_parts(fault.saved, fault.now, parts, sizeof parts);
      describe_line_settings(fault.saved, first, sizeof first);
      describe_line_settings(fault.now, second, sizeof second);
      (void)std::snprintf(text, size,
                          "the old settings did not all come back: %s (it had %s, it now has %s)",
                          parts, first, second);
      break;
    }
    case PortTrouble::kHungUp:
      (void)std::snprintf(text, size, "%s", kHungUp[static_cast<int>(fault.hangup)]);
      break;
  }
}

}  // namespace

void print_usage() { std::puts(kUsage); }

void report_port_fault(const PortFault& fault) {
  char text[2 * kLineWords + 160];
  describe_fault(fault, text, sizeof text);
  (void)std::fprintf(stderr, "%s: %s\n", kDevicePath, text);
}
