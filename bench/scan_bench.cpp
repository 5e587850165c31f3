// The scan for a sensor of unknown settings against its goals: a sensor at 9600 / address 1
// found within 1 s, and all 1270 combinations of a silent line tried within 60 s.
#include <cstdio>

#include "SimBench.h"
#include "protocol/SensorScan.h"

namespace karvo::bench {
namespace {

constexpr double FIND_GOAL_S = 1.0;
constexpr double FULL_SCAN_GOAL_S = 60.0;

void Report(benchmark::State& state, const char* what, TTimes& times, double goal, size_t probes,
            int64_t failures) {
  state.counters["s"] = times.Mean();
  state.counters["goal_s"] = goal;
  state.counters["ratio"] = times.Mean() / goal;
  state.counters["probes"] = static_cast<double>(probes);
  state.counters["failures"] = static_cast<double>(failures);
  std::printf("%s: %.3f s (median %.3f s) for %zu probes, goal %.0f s, time/goal %.3f\n", what,
              times.Mean(), times.Percentile(0.5), probes, goal, times.Mean() / goal);
}

// The window's defaults select 9600 / 1, so the first probe finds it.
void BM_FindAt9600(benchmark::State& state) {
  sim::TSensorSim sim;
  std::string error;
  if (!sim.Start(&error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  TScanOptions options;
  options.Port.Name = sim.DevicePath();
  TKARVOInterface link;
  TTimes times;
  int64_t failures = 0;
  size_t probes = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    const TScanResult result = TSensorScan(options).Run(link);
    times.Add(Clock::now() - start);
    probes = result.Probes;
    if (result.Found.size() != 1 || result.Found[0].Baud != 9600) ++failures;
  }
  Report(state, "find at 9600/1", times, FIND_GOAL_S, probes, failures);
}
BENCHMARK(BM_FindAt9600)->Iterations(10)->UseRealTime();

// A sensor that hears every request and answers none: the worst case, every combination.
void BM_SilentFullScan(benchmark::State& state) {
  sim::TSensorSim sim;
  std::string error;
  if (!sim.Start(&error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  sim.FailSilent();
  TScanOptions options;
  options.Port.Name = sim.DevicePath();
  TKARVOInterface link;
  TTimes times;
  int64_t failures = 0;
  size_t probes = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    const TScanResult result = TSensorScan(options).Run(link);
    times.Add(Clock::now() - start);
    probes = result.Probes;
    if (!result.Found.empty() || result.Status != ST_OK || result.Probes != 1270) ++failures;
  }
  Report(state, "silent full scan", times, FULL_SCAN_GOAL_S, probes, failures);
}
BENCHMARK(BM_SilentFullScan)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
