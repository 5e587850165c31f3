// Several sensors on one shared line: they take turns, one sensor's failure carries its own
// reason, and rounds over them: a silent sensor leaves gaps and is called silent only after
// three rounds in a row, a cancel or a failing line ends the rounds at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "device/Line.h"
#include "device/Rounds.h"
#include "device/Sensor.h"
#include "sim/SensorSim.h"

namespace karvo::device {
namespace {

class SharedLine : public ::testing::Test {
 protected:
  SharedLine() : Sim({.Baud = 115200, .Pace = false, .Noise = 0, .Addresses = {1, 2, 3}}) {}
  void SetUp() override {
    ASSERT_TRUE(Sim.Start());
    ASSERT_TRUE(Bus->Open({.Port = Sim.DevicePath(), .Baud = 115200}));
    for (uint8_t address : {1, 2, 3}) Sensors.push_back(std::make_unique<Sensor>(Bus, address));
  }

  sim::TSensorSim Sim;
  std::shared_ptr<Line> Bus = std::make_shared<Line>();
  std::vector<std::unique_ptr<Sensor>> Sensors;
};

TEST_F(SharedLine, SensorsOnSeveralThreadsTakeTurnsWithoutALostExchange) {
  std::atomic<int> failures = 0;
  std::vector<std::thread> threads;
  for (size_t i = 0; i < Sensors.size(); ++i) {
    threads.emplace_back([&, i] {
      Sensor& sensor = *Sensors[i];
      for (int n = 0; n < 60; ++n) {
        IdentityRecord id;
        uint8_t registers[20];
        if (!sensor.Identify(id) || id.SerialNumber != 1234 + i) ++failures;
        // Several requests in one operation, each its own turn.
        if (!sensor.ReadRegisters(0, sizeof registers, registers) || registers[3] != i + 1)
          ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
}

TEST_F(SharedLine, ASensorGoneFromTheLineNeitherClosesItNorLendsItsReason) {
  Sensors.push_back(std::make_unique<Sensor>(Bus, 9));  // nobody there
  Sensors.back()->Link().SetReadTimeouts(5, 50, 1);
  uint16_t word;
  const Result silent = Sensors.back()->ReadResult(word);
  EXPECT_EQ(silent.Status, ST_READ_SHORT);
  Sensors.back().reset();
  EXPECT_TRUE(Bus->IsOpen());
  EXPECT_TRUE(Sensors[0]->ReadResult(word));
  EXPECT_EQ(Sensors[0]->Settings().Port, Sim.DevicePath());
}

class RoundsOnALine : public SharedLine {
 protected:
  void SetUp() override {
    SharedLine::SetUp();
    // A silent sensor costs one read time-out a round.
    Bus->Link().SetReadTimeouts(5, 40, 1);
  }
  Rounds Polling() {
    std::vector<PolledSensor> polled;
    for (uint8_t a : {1, 2, 3})
      polled.push_back({.Address = a, .RunMode = RUN_LINE, .MeasuringRange = 100});
    return Rounds(Bus, polled);
  }
  // Every sensor answering again: a silenced one hears "this many more" requests.
  void Awake() {
    for (uint8_t a : {1, 2, 3}) Sim.FailSilentAt(a, 1000000);
  }
  // "1.3": which sensors gave a value.
  static std::string Answered(const std::vector<std::optional<float>>& values) {
    std::string seen;
    for (size_t i = 0; i < values.size(); ++i) seen += values[i] ? char('1' + i) : '.';
    return seen;
  }
};

TEST_F(RoundsOnALine, GapsAreLeftAndOnlyThreeSilentRoundsInARowEndTheRun) {
  struct Case {
    const char* Name;
    std::vector<std::vector<uint8_t>> Silent;  // per round, the sensors that do not answer
    std::vector<std::string> Answered;         // per round, who gave a value
    int EndsAtRound;                           // 0: every round succeeds
    int SilentAddress;
  };
  const std::vector<Case> cases = {
      {"all answer", {{}, {}, {}}, {"123", "123", "123"}, 0, 0},
      {"one silent", {{2}, {2}, {2}}, {"1.3", "1.3", "1.3"}, 3, 2},
      {"misses not in a row", {{2}, {2}, {}, {2}, {2}}, {"1.3", "1.3", "123", "1.3", "1.3"}, 0, 0},
      {"the first to reach three", {{3}, {1, 3}, {1, 3}, {1}}, {"12.", ".2.", ".2."}, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Rounds rounds = Polling();
    std::vector<std::optional<float>> values;
    for (size_t round = 0; round < c.Answered.size(); ++round) {
      Awake();
      for (uint8_t a : c.Silent[round]) Sim.FailSilentAt(a, 0);
      const Result r = rounds.Next(values);
      const bool last = static_cast<int>(round) + 1 == c.EndsAtRound;
      EXPECT_EQ(r.Ok(), !last) << "round " << round + 1 << ": " << r.Describe();
      EXPECT_EQ(Answered(values), c.Answered[round]) << "round " << round + 1;
      for (const auto& v : values) {
        EXPECT_TRUE(!v || (*v >= 0 && *v <= 100)) << v.value_or(-1);
      }
      if (last) {
        EXPECT_EQ(r.Status, ST_READ_SHORT);
        EXPECT_EQ(r.Reason, "the sensor at address " + std::to_string(c.SilentAddress) +
                                " did not answer 3 rounds in a row");
      }
    }
    EXPECT_EQ(rounds.SilentAddress().value_or(0), c.SilentAddress);
    Awake();
    EXPECT_EQ(rounds.Next(values).Ok(), c.EndsAtRound == 0) << "the rounds stay ended";
  }
}

TEST_F(RoundsOnALine, ACancelOrAFailingLineEndsTheRoundAtOnce) {
  {
    Rounds rounds = Polling();
    CancelToken cancel;
    rounds.SetCancelToken(&cancel);
    std::vector<std::optional<float>> values;
    ASSERT_TRUE(rounds.Next(values));
    cancel.Cancel();
    const uint32_t answered = Sim.AnswerCount();
    EXPECT_TRUE(rounds.Next(values).Cancelled());
    EXPECT_EQ(Sim.AnswerCount(), answered) << "nothing asked once cancelled";
  }
  Rounds rounds = Polling();
  Sim.HangUp();
  std::vector<std::optional<float>> values;
  const Result r = rounds.Next(values);
  EXPECT_FALSE(r);
  EXPECT_NE(r.Status, ST_READ_SHORT) << "a hang-up is not three rounds of silence";
  EXPECT_FALSE(rounds.SilentAddress());
  EXPECT_EQ(r.Doing, "measuring at address 1");
}

}  // namespace
}  // namespace karvo::device
