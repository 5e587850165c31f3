// A one-shot command as a bash loop pays for it: karvo-cli started, `measure --count 1` at
// 9600 baud against the paced simulated sensor, and ended. Its own wire time comes from the
// bytes a traced run exchanges; goal: the whole run within 1.3 times that.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "SimBench.h"

namespace karvo::bench {
namespace {

// Runs the program to its end, spawned as a shell would (no copy of this process's memory);
// false when it failed. `err` gets its stderr when not empty.
bool RunCli(std::vector<std::string> args, const std::string& err) {
  std::vector<char*> argv = {const_cast<char*>("karvo-cli")};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.empty() ? "/dev/null" : err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, KARVO_CLI_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Bytes in the trace's lines: "HH:MM:SS.mmm > 01 86 ..." gives a byte a " XX".
size_t TracedBytes(const std::string& path) {
  std::ifstream in(path);
  size_t bytes = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string time, direction, word;
    if (!(words >> time >> direction) || (direction != ">" && direction != "<")) continue;
    while (words >> word) bytes += word.size() == 2 ? 1 : 0;
  }
  return bytes;
}

void BM_MeasureOnce(benchmark::State& state) {
  constexpr uint32_t BAUD = 9600;
  sim::TSensorSimOptions options;
  options.Baud = BAUD;
  sim::TSensorSim sim(options);
  std::string error;
  if (!sim.Start(&error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  const std::vector<std::string> args = {
      "--port", sim.DevicePath(), "--baud", std::to_string(BAUD), "measure", "--count", "1"};
  std::vector<std::string> traced = args;
  traced.insert(traced.begin(), "--trace");
  const std::string trace = "/tmp/karvo-oneshot-bench-" + std::to_string(getpid()) + ".trace";
  if (!RunCli(traced, trace)) {
    state.SkipWithError("the traced run failed");
    return;
  }
  const size_t bytes = TracedBytes(trace);
  unlink(trace.c_str());
  int64_t failures = 0;
  TTimes times;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!RunCli(args, "")) ++failures;
    times.Add(Clock::now() - start);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  const double wire = static_cast<double>(bytes) * BITS_PER_BYTE / BAUD;
  std::printf("measure --count 1: %zu bytes on the wire\n", bytes);
  ReportAgainstWire(state, "measure --count 1, start-up included", BAUD, times, wire, failures,
                    1.3);
}
BENCHMARK(BM_MeasureOnce)->Iterations(10)->UseRealTime();

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
