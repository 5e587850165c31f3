// Time to connect to the simulated sensor the way the program does: open the port, identify,
// then read the 36 parameters register by register (126 exchanges); against the wire time,
// with the goal of at most 1.1 times it at 115200 baud.
#include <cstdio>

#include "SimBench.h"

namespace karvo::bench {
namespace {

// Identify: 2 + 16 bytes; each register read: 4 + 2 bytes.
constexpr double CONNECT_BYTES = 18 + 126 * EXCHANGE_BYTES;

void BM_Connect(benchmark::State& state) {
  auto baud = static_cast<uint32_t>(state.range(0));
  TSimLink bench;
  if (!bench.Start(baud, state)) return;
  bench.Link.Close();
  int64_t failures = 0;
  TTimes times;
  for (auto _ : state) {
    auto start = Clock::now();
    if (bench.Link.Open(bench.Settings) != ST_OK) ++failures;
    IdentityRecord identity;
    if (bench.Link.Identify(1, identity) != ST_OK) ++failures;
    uint8_t bytes[32];
    for (auto [first, size] : PARAMETER_RUNS)
      if (bench.Link.ReadRegisters(1, first, size, bytes) != ST_OK) ++failures;
    times.Add(Clock::now() - start);
    bench.Link.Close();
  }
  double wire = CONNECT_BYTES * BITS_PER_BYTE / baud;
  ReportAgainstWire(state, "connect", baud, times, wire, failures, baud == 115200 ? 1.1 : 0);
}
BENCHMARK(BM_Connect)->Arg(9600)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Connect)->Arg(115200)->Iterations(30)->UseRealTime();

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
