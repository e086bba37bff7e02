// The virtual display as a user runs it: a command, its panel, its status.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "harness/private_port_test.h"

namespace {

struct Shown {
  int status;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Shown show(const std::string& command, const std::string& prefix = "") {
  const std::string out = "/tmp/dualrow-vd-out." + std::to_string(getpid());
  const std::string err = "/tmp/dualrow-vd-err." + std::to_string(getpid());
  const int raw = std::system(
      (prefix + VIRTUAL_DISPLAY_PATH + " " + command + " >" + out + " 2>" + err).c_str());
  Shown shown{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
  std::remove(out.c_str());
  std::remove(err.c_str());
  return shown;
}

Shown show_as_nobody(const std::string& command) {
  return show(command, "setpriv --reuid=65534 --regid=65534 --clear-groups ");
}

using VirtualDisplay = PrivatePortTest;

TEST_F(VirtualDisplay, DrawsThePanelDualrowSends) {
  const Shown shown = show(std::string(DUALROW_PATH) + " Hello World");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out,
            "┌────────────────┐\n"
            "│      Hello     │\n"
            "│      World     │\n"
            "└────────────────┘\n"
            "27 bytes: 1B 58 00 00 | 6×20 \"Hello\" 0A | 6×20 \"World\"   exit 0\n");
  EXPECT_EQ(shown.err, "");
}

TEST_F(VirtualDisplay, PassesTheCommandsOutputAndStatusThrough) {
  const Shown shown =
      show("sh -c 'echo said; echo complained >&2; printf oops >/dev/ttyS0; exit 3'");
  EXPECT_EQ(shown.status, 3);
  EXPECT_EQ(shown.err, "complained\n");
  EXPECT_EQ(shown.out.rfind("said\n", 0), 0u) << shown.out;
  EXPECT_NE(shown.out.find("4 bytes: \"oops\"   exit 3\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("warning: the frame does not start with the lead-in"),
            std::string::npos);
}

TEST_F(VirtualDisplay, WorksUnprivilegedOrSaysWhyNot) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "no setpriv";
  const Shown shown = show_as_nobody(std::string(DUALROW_PATH) + " Hello World");
  if (shown.status == 0) {
    EXPECT_NE(shown.out.find("│      Hello     │\n│      World     │"), std::string::npos)
        << shown.out;
  } else {
    // No user namespaces for unprivileged users on this machine.
    EXPECT_EQ(shown.status, 125);
    EXPECT_NE(shown.err.find("cannot give the command a private /dev/ttyS0"), std::string::npos)
        << shown.err;
    EXPECT_EQ(shown.out, "");
  }
}

TEST_F(VirtualDisplay, ReportsAMissingCommand) {
  const Shown shown = show("/nonexistent/dualrow");
  EXPECT_EQ(shown.status, 125);
  EXPECT_NE(shown.err.find("exec /nonexistent/dualrow"), std::string::npos) << shown.err;
}

}  // namespace
