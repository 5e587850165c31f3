// karvo-cli publish with one sensor streaming at 460800 baud into a local broker, and out to
// a subscriber. The simulated sensor numbers its samples, so each published value tells
// which sample it is. Figures and goals:
// - delivered / measured by seq: every seq the publisher gave arrives (goal 1.0), and every
//   value is the sample its seq says (none lost on the line);
// - end-to-end latency, from a sample's time in its batch to its arrival at the subscriber
//   (goal: 99th percentile under 250 ms);
// - the publisher's CPU time against its wall time (goal: under a tenth of one core).
//
//   publish_bench                       a 5 s stream
//   publish_bench --stream_seconds=60   (or KARVO_STREAM_SECONDS=60)
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>

#include "SimBench.h"
#include "publish/MqttFixture.h"

namespace karvo::bench {
namespace {

constexpr uint32_t STREAM_BAUD = 460800;
constexpr double LATENCY_GOAL_S = 0.250;
constexpr double CPU_GOAL = 0.10;  // of one core
double StreamSeconds = 5;

void BM_Publish(benchmark::State& state) {
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
  sensor.SetRegister(7, 1);  // "NonLine": the word itself, the sample's number
  sensor.SetRegister(8, 100);
  sensor.SetRegister(9, 0);
  test::TBroker broker;
  test::TSubscriber subscriber(broker.Port());
  if (!test::Accepting(broker.Port()) || !subscriber.Subscribed()) {
    state.SkipWithError("mosquitto did not start");
    return;
  }
  // The count the line carries in the time asked for.
  const auto count = static_cast<uint64_t>(StreamSeconds * STREAM_BAUD / 44);
  double wall = 0, cpu = 0;
  int code = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    test::TChild child(
        {KARVO_CLI_PATH, "--port", sensor.DevicePath(), "--baud", std::to_string(STREAM_BAUD),
         "publish", "--broker", broker.Url(), "--stream", "--count", std::to_string(count)},
        "/dev/null", "/dev/null");
    int status = 0;
    rusage usage{};
    wait4(child.Pid(), &status, 0, &usage);
    wall = std::chrono::duration<double>(Clock::now() - start).count();
    cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // The last batches are still on their way to the subscriber when the publisher ends.
    subscriber.WaitFor(
        [&](const std::vector<test::TMessage>& m) {
          uint64_t values = 0;
          for (const auto& message : m)
            if (message.Topic == "karvo/1234/values")
              values += nlohmann::json::parse(message.Payload)["values"].size();
          return values >= count;
        },
        std::chrono::seconds(5));
  }
  std::set<uint64_t> seqs;
  uint64_t wrongValues = 0, duplicates = 0;
  TTimes latency;
  for (const test::TMessage& m : subscriber.Messages()) {
    if (m.Topic != "karvo/1234/values") continue;
    const auto j = nlohmann::json::parse(m.Payload);
    const uint64_t first = j["seq"];
    const double time = j["time"], period = j["period_s"];
    const auto& values = j["values"];
    for (size_t i = 0; i < values.size(); ++i) {
      if (!seqs.insert(first + i).second) ++duplicates;
      if (static_cast<uint16_t>(values[i].get<double>()) != static_cast<uint16_t>(first + i))
        ++wrongValues;
      latency.Add(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(m.Arrived - (time + static_cast<double>(i) * period))));
    }
  }
  const double measured = static_cast<double>(count);
  const double ratio = measured > 0 ? static_cast<double>(seqs.size()) / measured : 0;
  const double p99 = latency.Percentile(0.99);
  const double share = wall > 0 ? cpu / wall : 0;
  const bool whole = ratio == 1.0 && duplicates == 0 && wrongValues == 0 && code == 0;
  state.counters["delivered_ratio"] = ratio;
  state.counters["latency_p99_ms"] = p99 * 1e3;
  state.counters["cpu_share"] = share;
  std::printf(
      "publish %u baud stream, %llu samples, exit %d: delivered/measured %.6f, %llu duplicated, "
      "%llu not the sample their seq names (goal: 1.0, 0, 0: %s)\n"
      "end-to-end latency: median %.1f ms, p99 %.1f ms (goal: p99 under %.0f ms, %s)\n"
      "publisher CPU %.3f s of %.3f s = %.3f of a core (goal: under %.2f, %s)\n",
      STREAM_BAUD, static_cast<unsigned long long>(count), code, ratio,
      static_cast<unsigned long long>(duplicates), static_cast<unsigned long long>(wrongValues),
      GoalText(whole), latency.Percentile(0.5) * 1e3, p99 * 1e3, LATENCY_GOAL_S * 1e3,
      GoalText(p99 < LATENCY_GOAL_S), cpu, wall, share, CPU_GOAL, GoalText(share < CPU_GOAL));
}
BENCHMARK(BM_Publish)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace karvo::bench

int main(int argc, char** argv) {
  return karvo::bench::RunStreamingBenchmarks(argc, argv, karvo::bench::StreamSeconds, 5);
}
