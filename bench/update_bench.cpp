// Benchmark of one display update against the cost of starting a process at
// all and against the usual shell and Python recipes. Everything runs in one
// private /dev/ttyS0 (the test harness), in interleaved rounds; ratios are the
// median of the per-round ratios, so drift of the machine cancels out.
//
//   update_bench [ROUNDS [RUNS]]

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "expected_frame.h"
#include "harness/port_arrangements.h"

namespace {

const char* const kCandidates[] = {"noop_static", "noop_dynamic", "dualrow_static",
                                   "dualrow",     "shell_recipe", "python3"};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

PortRun in_private_port(std::vector<std::string> command) {
  PortOptions options;
  options.command = std::move(command);
  options.timeout = std::chrono::minutes(30);
  return run_arranged(options);
}

// The total number of system calls `strace -c -f` counts for a command.
long syscalls(const std::vector<std::string>& command) {
  const std::string out = "/tmp/dualrow-bench-strace." + std::to_string(getpid());
  std::vector<std::string> traced = {"strace", "-c", "-f", "-o", out};
  traced.insert(traced.end(), command.begin(), command.end());
  in_private_port(traced);
  std::ifstream in(out);
  long total = -1;
  for (std::string line; std::getline(in, line);) {
    if (line.find(" total") != std::string::npos) {
      std::istringstream fields(line);
      std::vector<std::string> words;
      for (std::string w; fields >> w;) words.push_back(w);
      // % time, seconds, usecs/call, calls, [errors], "total"
      if (words.size() >= 5) total = std::stol(words[3]);
    }
  }
  std::remove(out.c_str());
  return total;
}

long instructions(const std::vector<std::string>& command) {
  std::vector<std::string> counted = {"valgrind", "--tool=callgrind",
                                      "--callgrind-out-file=/dev/null"};
  counted.insert(counted.end(), command.begin(), command.end());
  const PortRun run = in_private_port(counted);
  const std::size_t at = run.err.find("Collected : ");
  return at == std::string::npos ? -1 : std::stol(run.err.substr(at + 12));
}

// Microseconds per run, by candidate and round, from update_bench.sh's lines.
using Timings = std::map<std::string, std::map<int, double>>;

// Runs the timed rounds in one private port; the wire must carry every update
// whole, or the figures would time something other than the job.
bool time_rounds(int rounds, int runs, Timings& timings) {
  const PortRun run =
      in_private_port({"bash", BENCH_SCRIPT, std::to_string(rounds), std::to_string(runs),
                       NOOP_STATIC, NOOP_DYNAMIC, DUALROW, DUALROW_STATIC, RECIPE_PY});
  if (exit_code(run) != 0) {
    std::fprintf(stderr, "update_bench: the timed runs failed:\n%s", run.err.c_str());
    return false;
  }
  const auto frames =
      static_cast<std::size_t>(frames_on(run.wire)[expected_frame({"Hello", "World"})]);
  const std::size_t expected =
      static_cast<std::size_t>(rounds) * (3 * static_cast<std::size_t>(runs) + (runs + 9) / 10);
  if (frames != expected) {
    std::fprintf(stderr, "update_bench: %zu whole frames arrived, %zu expected\n", frames,
                 expected);
    return false;
  }
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    int round = 0;
    std::string name;
    double n = 0;
    double start = 0;
    double end = 0;
    if (f >> round >> name >> n >> start >> end) timings[name][round] = (end - start) / n * 1e6;
  }
  return true;
}

// The median over the rounds of a's time per run over b's.
double ratio(const Timings& timings, const std::string& a, const std::string& b) {
  std::vector<double> r;
  for (const auto& [round, us] : timings.at(a)) r.push_back(us / timings.at(b).at(round));
  return median(r);
}

void print_costs(const Timings& timings) {
  const std::map<std::string, std::vector<std::string>> commands = {
      {"noop_static", {NOOP_STATIC}},
      {"noop_dynamic", {NOOP_DYNAMIC}},
      {"dualrow_static", {DUALROW_STATIC, "Hello", "World"}},
      {"dualrow", {DUALROW, "Hello", "World"}},
      {"python3", {"/usr/bin/python3", RECIPE_PY}},
  };
  // The recipe runs in the caller's own shell: its count leaves bash's start out.
  const long recipe_calls =
      syscalls({"bash", "-c", std::string("source ") + RECIPE_SH + "; recipe"}) -
      syscalls({"bash", "-c", ":"});
  std::printf("| candidate | median per run (us) | system calls | instructions |\n");
  std::printf("|---|---:|---:|---:|\n");
  for (const char* name : kCandidates) {
    std::vector<double> us;
    for (const auto& [round, value] : timings.at(name)) us.push_back(value);
    long calls = recipe_calls;
    long instr = -1;
    if (const auto it = commands.find(name); it != commands.end()) {
      calls = syscalls(it->second);
      if (std::string(name) != "python3") instr = instructions(it->second);
    }
    std::printf("| %s | %.0f | %s | %s |\n", name, median(us),
                calls < 0 ? "-" : std::to_string(calls).c_str(),
                instr < 0 ? "-" : std::to_string(instr).c_str());
  }
}

void print_ratios(const Timings& timings) {
  const double static_ratio = ratio(timings, "dualrow_static", "noop_static");
  const double dynamic_ratio = ratio(timings, "dualrow", "noop_dynamic");
  const double recipe_ratio = ratio(timings, "shell_recipe", "dualrow");
  const double python_ratio = ratio(timings, "python3", "dualrow");
  std::printf("\n| ratio (median of per-round ratios) | measured | target |\n|---|---:|---|\n");
  std::printf("| dualrow_static / noop_static | %.2f | within 1.20 %s |\n", static_ratio,
              static_ratio <= 1.2 ? "met" : "MISSED");
  std::printf("| dualrow / noop_dynamic | %.2f | within 1.20 %s |\n", dynamic_ratio,
              dynamic_ratio <= 1.2 ? "met" : "MISSED");
  std::printf("| shell_recipe / dualrow | %.2f | at least 3.00 %s |\n", recipe_ratio,
              recipe_ratio >= 3.0 ? "met" : "MISSED");
  std::printf("| python3 / dualrow | %.2f | - |\n", python_ratio);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 200;
  if (rounds < 1 || runs < 1) {
    std::fprintf(stderr, "usage: update_bench [ROUNDS [RUNS]]\n");
    return 2;
  }
  const std::string why = private_port_unavailable();
  if (!why.empty()) {
    std::fprintf(stderr, "update_bench: no private /dev/ttyS0 here: %s\n", why.c_str());
    return 2;
  }
  Timings timings;
  if (!time_rounds(rounds, runs, timings)) return 1;
  std::printf(
      "dualrow update benchmark: %d interleaved rounds, %d runs per candidate per round "
      "(python3: %d)\n\n",
      rounds, runs, (runs + 9) / 10);
  print_costs(timings);
  print_ratios(timings);
  return 0;
}
