// Streaming at 460800 baud through the program's own worker. The simulated sensor streams as
// fast as the line carries and numbers its samples, so every sample the worker stored is
// accounted for: a gap in the numbers is lost samples, a repeat a duplicate, a step back a
// sample out of order (goal: none of any). Also the worker's CPU time against the wall time
// (goal: under a twentieth of one core).
//
//   stream_bench                       a 3 s stream
//   stream_bench --stream_seconds=60   the full minute (or KARVO_STREAM_SECONDS=60)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SimBench.h"
#include "measure/SampleRing.h"
#include "measure/StreamWorker.h"
#include "params/ParamTable.h"

namespace karvo::bench {
namespace {

constexpr uint32_t STREAM_BAUD = 460800;
constexpr double CPU_GOAL = 0.05;  // of one core
double StreamSeconds = 3;

// Follows the numbers of the stored samples: 16 bits, from 0 at the stream's start. A step
// forward of up to half the range skips samples; any other step back is a repeat of the one
// before or a sample out of order.
struct TSequenceCheck {
  uint64_t Stored = 0;
  uint64_t Lost = 0;
  uint64_t Duplicated = 0;
  uint64_t OutOfOrder = 0;
  uint64_t Next = 0;  // the number due next, unwrapped

  void Add(float value) {
    // "NonLine" stores the word itself, taken as signed.
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
  // The samples the sensor had sent by the end that never came.
  void End(uint64_t sent) {
    if (sent > Next) Lost += sent - Next;
  }
};

void BM_Stream(benchmark::State& state) {
  sim::TSensorSimOptions options;
  options.Baud = STREAM_BAUD;
  options.StreamPeriodUs = 1;  // the line's pace: 4 bytes of 11 bits, 95.5 us a sample
  options.StreamSequence = true;
  sim::TSensorSim sensor(options);
  std::string error;
  if (!sensor.Start(&error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  TKARVOInterface link;
  TLinkSettings settings;
  settings.Name = sensor.DevicePath();
  settings.BaudRate = STREAM_BAUD;
  if (link.Open(settings) != ST_OK) {
    state.SkipWithError(("port: " + link.Port.LastReason).c_str());
    return;
  }
  TSampleRing ring;
  TStreamWorker worker(ring);
  std::atomic<bool> active{false};
  std::atomic<uint32_t> sensorStatus{0}, lastStatus{0};
  TSequenceCheck check;
  uint64_t sent = 0;
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    check = {};
    const uint64_t sentBefore = sensor.StreamSamplesSent();
    link.StartStream(1);
    TStreamSetup setup;
    setup.Link = &link;
    setup.Address = 1;
    setup.RunMode = RUN_NONLINE;
    setup.MeasuringRange = options.MeasuringRange;
    setup.Active = &active;
    setup.SensorStatus = &sensorStatus;
    setup.LastStatus = &lastStatus;
    setup.Stored = [&check](float value) { check.Add(value); };
    const auto start = Clock::now();
    active = true;
    worker.Start(setup);
    std::this_thread::sleep_for(std::chrono::duration<double>(StreamSeconds));
    // Every sample on the line by now must reach the ring; a worker kept from the processor
    // for a moment catches up from the port's buffer.
    sent = sensor.StreamSamplesSent() - sentBefore;
    for (int i = 0; i < 1000 && worker.SamplesSoFar() < sent; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    active = false;
    worker.Join();
    wall = std::chrono::duration<double>(Clock::now() - start).count();
    link.StopStream(1);
    cpu = worker.CpuSeconds();
    check.End(sent);
  }
  const double share = wall > 0 ? cpu / wall : 0;
  const bool whole = check.Lost == 0 && check.Duplicated == 0 && check.OutOfOrder == 0;
  state.counters["sent"] = static_cast<double>(sent);
  state.counters["stored"] = static_cast<double>(check.Stored);
  state.counters["lost"] = static_cast<double>(check.Lost);
  state.counters["duplicated"] = static_cast<double>(check.Duplicated);
  state.counters["out_of_order"] = static_cast<double>(check.OutOfOrder);
  state.counters["cpu_share"] = share;
  std::printf(
      "stream %u baud, %.1f s: %llu sent, %llu stored: lost %llu, duplicated %llu, out of order "
      "%llu (goal: all 0, %s)\n"
      "worker CPU %.3f s of %.3f s = %.3f of a core (goal: under %.2f, %s)\n",
      STREAM_BAUD, StreamSeconds, static_cast<unsigned long long>(sent),
      static_cast<unsigned long long>(check.Stored), static_cast<unsigned long long>(check.Lost),
      static_cast<unsigned long long>(check.Duplicated),
      static_cast<unsigned long long>(check.OutOfOrder), GoalText(whole), cpu, wall, share,
      CPU_GOAL, GoalText(share < CPU_GOAL));
}
BENCHMARK(BM_Stream)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace karvo::bench

int main(int argc, char** argv) {
  return karvo::bench::RunStreamingBenchmarks(argc, argv, karvo::bench::StreamSeconds, 3);
}
