// dualrow-preview: runs a command with a private /dev/ttyS0 and shows, live,
// what a 2x16 display on that port would show after each frame the command
// sends. For trying dualrow, and any script that calls it, on a machine with
// no display attached. The machine's own /dev/ttyS0 is never opened.
//
//   dualrow-preview dualrow Hello World
//   dualrow-preview ./status-loop.sh

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "panel.h"
#include "private_port.h"
#include "wire_frames.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOwnFailure = 125;  // no private port could be made; as env(1) and chroot(1)
constexpr char kUsage[] =
    "usage: dualrow-preview COMMAND [ARG...]\n"
    "Runs COMMAND with a private /dev/ttyS0 and draws the 2x16 panel after every\n"
    "frame it sends, on standard error. The command's output and status pass through.\n";

struct Preview {
  WireFrames frames;
  int shown = 0;
  Clock::time_point started = Clock::now();
};

// The report goes to standard error, so that standard output stays the
// command's own, byte for byte.
void say(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

void show_frame(Preview& preview, const std::string& frame) {
  if (frame.empty()) return;
  ++preview.shown;
  const double seconds = std::chrono::duration<double>(Clock::now() - preview.started).count();
  char when[32];
  std::snprintf(when, sizeof when, " at %.2f s, ", seconds);
  const PanelFrame panel = decode_frame(frame);
  say("frame " + std::to_string(preview.shown) + when + describe_wire(frame) + "\n" +
      render_panel(panel) + panel_warnings(panel));
}

void watch(Preview& preview, std::string_view bytes) {
  const auto now = Clock::now();
  for (const std::string& frame : take_bytes(preview.frames, bytes, now)) {
    show_frame(preview, frame);
  }
  show_frame(preview, take_quiet(preview.frames, now, false));
}

// The command's own status: its exit status, or 128 + the signal that ended it.
int status_of(const PortRun& run, std::string& words) {
  if (WIFSIGNALED(run.wait_status)) {
    words = std::string("killed by ") + strsignal(WTERMSIG(run.wait_status));
    return 128 + WTERMSIG(run.wait_status);
  }
  words = "exit " + std::to_string(exit_code(run));
  return exit_code(run);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
  if (first >= argc || std::strcmp(argv[first], "-h") == 0 ||
      std::strcmp(argv[first], "--help") == 0) {
    std::fputs(kUsage, first >= argc ? stderr : stdout);
    return first >= argc ? kOwnFailure : 0;
  }
  // Ctrl-C and Ctrl-\ reach the whole foreground group: the command decides
  // what they do, and the preview stays to say how it ended.
  signal(SIGINT, SIG_IGN);
  signal(SIGQUIT, SIG_IGN);

  Preview preview;
  PortOptions options;
  options.command.assign(argv + first, argv + argc);
  options.prior = unusual_settings();  // so that a restore that never came shows
  options.capture_output = false;
  options.timeout.reset();
  options.watch = [&](std::string_view bytes) { watch(preview, bytes); };
  const PortRun run = run_on_private_port(options);
  if (!run.setup_error.empty()) {
    const bool exec_failed = run.setup_error.rfind("exec ", 0) == 0;
    say(std::string("dualrow-preview: ") +
        (exec_failed ? ""
                     : "cannot give the command a private /dev/ttyS0 "
                       "(needs root, or user namespaces): ") +
        run.setup_error + "\n");
    return exec_failed ? exit_code(run) : kOwnFailure;
  }
  show_frame(preview, take_quiet(preview.frames, Clock::now(), true));

  std::string words;
  const int status = status_of(run, words);
  say(words + ", " + std::to_string(preview.shown) +
      (preview.shown == 1 ? " frame\n" : " frames\n"));
  if (!same_settings(run.after, run.before)) {
    say("warning: the port's settings were not put back\n");
  }
  return status;
}
