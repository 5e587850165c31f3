// Exchanges per second of the sensor link against the simulated sensor, paced like a real
// line, next to what the wire allows (6 bytes of 11 bits per result exchange), and the goals:
// results at least 0.95 of the wire's rate (0.9 at 460800 baud), the parameters' 126 register
// reads in at most 1.1 times their wire time. The goals hold for the mean, which is what a run
// gets; the median shows the exchange itself, without the stalls a busy machine adds now and
// then. The simulator's own lateness tells its share from the program's.
#include <cstdio>

#include "SimBench.h"

namespace karvo::bench {
namespace {

void BM_ReadResult(benchmark::State& state) {
  auto baud = static_cast<uint32_t>(state.range(0));
  const double goal = baud >= 460800 ? 0.9 : 0.95;
  TSimLink bench;
  if (!bench.Start(baud, state)) return;
  uint16_t result = 0;
  int64_t failures = 0;
  bench.Link.ReadResult(1, result);  // the first exchange wakes everything up
  TTimes times;
  for (auto _ : state) {
    auto start = Clock::now();
    if (bench.Link.ReadResult(1, result) != ST_OK) ++failures;
    times.Add(Clock::now() - start);
    benchmark::DoNotOptimize(result);
  }
  double limit = baud / (EXCHANGE_BYTES * BITS_PER_BYTE);
  double rate = 1 / times.Mean();
  double medianRate = 1 / times.Percentile(0.5);
  auto pacing = bench.Sim->PacingStats();
  state.counters["exchanges_per_s"] = rate;
  state.counters["wire_limit_per_s"] = limit;
  state.counters["ratio"] = rate / limit;
  state.counters["median_ratio"] = medianRate / limit;
  state.counters["sim_late_us"] = pacing.MeanLateUs;
  state.counters["failures"] = static_cast<double>(failures);
  std::printf(
      "ReadResult %6u baud: %7.1f/s (median %7.1f/s), wire limit %7.1f/s, ratio %.3f "
      "(median %.3f), p99 %.0f us, simulator late %.1f us on average, goal at least %.2f: %s "
      "(%s)\n",
      baud, rate, medianRate, limit, rate / limit, medianRate / limit, times.Percentile(0.99) * 1e6,
      pacing.MeanLateUs, goal, GoalText(rate / limit >= goal && failures == 0), WakeRequestText());
}
BENCHMARK(BM_ReadResult)->Arg(9600)->Arg(115200)->Arg(460800)->UseRealTime()->MinTime(2.0);

void BM_ReadParameterRegisters(benchmark::State& state) {
  auto baud = static_cast<uint32_t>(state.range(0));
  TSimLink bench;
  if (!bench.Start(baud, state)) return;
  uint8_t bytes[32];
  int64_t failures = 0;
  bench.Link.ReadRegisters(1, 0, 1, bytes);
  TTimes times;
  for (auto _ : state) {
    auto start = Clock::now();
    for (auto [first, size] : PARAMETER_RUNS)
      if (bench.Link.ReadRegisters(1, first, size, bytes) != ST_OK) ++failures;
    times.Add(Clock::now() - start);
  }
  double wire = 126 * EXCHANGE_BYTES * BITS_PER_BYTE / baud;
  ReportAgainstWire(state, "126 register reads", baud, times, wire, failures, 1.1);
}
BENCHMARK(BM_ReadParameterRegisters)->Arg(115200)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
