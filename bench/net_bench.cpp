// The sensor link through a serial device server (Debian's ser2net, started here on free
// local ports) in front of the paced simulated sensor.
//
// ReadResult over raw TCP and over RFC 2217 at 9600 and 115200 baud: exchanges per second
// against what the wire allows (6 bytes of 11 bits), goals at least 0.95 of it at 9600 and
// 0.8 at 115200. The server runs as a device server set up for request and answer traffic is:
// without ser2net's "chardelay", which holds every received byte back for two characters'
// time (2.3 ms at 9600 baud) to gather more; the same runs with ser2net's defaults follow,
// for comparison, without a goal.
//
// A 460800 baud stream through RFC 2217 with the program's worker, every sample numbered:
// lost 0, duplicated 0, out of order 0.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "SimBench.h"
#include "measure/SampleRing.h"
#include "measure/StreamWorker.h"
#include "params/ParamTable.h"
#include "support/Ser2net.h"

namespace karvo::bench {
namespace {

enum Kind : int64_t { RAW = 0, RFC2217 = 1 };

const char* KindName(int64_t kind) {
  return kind == RAW ? "tcp" : "rfc2217";
}

// The simulator, ser2net in front of it, and the link opened on the network port.
struct TNetLink {
  std::unique_ptr<sim::TSensorSim> Sim;
  test::TSer2net Server;
  TKARVOInterface Link;

  bool Start(const sim::TSensorSimOptions& options, int64_t kind, bool charDelay,
             benchmark::State& state) {
    Sim = std::make_unique<sim::TSensorSim>(options);
    std::string error;
    if (!Sim->Start(&error)) {
      state.SkipWithError(("simulator: " + error).c_str());
      return false;
    }
    std::vector<std::string> serverOptions;
    if (!charDelay) serverOptions.push_back("chardelay: false");
    if (!Server.Start({{Sim->DevicePath(), std::to_string(options.Baud) + "e81"}}, error,
                      serverOptions)) {
      state.SkipWithError(error.c_str());
      return false;
    }
    TLinkSettings settings;
    settings.Name = kind == RAW ? Server.RawUrl() : Server.TelnetUrl();
    settings.BaudRate = options.Baud;
    if (Link.Open(settings) != ST_OK) {
      state.SkipWithError(("port: " + Link.Port.LastReason).c_str());
      return false;
    }
    return true;
  }
};

void BM_NetReadResult(benchmark::State& state) {
  const int64_t kind = state.range(0);
  const auto baud = static_cast<uint32_t>(state.range(1));
  const bool charDelay = state.range(2) != 0;
  const double goal = baud <= 9600 ? 0.95 : 0.8;
  sim::TSensorSimOptions options;
  options.Baud = baud;
  TNetLink bench;
  if (!bench.Start(options, kind, charDelay, state)) return;
  uint16_t result = 0;
  int64_t failures = 0;
  bench.Link.ReadResult(1, result);  // the first exchange opens the server's serial port
  TTimes times;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (bench.Link.ReadResult(1, result) != ST_OK) ++failures;
    times.Add(Clock::now() - start);
    benchmark::DoNotOptimize(result);
  }
  const double limit = baud / (EXCHANGE_BYTES * BITS_PER_BYTE);
  const double rate = 1 / times.Mean();
  const double ratio = rate / limit;
  // The exchange itself, without the stalls a busy machine adds now and then.
  const double medianRatio = 1 / times.Percentile(0.5) / limit;
  state.counters["exchanges_per_s"] = rate;
  state.counters["wire_limit_per_s"] = limit;
  state.counters["ratio"] = ratio;
  state.counters["median_ratio"] = medianRatio;
  state.counters["failures"] = static_cast<double>(failures);
  if (charDelay) {
    std::printf(
        "ReadResult %-7s %6u baud, ser2net defaults:   %7.1f/s, wire limit %7.1f/s, ratio "
        "%.3f (median %.3f), p99 %.0f us, %lld failed (for comparison)\n",
        KindName(kind), baud, rate, limit, ratio, medianRatio, times.Percentile(0.99) * 1e6,
        static_cast<long long>(failures));
    return;
  }
  std::printf(
      "ReadResult %-7s %6u baud, without chardelay: %7.1f/s, wire limit %7.1f/s, ratio %.3f "
      "(median %.3f), p99 %.0f us, %lld failed, goal at least %.2f: %s (%s)\n",
      KindName(kind), baud, rate, limit, ratio, medianRatio, times.Percentile(0.99) * 1e6,
      static_cast<long long>(failures), goal, GoalText(ratio >= goal && failures == 0),
      WakeRequestText());
}
// About two seconds each, run once, so that each figure is printed once: the goals first,
// then the same with ser2net's defaults.
void Slow(benchmark::internal::Benchmark* b) {
  b->ArgsProduct({{RAW, RFC2217}, {9600}, {0}});
}
void Fast(benchmark::internal::Benchmark* b) {
  b->ArgsProduct({{RAW, RFC2217}, {115200}, {0}});
}
void SlowDefaults(benchmark::internal::Benchmark* b) {
  b->ArgsProduct({{RAW, RFC2217}, {9600}, {1}});
}
void FastDefaults(benchmark::internal::Benchmark* b) {
  b->ArgsProduct({{RAW, RFC2217}, {115200}, {1}});
}
BENCHMARK(BM_NetReadResult)->Apply(Slow)->UseRealTime()->Iterations(280);
BENCHMARK(BM_NetReadResult)->Apply(Fast)->UseRealTime()->Iterations(3000);
BENCHMARK(BM_NetReadResult)->Apply(SlowDefaults)->UseRealTime()->Iterations(280);
BENCHMARK(BM_NetReadResult)->Apply(FastDefaults)->UseRealTime()->Iterations(3000);

// Follows the numbers of the stored samples (16 bits, from 0 at the stream's start).
struct TSequenceCheck {
  uint64_t Stored = 0, Lost = 0, Duplicated = 0, OutOfOrder = 0;
  uint64_t Next = 0;

  void Add(float value) {
    const auto number = static_cast<uint16_t>(static_cast<int32_t>(value));
    const auto step = static_cast<uint16_t>(number - static_cast<uint16_t>(Next));
    ++Stored;
    if (step == 0xFFFF) {
      ++Duplicated;
    } else if (step >= 0x8000) {
      ++OutOfOrder;
    } else {
      Lost += step;
      Next += step + 1u;
    }
  }
};

void BM_NetStream(benchmark::State& state) {
  constexpr uint32_t BAUD = 460800;
  constexpr double SECONDS = 3;
  sim::TSensorSimOptions options;
  options.Baud = BAUD;
  options.StreamPeriodUs = 1;  // as fast as the line carries
  options.StreamSequence = true;
  TNetLink bench;
  if (!bench.Start(options, RFC2217, true, state)) return;
  TSampleRing ring;
  TStreamWorker worker(ring);
  std::atomic<bool> active{false};
  std::atomic<uint32_t> sensorStatus{0}, lastStatus{0};
  TSequenceCheck check;
  uint64_t sent = 0;
  for (auto _ : state) {
    check = {};
    const uint64_t sentBefore = bench.Sim->StreamSamplesSent();
    bench.Link.StartStream(1);
    TStreamSetup setup;
    setup.Link = &bench.Link;
    setup.Address = 1;
    setup.RunMode = RUN_NONLINE;
    setup.MeasuringRange = options.MeasuringRange;
    setup.Active = &active;
    setup.SensorStatus = &sensorStatus;
    setup.LastStatus = &lastStatus;
    setup.Stored = [&check](float value) { check.Add(value); };
    active = true;
    worker.Start(setup);
    std::this_thread::sleep_for(std::chrono::duration<double>(SECONDS));
    // What the sensor put on the line by now must all come through the server.
    sent = bench.Sim->StreamSamplesSent() - sentBefore;
    for (int i = 0; i < 2000 && worker.SamplesSoFar() < sent; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    active = false;
    worker.Join();
    bench.Link.StopStream(1);
    if (sent > check.Next) check.Lost += sent - check.Next;
  }
  const bool whole = check.Lost == 0 && check.Duplicated == 0 && check.OutOfOrder == 0 &&
                     lastStatus == ST_OK && sent > 0;
  state.counters["sent"] = static_cast<double>(sent);
  state.counters["lost"] = static_cast<double>(check.Lost);
  state.counters["duplicated"] = static_cast<double>(check.Duplicated);
  std::printf(
      "stream rfc2217 %u baud, %.0f s: %llu sent, %llu stored: lost %llu, duplicated %llu, out "
      "of order %llu, status %u (goal: all 0, %s)\n",
      BAUD, SECONDS, static_cast<unsigned long long>(sent),
      static_cast<unsigned long long>(check.Stored), static_cast<unsigned long long>(check.Lost),
      static_cast<unsigned long long>(check.Duplicated),
      static_cast<unsigned long long>(check.OutOfOrder), lastStatus.load(), GoalText(whole));
}
BENCHMARK(BM_NetStream)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
