// What the link benchmarks share: a paced simulated sensor with the program's link opened on
// it, the parameters' register runs, and per-exchange timing.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "channel/CpuLatency.h"
#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"

namespace karvo::bench {

using Clock = std::chrono::steady_clock;

// Bits on the wire per byte at 8E1: start, 8 data, parity, stop.
constexpr double BITS_PER_BYTE = 11;
// A result exchange (2 request + 4 answer bytes) and a register read (4 + 2) alike.
constexpr double EXCHANGE_BYTES = 6;

// First register and size of the 36 parameters, in table order: 126 registers.
inline const std::pair<uint8_t, uint8_t> PARAMETER_RUNS[36] = {
    {0, 1},   {1, 1},   {4, 1},   {3, 1},   {2, 1},    {2, 1},   {2, 1},   {5, 1},    {6, 1},
    {8, 2},   {10, 2},  {12, 2},  {14, 2},  {16, 1},   {23, 2},  {41, 1},  {32, 1},   {34, 2},
    {36, 4},  {40, 1},  {2, 1},   {129, 1}, {25, 2},   {27, 2},  {130, 2}, {132, 1},  {7, 1},
    {144, 1}, {146, 2}, {148, 2}, {150, 2}, {160, 32}, {192, 8}, {200, 8}, {208, 16}, {224, 16},
};

struct TSimLink {
  std::unique_ptr<sim::TSensorSim> Sim;
  TKARVOInterface Link;
  TLinkSettings Settings;

  bool Start(uint32_t baud, benchmark::State& state) {
    sim::TSensorSimOptions options;
    options.Baud = baud;
    Sim = std::make_unique<sim::TSensorSim>(options);
    std::string error;
    if (!Sim->Start(&error)) {
      state.SkipWithError(("simulator: " + error).c_str());
      return false;
    }
    Settings.Name = Sim->DevicePath();
    Settings.BaudRate = baud;
    if (Link.Open(Settings) != ST_OK) {
      state.SkipWithError(("port: " + Link.Port.LastReason).c_str());
      return false;
    }
    return true;
  }
};

// Durations of single operations, in seconds.
class TTimes {
 public:
  void Add(Clock::duration d) { seconds_.push_back(std::chrono::duration<double>(d).count()); }
  double Mean() const {
    double sum = 0;
    for (double s : seconds_) sum += s;
    return seconds_.empty() ? 0 : sum / static_cast<double>(seconds_.size());
  }
  double Percentile(double p) {
    if (seconds_.empty()) return 0;
    std::sort(seconds_.begin(), seconds_.end());
    return seconds_[static_cast<size_t>(p * static_cast<double>(seconds_.size() - 1))];
  }

 private:
  std::vector<double> seconds_;
};

inline const char* GoalText(bool met) {
  return met ? "met" : "MISSED";
}

// What became of the program's request that the processors wake quickly (made from 115200
// baud; it takes root or access to /dev/cpu_dma_latency), as the figures depend on it.
inline const char* WakeRequestText() {
  switch (CpuLatencyState()) {
    case TCpuLatencyState::Held:
      return "quick wake-up held";
    case TCpuLatencyState::Refused:
      return "quick wake-up refused";
    default:
      return "quick wake-up not asked at this rate";
  }
}

// Reports a timed operation against its wire time, as counters and as a printed line; with a
// goal, whether the mean took at most `goal` times the wire time without a failure.
inline void ReportAgainstWire(benchmark::State& state, const char* what, uint32_t baud,
                              TTimes& times, double wire, int64_t failures, double goal = 0) {
  const double ratio = times.Mean() / wire;
  state.counters["ms"] = times.Mean() * 1e3;
  state.counters["wire_ms"] = wire * 1e3;
  state.counters["ratio"] = ratio;
  state.counters["median_ratio"] = times.Percentile(0.5) / wire;
  state.counters["failures"] = static_cast<double>(failures);
  std::printf("%s %6u baud: %.2f ms (median %.2f ms), wire %.2f ms, time/wire %.3f (median %.3f)",
              what, baud, times.Mean() * 1e3, times.Percentile(0.5) * 1e3, wire * 1e3, ratio,
              times.Percentile(0.5) / wire);
  if (goal > 0) {
    std::printf(", goal at most %.2f: %s", goal, GoalText(ratio <= goal && failures == 0));
  }
  std::printf("\n");
}

// main() of the streaming benchmarks: `seconds` from KARVO_STREAM_SECONDS or
// --stream_seconds=S (else `fallback`), the other arguments Google Benchmark's.
inline int RunStreamingBenchmarks(int argc, char** argv, double& seconds, double fallback) {
  if (const char* env = std::getenv("KARVO_STREAM_SECONDS")) seconds = std::atof(env);
  std::vector<char*> rest;
  const char* flag = "--stream_seconds=";
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) {
      seconds = std::atof(argv[i] + std::strlen(flag));
      continue;
    }
    rest.push_back(argv[i]);
  }
  if (seconds <= 0) seconds = fallback;
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace karvo::bench
