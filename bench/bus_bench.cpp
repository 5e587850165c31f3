// Rounds of results from three simulated sensors on one line (as `karvo-cli measure --address
// 1,2,3` polls them: one result from each, in turn, back to back), paced like a real line,
// against what the wire allows for three result exchanges, and the goal: at least 0.95 of the
// wire's rate at 115200 baud (9600 shown beside it). The simulator's own lateness tells its
// share from the program's.
#include <cstdio>
#include <memory>
#include <vector>

#include "SimBench.h"
#include "device/Line.h"
#include "device/Sensor.h"

namespace karvo::bench {
namespace {

constexpr uint8_t ADDRESSES[] = {1, 2, 3};
constexpr double GOAL = 0.95;

void BM_MeasureRounds(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  sim::TSensorSimOptions options;
  options.Baud = baud;
  options.Addresses = {std::begin(ADDRESSES), std::end(ADDRESSES)};
  sim::TSensorSim sim(options);
  std::string error;
  if (!sim.Start(&error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  auto line = std::make_shared<device::Line>();
  if (device::Result r = line->Open({.Port = sim.DevicePath(), .Baud = baud}); !r) {
    state.SkipWithError(r.Describe().c_str());
    return;
  }
  std::vector<std::unique_ptr<device::Sensor>> sensors;
  for (uint8_t address : ADDRESSES)
    sensors.push_back(std::make_unique<device::Sensor>(line, address));
  int64_t failures = 0;
  uint16_t word = 0;
  for (auto& sensor : sensors) sensor->ReadResult(word);  // the first exchanges wake everything
  TTimes times;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (auto& sensor : sensors) {
      if (!sensor->ReadResult(word)) ++failures;
    }
    times.Add(Clock::now() - start);
    benchmark::DoNotOptimize(word);
  }
  const double limit = baud / (std::size(ADDRESSES) * EXCHANGE_BYTES * BITS_PER_BYTE);
  const double rate = 1 / times.Mean();
  const double medianRate = 1 / times.Percentile(0.5);
  const auto pacing = sim.PacingStats();
  state.counters["rounds_per_s"] = rate;
  state.counters["wire_limit_per_s"] = limit;
  state.counters["ratio"] = rate / limit;
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["sim_late_us"] = pacing.MeanLateUs;
  const bool goalHolds = baud != 115200 || (rate / limit >= GOAL && failures == 0);
  std::printf(
      "3 sensors %6u baud: %7.1f rounds/s (median %7.1f), wire limit %7.1f/s, ratio %.3f "
      "(median %.3f), simulator late %.1f us on average, failures %lld, goal at least %.2f at "
      "115200: %s (%s)\n",
      baud, rate, medianRate, limit, rate / limit, medianRate / limit, pacing.MeanLateUs,
      static_cast<long long>(failures), GOAL, GoalText(goalHolds), WakeRequestText());
}
BENCHMARK(BM_MeasureRounds)->Arg(9600)->Arg(115200)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
