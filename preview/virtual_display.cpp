// virtual_display: runs a command with a private /dev/ttyS0 and shows what a
// 2x16 display on that port would show. For trying dualrow, and scripts that
// call it, on a machine with no display attached. The machine's own
// /dev/ttyS0 is never opened.
//
//   virtual_display dualrow Hello World

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "private_port.h"
#include "panel.h"

namespace {

constexpr int kOwnFailure = 125;  // the display could not be set up; as env(1) and chroot(1)

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
  if (first >= argc || std::strcmp(argv[first], "-h") == 0 ||
      std::strcmp(argv[first], "--help") == 0) {
    std::fprintf(stderr,
                 "usage: virtual_display COMMAND [ARG...]\n"
                 "Runs COMMAND with a private /dev/ttyS0 and draws the 2x16 panel.\n");
    return first >= argc ? kOwnFailure : 0;
  }
  PortOptions options;
  options.command.assign(argv + first, argv + argc);
  options.prior = unusual_settings();
  const PortRun run = run_on_private_port(options);
  if (!run.setup_error.empty()) {
    const bool exec_failed = run.setup_error.rfind("exec ", 0) == 0;
    std::fprintf(stderr, "virtual_display: %s%s\n",
                 exec_failed ? ""
                             : "cannot give the command a private /dev/ttyS0 "
                               "(needs root, or user namespaces): ",
                 run.setup_error.c_str());
    return kOwnFailure;
  }
  std::cout << run.out << std::flush;
  std::cerr << run.err << std::flush;

  const PanelFrame frame = decode_frame(run.wire);
  std::string status;
  int code = 0;
  if (run.timed_out) {
    status = "killed: timed out";
    code = kOwnFailure;
  } else if (WIFSIGNALED(run.wait_status)) {
    status = std::string("killed by ") + strsignal(WTERMSIG(run.wait_status));
    code = 128 + WTERMSIG(run.wait_status);
  } else {
    code = WEXITSTATUS(run.wait_status);
    status = "exit " + std::to_string(code);
  }
  std::cout << render_panel(frame) << describe_wire(run.wire) << "   " << status << "\n";
  if (!run.wire.empty()) std::cout << panel_warnings(frame);
  if (!same_settings(run.after, run.before)) {
    std::cout << "warning: the port's settings were not put back\n";
  }
  return code;
}
