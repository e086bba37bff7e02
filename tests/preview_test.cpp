// dualrow-preview as a user runs it: a command or script, its panels, its
// output and status.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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

// The files a run's standard output and error go to.
const std::string kOut = "/tmp/dualrow-preview-out." + std::to_string(getpid());
const std::string kErr = "/tmp/dualrow-preview-err." + std::to_string(getpid());

// What the run that ended with wait status `raw` left in kOut and kErr.
Shown collect(int raw) {
  Shown shown{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(kOut), slurp(kErr)};
  std::remove(kOut.c_str());
  std::remove(kErr.c_str());
  return shown;
}

// Runs `command` through the shell.
Shown show(const std::string& command) {
  return collect(std::system((command + " >" + kOut + " 2>" + kErr).c_str()));
}

const std::string kPreview = PREVIEW_PATH;
const std::string kDualrow = DUALROW_PATH;

using Preview = PrivatePortTest;

TEST_F(Preview, ShowsEveryFrameOfAScriptInOrderAsItArrives) {
  const Shown shown = show(kPreview + " sh -c '" + kDualrow + " Hello World; sleep 0.5; " +
                           kDualrow + " Backup done; " + kDualrow + " \"\" \"\"'");
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out, "");
  const std::regex frames(
      "frame 1 at (\\d+\\.\\d+) s, 27 bytes: 1B 58 00 00 \\| 6×20 \"Hello\" 0A \\| 6×20 \"World\"\n"
      "┌────────────────┐\n│      Hello     │\n│      World     │\n└────────────────┘\n"
      "frame 2 at (\\d+\\.\\d+) s, 26 bytes: 1B 58 00 00 \\| 5×20 \"Backup\" 0A \\| 6×20 \"done\"\n"
      "┌────────────────┐\n│     Backup     │\n│      done      │\n└────────────────┘\n"
      "frame 3 at (\\d+\\.\\d+) s, 21 bytes: 1B 58 00 00 \\| 8×20 0A \\| 8×20\n"
      "┌────────────────┐\n│                │\n│                │\n└────────────────┘\n"
      "exit 0, 3 frames\n");
  std::smatch times;
  ASSERT_TRUE(std::regex_match(shown.err, times, frames)) << shown.err;
  // The first panel was drawn before the script went on to the second update.
  EXPECT_LT(std::stod(times[1]), 0.5);
  EXPECT_GE(std::stod(times[2]), 0.5);
}

// The command's output and status pass through; the preview's own options are
// answered, and a missing command reported, as env(1) does.
TEST_F(Preview, PassesTheCommandsOutputAndStatusThroughAndAnswersItsOwnOptions) {
  struct Case {
    std::string arguments;
    int status;
    std::string out;
    std::string err_start;
    std::vector<std::string> err_has = {};  // further on in standard error
  };
  const Case cases[] = {
      {" sh -c 'echo said; echo complained >&2; printf oops >/dev/ttyS0; exit 3'",
       3,
       "said\n",
       "complained\n",
       {"4 bytes: \"oops\"\n", "warning: the frame does not start with the lead-in",
        "exit 3, 1 frame\n"}},
      {" /nonexistent/dualrow", 127, "",
       "dualrow-preview: exec /nonexistent/dualrow: No such file or directory\n"},
      {"", 2, "", "usage: dualrow-preview"},
      {" --", 2, "", "usage: dualrow-preview"},
      {" --version", 0, "dualrow-preview " DUALROW_VERSION "\n", ""},
      {" -- --version", 127, "", "dualrow-preview: exec --version: No such file"},
      {" --foo", 2, "", "dualrow-preview: unknown option --foo\nusage: dualrow-preview"},
  };
  for (const Case& c : cases) {
    // A PATH of its own: a directory the user cannot search would make 126.
    const Shown shown = show("PATH=/usr/bin:/bin " + kPreview + c.arguments);
    EXPECT_EQ(shown.status, c.status) << c.arguments;
    EXPECT_EQ(shown.out, c.out) << c.arguments;
    EXPECT_EQ(shown.err.rfind(c.err_start, 0), 0u) << c.arguments << ": " << shown.err;
    for (const std::string& part : c.err_has) EXPECT_NE(shown.err.find(part), std::string::npos);
  }
}

TEST_F(Preview, WorksForAnUnprivilegedUser) {
#ifdef DUALROW_EMULATED
  GTEST_SKIP() << "qemu-user cannot enter a user namespace from its threads";
#endif
  // As root, the preview is tried as a user of no name, neither root nor
  // nobody (for whom ids that were never read would map right); as anyone
  // else, as that user.
  const std::string as_user =
      getuid() == 0 ? "setpriv --reuid=4242 --regid=4242 --clear-groups " : "";
  if (show(as_user + "unshare --user --mount --propagation unchanged true").status != 0) {
    GTEST_SKIP() << "an ordinary user gets no user namespaces here";
  }
  const Shown shown = show(as_user + kPreview + " " + kDualrow + " Hello World");
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(shown.err.find("│      Hello     │\n│      World     │"), std::string::npos)
      << shown.err;
}

// How a chroot whose "/" is no mount point is made: a directory on a tmpfs,
// the machine's top-level directories bound into it, as chroot tools make
// them; with /dev bound whole (schroot, autopkgtest's chroot) or, as sbuild
// makes it, a plain directory with a few nodes and a devpts bound into it.
// The command runs as root of a user namespace of its own, as root of the
// machine's (root only), or unprivileged (root drops to nobody; the kernel
// refuses new user namespaces in a chroot).
enum class Dev { kMountPoint, kNodesBound };
enum class As { kRootOfItsOwnUserNamespace, kRootOfTheMachine, kUnprivileged };

bool bind_into(const std::string& from, const std::string& to, bool directory) {
  const bool made = directory ? mkdir(to.c_str(), 0755) == 0
                              : close(open(to.c_str(), O_WRONLY | O_CREAT, 0644)) == 0;
  return made && mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

bool make_nodes_dev(const std::string& dev) {
  if (mkdir(dev.c_str(), 0755) != 0) return false;
  for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
    if (!bind_into(std::string("/dev/") + node, dev + "/" + node, false)) return false;
  }
  const std::string pts = dev + "/pts";
  return mkdir(pts.c_str(), 0755) == 0 &&
         mount("devpts", pts.c_str(), "devpts", 0, "newinstance,ptmxmode=0666,mode=620") == 0 &&
         symlink("pts/ptmx", (dev + "/ptmx").c_str()) == 0;
}

Shown show_in_chroot(const std::string& command, Dev dev, As as) {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  // Root of a user namespace that is not the machine's already has one.
  const bool machines = in_the_machines_user_namespace();
  const bool own_user_namespace = machines && (uid != 0 || as == As::kRootOfItsOwnUserNamespace);
  const pid_t child = fork();
  if (child == 0) {
    const int out_fd = open(kOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = open(kErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char dir[] = "/tmp/dualrow-chroot.XXXXXX";
    const auto ok = [](bool done) {
      if (!done) _exit(99);
    };
    ok(out_fd >= 0 && err_fd >= 0);
    ok(unshare(own_user_namespace ? CLONE_NEWUSER | CLONE_NEWNS : CLONE_NEWNS) == 0);
    if (own_user_namespace) {
      ok(as == As::kUnprivileged ? map_ids(uid, uid, gid, gid) : map_ids(0, uid, 0, gid));
    }
    ok(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ||
       (errno == EINVAL && !machines));  // in a chroot already (sbuild's)
    ok(mkdtemp(dir) != nullptr && mount("chroot", dir, "tmpfs", 0, nullptr) == 0);
    const std::string root = std::string(dir) + "/root";
    ok(mkdir(root.c_str(), 0755) == 0);
    for (const auto& entry : std::filesystem::directory_iterator("/")) {
      const std::string name = entry.path().filename();
      const std::string there = root + "/" + name;
      if (entry.is_symlink()) {
        ok(symlink(std::filesystem::read_symlink(entry.path()).c_str(), there.c_str()) == 0);
      } else if (name == "dev" && dev == Dev::kNodesBound) {
        ok(make_nodes_dev(there));
      } else if (entry.is_directory()) {
        ok(bind_into(entry.path(), there, true));
      }
    }
    // A copy of the preview where nobody may run it: the build tree need not be.
    std::error_code copied;
    std::filesystem::copy_file(kPreview, root + "/dualrow-preview", copied);
    ok(!copied && chmod((root + "/dualrow-preview").c_str(), 0755) == 0);
    ok(chroot(root.c_str()) == 0 && chdir("/") == 0);
    if (uid == 0 && as == As::kUnprivileged) {
      ok(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
    }
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(98);
  }
  int raw = 0;
  waitpid(child, &raw, 0);
  return collect(raw);
}

TEST_F(Preview, WorksInAChrootWhoseRootIsNoMountPoint) {
#ifdef DUALROW_EMULATED
  GTEST_SKIP() << "qemu-user cannot enter a user namespace from its threads";
#endif
  const std::string refused =
      "dualrow-preview: cannot give the command a private /dev/ttyS0 (needs root, or user "
      "namespaces): ";
  const struct {
    Dev dev;
    As as;
    std::string err;  // empty: the panel drawn; else the run refused with status 125
  } cases[] = {
      {Dev::kMountPoint, As::kRootOfItsOwnUserNamespace, ""},
      {Dev::kNodesBound, As::kRootOfItsOwnUserNamespace, ""},
      {Dev::kMountPoint, As::kRootOfTheMachine, ""},
      // The mount that holds /dev cannot be named, and may be shared with
      // the machine's own namespace: nothing is mounted.
      {Dev::kNodesBound, As::kRootOfTheMachine, "make / or /dev private: Invalid argument\n"},
      {Dev::kMountPoint, As::kUnprivileged,
       "unshare(CLONE_NEWUSER|CLONE_NEWNS): Operation not permitted\n"},
  };
  for (const auto& c : cases) {
    if (c.as == As::kRootOfTheMachine && (getuid() != 0 || !in_the_machines_user_namespace())) {
      continue;  // the machine's root alone
    }
    SCOPED_TRACE(testing::Message()
                 << "dev " << static_cast<int>(c.dev) << ", as " << static_cast<int>(c.as));
    const Shown shown =
        show_in_chroot("/dualrow-preview " + kDualrow + " Hello World", c.dev, c.as);
    if (c.err.empty()) {
      EXPECT_EQ(shown.status, 0) << shown.err;
      EXPECT_NE(shown.err.find("│      Hello     │\n│      World     │"), std::string::npos)
          << shown.err;
    } else {
      EXPECT_EQ(shown.status, 125) << shown.err;
      EXPECT_EQ(shown.out, "");  // the command never started
      EXPECT_EQ(shown.err, refused + c.err);
    }
  }
}

}  // namespace
