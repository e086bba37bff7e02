// Many runs through the private-port harness, fifty at once round after round,
// and one under valgrind. Bounded in count and time.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "expected_frame.h"
#include "harness/port_arrangements.h"
#include "harness/private_port_test.h"

namespace {

// Under qemu-user every run costs some 40 times as much; a fifth of the series
// still shows whatever piles up, at the cost the native run pays for all of it.
#ifdef DUALROW_EMULATED
constexpr int kEmulatorSlowdown = 5;
#else
constexpr int kEmulatorSlowdown = 1;
#endif

using Stress = PrivatePortTest;

// What only a long series shows: nothing that one run leaves behind piles up,
// and runs at once take turns. A lock or a descriptor left open would make
// later runs wait out their lock wait and fail, and the port would stay locked at
// the end; frames that interleave would not be whole; settings that drift by a
// little each run would differ from the start at the end.
TEST_F(Stress, AThousandRunsFiftyAtATimeLeaveNothingBehind) {
  constexpr int kAtOnce = 50;
  constexpr int kRounds = 20 / kEmulatorSlowdown;
  PortOptions options;
  options.timeout = std::chrono::minutes(2);
  options.command = {"sh", "-c",
                     "status=0; for round in $(seq 1 " + std::to_string(kRounds) +
                         "); do pids=; for i in $(seq 1 " + std::to_string(kAtOnce) + "); do \"" +
                         DUALROW_PATH +
                         "\" \"r$round n$i\" \"together\" & pids=\"$pids $!\"; done; "
                         "for p in $pids; do wait $p || status=1; done; done; "
                         "flock --nonblock /dev/ttyS0 true || exit 2; exit $status"};
  const PortRun run = run_arranged(options);
  ASSERT_EQ(run.setup_error, "");
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(exit_code(run), 0) << run.err;
  const std::map<std::string, int> frames = frames_on(run.wire);
  int whole = 0;
  for (int round = 1; round <= kRounds; ++round) {
    for (int i = 1; i <= kAtOnce; ++i) {
      const auto it = frames.find(
          expected_frame({"r" + std::to_string(round) + " n" + std::to_string(i), "together"}));
      whole += it != frames.end() && it->second == 1;
    }
  }
  EXPECT_EQ(whole, kAtOnce * kRounds);
  EXPECT_EQ(frames.size(), static_cast<std::size_t>(kAtOnce * kRounds));  // nothing interleaved
  EXPECT_EQ(run.after, run.before);
}

// Not in a sanitized build: a sanitizer's runtime allocates on the tool's
// behalf.
#ifndef DUALROW_SANITIZED
using NoHeap = PrivatePortTest;

TEST_F(NoHeap, ARunWithTwoTextsAllocatesNothing) {
#if defined(DUALROW_EMULATED)
  GTEST_SKIP() << "valgrind cannot run a program of another architecture";
#elif !defined(VALGRIND)
  GTEST_SKIP() << "valgrind is not installed";
#else
  PortOptions options;
  options.command = {VALGRIND, "--error-exitcode=99", DUALROW_PATH, "Hello", "World"};
  options.timeout = std::chrono::minutes(1);
  const PortRun run = run_arranged(options);
  ASSERT_EQ(run.setup_error, "");
  EXPECT_EQ(exit_code(run), 0) << run.err;
  EXPECT_EQ(run.wire, expected_frame({"Hello", "World"}));
  EXPECT_NE(run.err.find("total heap usage: 0 allocs, 0 frees, 0 bytes allocated"),
            std::string::npos)
      << run.err;
#endif
}

#endif

}  // namespace
