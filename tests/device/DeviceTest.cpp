// The device layer against the simulated sensor and stage: results instead of messages,
// values checked before they go out, a streaming sensor brought back, and runs that put back
// what they changed on every way out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "device/Sensor.h"
#include "device/Stage.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"
#include "support/FastSensor.h"
#include "support/ScratchDir.h"

namespace karvo::device {
namespace {

constexpr uint8_t REG_AVERAGED = 6;
constexpr uint8_t REG_MODE = 7;

// The stop request goes out without an answer; the simulator takes it a moment later.
bool StopsStreaming(const sim::TSensorSim& sim) {
  for (int i = 0; i < 100 && sim.Streaming(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !sim.Streaming();
}

class SimSensor : public ::testing::Test {
 protected:
  explicit SimSensor(int16_t range = 300) : Sim(test::FastSensor(range, 0)) {}
  void SetUp() override {
    ASSERT_TRUE(Sim.Start());
    ASSERT_TRUE(Dev.Open({.Port = Sim.DevicePath(), .Baud = 115200, .Address = 5}));
    IdentityRecord id;
    ASSERT_TRUE(Dev.Identify(id));
    ASSERT_TRUE(Dev.ReadParameters(Read));
  }

  sim::TSensorSim Sim;
  Sensor Dev;
  TParamSet Read;
};

TEST_F(SimSensor, ValuesARowRefusesAreNotSentAndFailuresAreNeverDifferences) {
  struct Case {
    int Row;
    uint32_t Value;
  };
  // Address beyond 127, an averaging count beyond the list, a CAN identifier beyond 11 bits.
  for (const Case c :
       {Case{ROW_ADDRESS, 200}, Case{ROW_AVERAGED, 99999}, Case{ROW_CAN_STD_ID, 4096}}) {
    Sim.ClearRequests();
    TPARAMVALUE v{"", c.Value};
    const Result r = Dev.WriteParameter(c.Row, v);
    EXPECT_EQ(r.Status, ST_BAD_VALUE) << c.Row;
    EXPECT_FALSE(r.Reason.empty());
    EXPECT_TRUE(Sim.Requests().empty()) << c.Row;
  }
  // A whole set with one bad row sends nothing at all.
  TParamSet set = Read;
  set[ROW_ADDRESS].Value = 0;
  std::vector<int> failed;
  Sim.ClearRequests();
  EXPECT_EQ(Dev.WriteParameters(set, nullptr, {}, &failed).Status, ST_BAD_VALUE);
  EXPECT_EQ(failed, std::vector<int>{ROW_ADDRESS});
  EXPECT_TRUE(Sim.Requests().empty());

  Sim.FailSilent();
  TPARAMVALUE read = Read[ROW_SERIAL];
  bool equal = true;
  const Result r = Dev.CompareParameter(ROW_SERIAL, Read[ROW_SERIAL], read, equal);
  EXPECT_EQ(r.Status, ST_READ_SHORT);
  EXPECT_EQ(r.Doing, "reading row 28");
  EXPECT_FALSE(equal);
}

TEST_F(SimSensor, ZeroSetKeepsTheWorkingSetAndTheSensorAlikeAndRefusesASumThatDoesNotFit) {
  Sim.SetTargetDistance(150);  // half the range: a raw result of 8192
  TParamSet working = Read;
  working[ROW_ZERO_POINT].Value = 0;
  ASSERT_TRUE(Dev.Zero(working));
  EXPECT_EQ(working[ROW_ZERO_POINT].Value, 8192u);
  EXPECT_EQ(Sim.Register(23) | Sim.Register(24) << 8, 8192);

  working[ROW_ZERO_POINT].Value = 30000;
  Sim.SetTargetDistance(300);  // 8192 above the zero point now
  Sim.ClearRequests();
  EXPECT_EQ(Dev.Zero(working).Status, ST_BAD_VALUE);
  EXPECT_EQ(working[ROW_ZERO_POINT].Value, 30000u);
  EXPECT_EQ(Sim.Requests().size(), 1u);  // the result only
}

TEST_F(SimSensor, ASensorLeftStreamingIsStoppedAndTheRequestAnswered) {
  Dev.Link().StartStream(5);  // as a program killed mid-stream leaves it
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(Sim.Streaming());
  IdentityRecord id;
  EXPECT_TRUE(Dev.Identify(id));
  EXPECT_EQ(id.SerialNumber, 1234);
  EXPECT_FALSE(Sim.Streaming());
  TParamSet again;
  EXPECT_TRUE(Dev.ReadParameters(again));
  EXPECT_EQ(again, Read);
}

TEST_F(SimSensor, StreamsStopOnEveryWayOut) {
  std::vector<float> got;
  ASSERT_TRUE(Dev.Stream(RUN_NONLINE, 50, [&](float v) { got.push_back(v); }));
  EXPECT_EQ(got.size(), 50u);
  EXPECT_TRUE(StopsStreaming(Sim));

  CancelToken cancel;
  size_t n = 0;
  const Result r = Dev.Stream(
      RUN_NONLINE, 0,
      [&](float) {
        if (++n == 20) cancel.Cancel();
      },
      &cancel);
  EXPECT_TRUE(r.Cancelled());
  EXPECT_TRUE(StopsStreaming(Sim));

  {
    SensorStream stream(Dev, RUN_LINE);
    ASSERT_TRUE(stream.Start());
    std::vector<float> some;
    while (some.empty()) ASSERT_TRUE(stream.Take(some, 100));
  }  // left without Stop
  EXPECT_TRUE(StopsStreaming(Sim));
  IdentityRecord id;
  EXPECT_TRUE(Dev.Identify(id));
}

TEST_F(SimSensor, ATableWithAnEntryBeyondSixteenBitsIsRefusedBeforeAPageGoesOut) {
  TCalibrationTable table;
  table.Entries[100] = 70000;
  TTableLoadResult outcome;
  Sim.ClearRequests();
  EXPECT_EQ(Dev.LoadTable(table, outcome).Status, ST_BAD_VALUE);
  EXPECT_TRUE(Sim.Requests().empty());
}

// The sensor rides on the simulated stage.
class SimSweep : public SimSensor {
 protected:
  SimSweep() : SimSensor(10) {}
  void SetUp() override {
    SimSensor::SetUp();
    ASSERT_TRUE(StageSim.Start());
    sim::CoupleSensorToStage(Sim, StageSim);
    ASSERT_TRUE(Motor.Open(StageSim.DevicePath()));
  }
  void TearDown() override { Sim.SetTargetDistance(0); }

  // The sensor and the stage are as they were before the run.
  void ExpectPutBack() {
    EXPECT_EQ(Sim.Register(REG_AVERAGED), Read[ROW_AVERAGED].Value);
    EXPECT_EQ(Sim.Register(REG_MODE), Read[ROW_MODE_OF_RUN].Value);
    EXPECT_FALSE(StageSim.DriveOn());
  }

  sim::TStageSim StageSim{{.MmPerUnit = sim::StageMmPerUnitForRange(10), .TimeScale = 0.001}};
  Stage Motor;
  test::TScratchDir Dir;
};

TEST_F(SimSweep, ACalibrationRunsToItsFileAndPutsBackWhatItChanged) {
  SweepOptions options;
  options.File = Dir.Path("t.klb");
  SweepResult result;
  const Result r = RunSweep(Dev, Motor, Read, options, result);
  ASSERT_TRUE(r) << r.Describe();
  EXPECT_EQ(result.Steps, 681u);
  EXPECT_EQ(result.Expected, 681u);
  EXPECT_TRUE(result.Table.Passed);
  EXPECT_EQ(result.File, Dir.Path("t.klb"));
  ExpectPutBack();
}

TEST_F(SimSweep, ARunCancelledInEachPhaseOrEndedByTheStagePutsBackAndSavesNothing) {
  struct Case {
    const char* Name;
    SweepKind Kind;
    uint32_t CancelAtSamples;  // cancelled once so many samples are taken
    bool NeverIdle;
    bool Silent;
    uint32_t Status;
  };
  const Case cases[] = {
      {"cancelled homing", SweepKind::Calibrate, 0, false, false, ST_CANCELLED},
      {"cancelled sampling", SweepKind::Calibrate, 100, false, false, ST_CANCELLED},
      {"cancelled verifying", SweepKind::Verify, 300, false, false, ST_CANCELLED},
      {"stage never idle", SweepKind::Home, UINT32_MAX, true, false, ST_STAGE_STUCK},
      {"stage silent", SweepKind::Calibrate, UINT32_MAX, false, true, ST_NO_STAGE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    StageSim.ClearFaults();
    StageSim.FailNeverIdle(c.NeverIdle);
    if (c.Silent) StageSim.FailSilentAfter(3);
    CancelToken cancel;
    SweepOptions options;
    options.Kind = c.Kind;
    options.File = Dir.Path("never.klb");
    options.Progress = [&](uint32_t samples, uint32_t, double) {
      if (samples >= c.CancelAtSamples) cancel.Cancel();
    };
    SweepResult result;
    SweepLimits limits{.NoAnswer = std::chrono::milliseconds(300),
                       .BusyMargin = std::chrono::milliseconds(300)};
    const Result r = RunSweep(Dev, Motor, Read, options, result, &cancel, limits);
    EXPECT_EQ(r.Status, c.Status) << r.Describe();
    EXPECT_TRUE(result.File.empty());
    StageSim.ClearFaults();
    EXPECT_EQ(Sim.Register(REG_AVERAGED), Read[ROW_AVERAGED].Value);
    EXPECT_EQ(Sim.Register(REG_MODE), Read[ROW_MODE_OF_RUN].Value);
    if (!c.Silent) {
      EXPECT_FALSE(StageSim.DriveOn());  // a silent stage hears no drive-off
    }
  }
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("never.klb")));
}

}  // namespace
}  // namespace karvo::device
