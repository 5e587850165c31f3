// The scan for a sensor of unknown settings against its goals: a sensor at 9600 / address 1
// found within 1 s, and all 1270 combinations of a silent line tried within 60 s.
#include <cstdio>
#include <functional>

#include "SimBench.h"
#include "protocol/SensorScan.h"

namespace karvo::bench {
namespace {

constexpr double FIND_GOAL_S = 1.0;
constexpr double FULL_SCAN_GOAL_S = 60.0;

// Scans the simulator's line once an iteration and reports the time against `goal`; `ok`
// tells a result the benchmark expects from one it counts as a failure.
void TimeScans(benchmark::State& state, const char* what, bool silent, double goal,
               const std::function<bool(const TScanResult&)>& ok) {
  sim::TSensorSim sim;
  std::string error;
  if (!sim.Start(&error)) return state.SkipWithError(("simulator: " + error).c_str());
  if (silent) sim.FailSilent();
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
    if (!ok(result)) ++failures;
  }
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
  TimeScans(state, "find at 9600/1", false, FIND_GOAL_S,
            [](const TScanResult& r) { return r.Found.size() == 1 && r.Found[0].Baud == 9600; });
}
BENCHMARK(BM_FindAt9600)->Iterations(10)->UseRealTime();

// A sensor that hears every request and answers none: the worst case, every combination.
void BM_SilentFullScan(benchmark::State& state) {
  TimeScans(state, "silent full scan", true, FULL_SCAN_GOAL_S, [](const TScanResult& r) {
    return r.Found.empty() && r.Status == ST_OK && r.Probes == 1270;
  });
}
BENCHMARK(BM_SilentFullScan)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
