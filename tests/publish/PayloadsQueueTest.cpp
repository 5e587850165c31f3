// The publisher's pure parts: documents byte for byte, the numbering and bound of a sensor's
// queue, the broker address and the reconnect pause.
#include <gtest/gtest.h>

#include <tuple>

#include "params/ParamTable.h"
#include "publish/Broker.h"
#include "publish/Payloads.h"
#include "publish/SampleQueue.h"

namespace karvo::publish {
namespace {

// clang-format off
const TSensorIdentity kSensor{.SerialNumber = 1234, .DeviceType = 7, .Release = 4, .BaseDistance = 60,
                              .MeasuringRange = 100, .Port = "/dev/ttyUSB0", .Address = 1};
// clang-format on

TEST(Payloads, AreTheDocumentedDocuments) {
  EXPECT_EQ(Topic("plant/line3", 1234, "values"), "plant/line3/1234/values");
  TSensorIdentity odd = kSensor;
  odd.Port = "/dev/\"q\"\xff";
  odd.BaseDistance = -5;
  EXPECT_EQ(IdentityPayload(odd),
            R"({"serial_number":1234,"device_type":7,"release":4,"base_distance":-5,)"
            R"("measuring_range":100,"port":"/dev/\"q\")"
            "\xEF\xBF\xBD"
            R"(","address":1})");
  EXPECT_EQ(StatusPayload(STATE_ONLINE, 0), R"({"state":"online","dropped":0})");
  EXPECT_EQ(StatusPayload(STATE_LOST, 17), R"({"state":"sensor lost","dropped":17})");

  struct {
    uint32_t Mode;
    TBatch Batch;
    const char* Expected;
  } cases[] = {
      // clang-format off
      {RUN_LINE, {0, 1796000000.1234561, 0.1, {25.0f, 25.1f}},
       R"({"serial_number":1234,"address":1,"unit":"mm","mode":"Line","seq":0,)"
       R"("time":1796000000.123456,"period_s":0.1,"values":[25.0,25.1]})"},
      // Four decimals in mm, as the display: a float's tail does not show.
      {RUN_LINE, {7, 1.5, 0.0001, {-100.0f, 0.00612f, 12.34567f}},
       R"({"serial_number":1234,"address":1,"unit":"mm","mode":"Line","seq":7,)"
       R"("time":1.5,"period_s":0.0001,"values":[-100.0,0.0061,12.3457]})"},
      {RUN_NONLINE, {65536, 2.0, 0.01, {2000.0f}},
       R"({"serial_number":1234,"address":1,"unit":"px","mode":"NonLine","seq":65536,)"
       R"("time":2.0,"period_s":0.01,"values":[2000.0]})"},
      {RUN_TEMPERATURE, {1, 3.0, 1.0, {}},
       R"({"serial_number":1234,"address":1,"unit":"cl","mode":"Temperature","seq":1,)"
       R"("time":3.0,"period_s":1.0,"values":[]})"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(ValuesPayload(kSensor, c.Mode, c.Batch), c.Expected);
}

// Adds `n` samples 0.01 s apart from `time`, valued from `value` up.
void AddRun(TSampleQueue& queue, int n, double& time, float& value, bool follows = true) {
  for (int i = 0; i < n; ++i) {
    queue.Add(time, value, follows);
    follows = true;
    time += 0.01;
    value += 1;
  }
}

struct TTaken {
  uint64_t Seq;
  size_t Size;
  float First;
  bool operator==(const TTaken&) const = default;
};

TEST(SampleQueue, NumbersBatchesAndBoundsTheSamples) {
  struct {
    const char* Name;
    size_t Capacity;
    std::vector<int> Runs;  // runs of following samples, each after a gap
    size_t TakeBefore;      // samples taken (handed out) before the last run is added
    std::vector<TTaken> Expected;
    uint64_t Dropped;
  } cases[] = {
      // clang-format off
      {"full batches, then the rest", 5000, {2500}, 0, {{0, 1000, 0}, {1000, 1000, 1000}, {2000, 500, 2000}}, 0},
      {"a gap starts a batch", 100, {3, 2}, 0, {{0, 3, 0}, {3, 2, 3}}, 0},
      {"the oldest go for room", 5, {8}, 0, {{3, 5, 3}}, 3},
      {"handed-out samples take room", 5, {3, 4}, 3, {{0, 3, 0}, {5, 2, 5}}, 2},
      {"a drop breaks the run", 4, {2, 4}, 0, {{2, 4, 2}}, 2},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TSampleQueue queue(c.Capacity, 0.01);
    double time = 100;
    float value = 0;
    std::vector<TTaken> taken;
    TBatch batch;
    for (size_t r = 0; r < c.Runs.size(); ++r) {
      if (r + 1 == c.Runs.size() && c.TakeBefore > 0) {
        ASSERT_TRUE(queue.Take(batch, time, 0, true));
        ASSERT_EQ(batch.Values.size(), c.TakeBefore);
        taken.push_back({batch.Seq, batch.Values.size(), batch.Values.front()});
      }
      AddRun(queue, c.Runs[r], time, value, r == 0);
      // A gap in time between runs.
      time += 1;
    }
    while (queue.Take(batch, time, 0, true)) {
      taken.push_back({batch.Seq, batch.Values.size(), batch.Values.front()});
      EXPECT_NEAR(batch.Time,
                  100 + batch.Values.front() * 0.01 + (batch.Values.front() >= c.Runs[0] ? 1 : 0),
                  1e-6);
      EXPECT_DOUBLE_EQ(batch.Period, 0.01);
    }
    EXPECT_EQ(taken, c.Expected);
    EXPECT_EQ(queue.Dropped(), c.Dropped);
    EXPECT_EQ(queue.Measured(), static_cast<uint64_t>(value));
  }
}

TEST(SampleQueue, ABatchWaitsForMoreUntilItsFirstSampleIsOldEnough) {
  TSampleQueue queue(100, 0.01);
  queue.Add(10.0, 1);
  TBatch batch;
  EXPECT_FALSE(queue.Take(batch, 10.04, 0.05));
  EXPECT_TRUE(queue.Take(batch, 10.05, 0.05));
  EXPECT_EQ(queue.Outstanding(), 1u);
  queue.Delivered(1);
  EXPECT_EQ(queue.DeliveredCount(), 1u);
  EXPECT_EQ(queue.Outstanding(), 0u);
  // More acknowledged than handed out is a library's repeat, not samples.
  queue.Delivered(5);
  EXPECT_EQ(queue.DeliveredCount(), 1u);
  queue.Add(11.0, 2);
  ASSERT_TRUE(queue.Take(batch, 11.0, 0.05, true));
  queue.GiveUp(1);
  EXPECT_EQ(queue.Dropped(), 1u);
  EXPECT_EQ(queue.Outstanding(), 0u);
}

TEST(Broker, AddressesAreParsed) {
  const struct {
    const char* Url;
    const char* Host;
    uint16_t Port;
    bool Tls;
  } good[] = {
      // clang-format off
      {"mqtt://broker.plant", "broker.plant", 1883, false}, {"mqtt://10.0.0.5:1884", "10.0.0.5", 1884, false},
      {"mqtts://broker.plant", "broker.plant", 8883, true}, {"mqtts://broker.plant:443/", "broker.plant", 443, true},
      {"mqtt://[::1]:1999", "::1", 1999, false}, {"mqtt://[fe80::1]", "fe80::1", 1883, false},
      // clang-format on
  };
  for (const auto& c : good) {
    TBrokerAddress address;
    std::string problem;
    ASSERT_TRUE(ParseBrokerUrl(c.Url, address, problem)) << c.Url;
    EXPECT_EQ(std::tie(address.Host, address.Port, address.Tls),
              std::tuple(std::string(c.Host), c.Port, c.Tls))
        << c.Url;
  }
  for (const char* url : {"tcp://broker", "broker:1883", "mqtt://", "mqtt://:1883",
                          "mqtt://h:", "mqtt://h:0", "mqtt://h:65536", "mqtt://h:18x3",
                          "mqtt://user@h", "mqtt://h/topic", "mqtt://[::1", "mqtt://[::1]x"}) {
    TBrokerAddress address;
    std::string problem;
    EXPECT_FALSE(ParseBrokerUrl(url, address, problem)) << url;
    EXPECT_FALSE(problem.empty()) << url;
  }
}

TEST(Broker, ReconnectPauseDoublesToFiveSecondsAndStartsOverAfterAConnection) {
  TReconnectDelay delay;
  std::vector<double> pauses;
  for (int i = 0; i < 9; ++i) pauses.push_back(delay.Next());
  EXPECT_EQ(pauses, (std::vector<double>{0.1, 0.2, 0.4, 0.8, 1.6, 3.2, 5, 5, 5}));
  delay.Reset();
  EXPECT_EQ(delay.Next(), 0.1);
}

}  // namespace
}  // namespace karvo::publish
