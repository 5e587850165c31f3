// Several sensors on one shared line: they take turns, a stream owns the line, and one
// sensor's failure carries its own reason.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/Line.h"
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

TEST_F(SharedLine, AStreamOwnsTheLineUntilItStops) {
  Sensor& streaming = *Sensors[1];
  IdentityRecord id;
  ASSERT_TRUE(streaming.Identify(id));
  {
    SensorStream stream(streaming, RUN_LINE);
    ASSERT_TRUE(stream.Start());
    for (Sensor* other : {Sensors[0].get(), Sensors[2].get()}) {
      uint16_t word;
      const Result r = other->ReadResult(word);
      EXPECT_EQ(r.Status, ST_LINE_BUSY);
      EXPECT_NE(r.Reason.find("address 2"), std::string::npos) << r.Reason;
      SensorStream second(*other, RUN_LINE);
      EXPECT_EQ(second.Start().Status, ST_LINE_BUSY);
    }
    std::vector<float> samples;
    ASSERT_TRUE(stream.Take(samples, 500));
    EXPECT_FALSE(samples.empty());
  }
  for (auto& sensor : Sensors) {
    uint16_t word;
    EXPECT_TRUE(sensor->ReadResult(word)) << int(sensor->Address());
  }
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

}  // namespace
}  // namespace karvo::device
