// Streaming at 460800 baud through the program's own worker: samples received against the
// samples the simulated sensor sent (none may be lost), and the worker's CPU time against the
// wall time (goal: under a tenth of one core). The sensor streams as fast as the line carries.
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

namespace karvo::bench {
namespace {

constexpr uint32_t STREAM_BAUD = 460800;
constexpr double CPU_LIMIT = 0.10;  // of one core
double StreamSeconds = 3;

void BM_Stream(benchmark::State& state) {
  sim::TSensorSimOptions options;
  options.Baud = STREAM_BAUD;
  options.StreamPeriodUs = 1;  // the line's pace: 4 bytes of 11 bits, 95.5 us a sample
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
  uint64_t sent = 0, received = 0;
  double wall = 0, cpu = 0;
  for (auto _ : state) {
    link.StartStream(1);
    TStreamSetup setup;
    setup.Link = &link;
    setup.Address = 1;
    setup.RunMode = 0;
    setup.MeasuringRange = options.MeasuringRange;
    setup.Active = &active;
    setup.SensorStatus = &sensorStatus;
    setup.LastStatus = &lastStatus;
    const uint64_t sentBefore = sensor.StreamSamplesSent();
    const auto start = Clock::now();
    active = true;
    worker.Start(setup);
    std::this_thread::sleep_for(std::chrono::duration<double>(StreamSeconds));
    // Whatever was sent up to here the worker must read; one that never comes was lost. A
    // worker kept from the processor for a moment catches up from the port's buffer.
    sent = sensor.StreamSamplesSent() - sentBefore;
    for (int i = 0; i < 1000 && worker.SamplesSoFar() < sent; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    active = false;
    worker.Join();
    wall = std::chrono::duration<double>(Clock::now() - start).count();
    link.StopStream(1);
    received = worker.Samples();
    cpu = worker.CpuSeconds();
  }
  const uint64_t lost = sent > received ? sent - received : 0;
  const double share = wall > 0 ? cpu / wall : 0;
  state.counters["sent"] = static_cast<double>(sent);
  state.counters["received"] = static_cast<double>(received);
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["cpu_share"] = share;
  state.counters["cpu_ratio"] = share / CPU_LIMIT;
  std::printf(
      "stream %u baud, %.1f s: sent %llu, received %llu, lost %llu (received/sent %.4f); "
      "worker CPU %.3f s of %.3f s = %.3f of a core, %.2f of the 0.10 limit\n",
      STREAM_BAUD, StreamSeconds, static_cast<unsigned long long>(sent),
      static_cast<unsigned long long>(received), static_cast<unsigned long long>(lost),
      sent > 0 ? static_cast<double>(received) / static_cast<double>(sent) : 0.0, cpu, wall, share,
      share / CPU_LIMIT);
}
BENCHMARK(BM_Stream)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace karvo::bench

int main(int argc, char** argv) {
  if (const char* env = std::getenv("KARVO_STREAM_SECONDS")) {
    karvo::bench::StreamSeconds = std::atof(env);
  }
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const char* flag = "--stream_seconds=";
    if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) {
      karvo::bench::StreamSeconds = std::atof(argv[i] + std::strlen(flag));
      continue;
    }
    rest.push_back(argv[i]);
  }
  if (karvo::bench::StreamSeconds <= 0) karvo::bench::StreamSeconds = 3;
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
