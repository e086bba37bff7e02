// dualrow-preview: runs a command with a private /dev/ttyS0 and shows, live,
// what a 2x16 display on that port would show after each frame the command
// sends. For trying dualrow, and any script that calls it, on a machine with
// no display attached. The machine's own /dev/ttyS0 is never opened.
//
//   dualrow-preview dualrow Hello World
//   dualrow-preview ./status-loop.sh

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "panel.h"
#include "private_port.h"
#include "wire_frames.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;  // no command given, or an option the preview does not know
constexpr char kUsage[] =
    "usage: dualrow-preview [--] COMMAND [ARG...]\n"
    "       dualrow-preview -h | --help | --version\n"
    "Runs COMMAND with a private /dev/ttyS0 and draws the 2x16 panel after every\n"
    "frame it sends, on standard error. The command's output and status pass through.\n"
    "The private port needs root, or user namespaces; where neither is to be had,\n"
    "the preview says why and exits 125. Use -- before a command whose name starts\n"
    "with a dash.\n";

struct Preview {
  WireFrames frames;
  int shown = 0;
  Clock::time_point started = Clock::now();
};

// The report goes to standard error, so that standard output stays the
// command's own, byte for byte.
void say(const std::string& text) {
  (void)std::fputs(text.c_str(), stderr);
  (void)std::fflush(stderr);
}

// Stamped with the arrival of its first byte, not with when it was drawn.
void show_frame(Preview& preview, const WireFrame& frame) {
  if (frame.bytes.empty()) {
    return;
  }
  ++preview.shown;
  const double seconds = std::chrono::duration<double>(frame.started - preview.started).count();
  char when[32];
  (void)std::snprintf(when, sizeof when, " at %.2f s, ", seconds);
  const PanelFrame panel = decode_frame(frame.bytes);
  say("frame " + std::to_string(preview.shown) + when + describe_wire(frame.bytes) + "\n" +
      render_panel(panel) + panel_warnings(panel));
}

void watch(Preview& preview, std::string_view bytes) {
  const auto now = Clock::now();
  for (const WireFrame& frame : take_bytes(preview.frames, bytes, now)) {
    show_frame(preview, frame);
  }
  show_frame(preview, take_quiet(preview.frames, now, false));
}

// The command's own status: its exit status, or 128 + the signal that ended it.
int status_of(const CommandRun& run, std::string& words) {
  if (WIFSIGNALED(run.wait_status)) {
    words = std::string("killed by ") + strsignal(WTERMSIG(run.wait_status));
    return 128 + WTERMSIG(run.wait_status);
  }
  words = "exit " + std::to_string(exit_code(run.wait_status));
  return exit_code(run.wait_status);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const bool options_ended = first < argc && std::strcmp(argv[first], "--") == 0;
  if (options_ended) {
    ++first;
  }
  if (first >= argc) {
    (void)std::fputs(kUsage, stderr);
    return kUsageError;
  }
  if (!options_ended &&
      (std::strcmp(argv[first], "-h") == 0 || std::strcmp(argv[first], "--help") == 0)) {
    (void)std::fputs(kUsage, stdout);
    return 0;
  }
  if (!options_ended && std::strcmp(argv[first], "--version") == 0) {
    std::puts("dualrow-preview " DUALROW_VERSION);
    return 0;
  }
  if (!options_ended && argv[first][0] == '-') {
    (void)std::fprintf(stderr, "dualrow-preview: unknown option %s\n%s", argv[first], kUsage);
    return kUsageError;
  }
  // Ctrl-C and Ctrl-\ reach the whole foreground group: the command decides
  // what they do, and the preview stays to say how it ended.
  (void)signal(SIGINT, SIG_IGN);
  (void)signal(SIGQUIT, SIG_IGN);

  Preview preview;
  // A fresh pseudo-terminal's settings (canonical, echoing, 38400) are nothing
  // like the display's, so a restore that never came shows.
  const CommandRun run =
      run_on_private_port(std::vector<std::string>(argv + first, argv + argc),
                          [&](std::string_view bytes) { watch(preview, bytes); });
  if (!run.setup_error.empty()) {
    const int status = exit_code(run.wait_status);
    const bool exec_failed = status == kCannotExecute || status == kNotFound;
    say(std::string("dualrow-preview: ") +
        (exec_failed ? ""
                     : "cannot give the command a private /dev/ttyS0 "
                       "(needs root, or user namespaces): ") +
        run.setup_error + "\n");
    return exec_failed ? status : kSetupFailed;
  }
  show_frame(preview, take_quiet(preview.frames, Clock::now(), true));

  std::string words;
  const int status = status_of(run, words);
  say(words + ", " + std::to_string(preview.shown) +
      (preview.shown == 1 ? " frame\n" : " frames\n"));
  if (run.after != run.before) {
    say("warning: the port's settings were not put back\n");
  }
  return status;
}
