// Loading a calibration table into the simulated sensor and reading it back to check it (41
// pages written, 41 read), paced like a real 115200 baud line, against the wire time: a page
// written is 2054 bytes out and 2 back, a page read 4 out and 2048 back, 11 bits a byte.
#include <cstdio>

#include "SimBench.h"
#include "stage/Calibration.h"

namespace karvo::bench {
namespace {

constexpr double PAGE_PAIR_BYTES = 4108;

void BM_CalibrationTableLoad(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  TSimLink bench;
  if (!bench.Start(baud, state)) return;
  TCalibrationTable table;
  for (size_t i = 1; i < CALIBRATION_USED; ++i)
    table.Entries[i] = static_cast<int32_t>(i * 16384 / CALIBRATION_USED);
  int64_t failures = 0;
  TTimes times;
  for (auto _ : state) {
    auto start = Clock::now();
    if (!LoadCalibrationTable(bench.Link, 1, table, {}, {}).Passed) ++failures;
    times.Add(Clock::now() - start);
  }
  const double wire = CALIBRATION_PAGES * PAGE_PAIR_BYTES * BITS_PER_BYTE / baud;
  ReportAgainstWire(state, "calibration table load and check", baud, times, wire, failures);
}
BENCHMARK(BM_CalibrationTableLoad)->Arg(115200)->Iterations(2)->UseRealTime();

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
