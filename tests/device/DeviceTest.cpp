// The device layer against the simulated sensor and stage: results instead of messages,
// values checked before they go out, a streaming sensor brought back, cancels, lost stream
// bytes, sets written under each rule, and runs that put back what they changed on every way
// out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "device/Sensor.h"
#include "device/Stage.h"
#include "device/Words.h"
#include "measure/RunModes.h"
#include "sim/StageSim.h"
#include "support/ScratchDir.h"
#include "support/SensorFixture.h"

namespace karvo::device {
namespace {
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr uint8_t REG_AVERAGED = 6;
constexpr uint8_t REG_MODE = 7;

using SimSensor = test::SensorOnSim;

TEST_F(SimSensor, ValuesARowRefusesAreNotSent) {
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

TEST_F(SimSensor, ATableWithAnEntryBeyondSixteenBitsIsRefusedBeforeAPageGoesOut) {
  TCalibrationTable table;
  table.Entries[100] = 70000;
  TTableLoadResult outcome;
  Sim.ClearRequests();
  EXPECT_EQ(Dev.LoadTable(table, outcome).Status, ST_BAD_VALUE);
  EXPECT_TRUE(Sim.Requests().empty());
}

// A cancel ends an operation before the next exchange that would wait for an answer, also
// inside a row of many registers, while writes, which never wait, always go through whole.
class Cancelling : public test::SensorOnSim {
 protected:
  void SetUp() override {
    SensorOnSim::SetUp();
    // The token is set as the `after`-th request goes out, as a Ctrl-C during it would.
    Dev.Link().Trace = [this](char direction, const uint8_t*, size_t) {
      if (direction == '>' && ++Sent == CancelAfter) Token->Cancel();
    };
  }

  int Sent = 0;
  int CancelAfter = 0;
  CancelToken* Token = nullptr;
};

TEST_F(Cancelling, EndsWithinOneExchangeWhereverItComes) {
  struct Case {
    const char* What;
    bool Standing;  // the sensor's own token, else the operation's
    int After;
    std::function<Result(Sensor&, const CancelToken*)> Run;
    const char* Doing;
  };
  TPARAMVALUE value;
  TParamSet values;
  const Case cases[] = {
      {"third register of the customer row", true, 3,
       [&](Sensor& s, const CancelToken*) { return s.ReadParameter(ROW_CUSTOMER, value); },
       "reading row 31"},
      {"inside the customer row of a compare", false, 75,
       [&](Sensor& s, const CancelToken* t) {
         std::vector<ParameterDifference> differences;
         TParamSet read;
         return s.CompareParameters(values, read, differences, t);
       },
       "reading row 31"},
      {"a measure", false, 5,
       [&](Sensor& s, const CancelToken* t) { return s.Measure(RUN_LINE, 100, {}, t); },
       "measuring"},
      {"an identify after the cancel", true, 1,
       [&](Sensor& s, const CancelToken*) {
         IdentityRecord id;
         s.ReadParameter(ROW_MODE_OF_RUN, value);
         return s.Identify(id);
       },
       "identify"},
  };
  for (const Case& c : cases) {
    CancelToken token;
    Token = &token;
    Sent = 0;
    CancelAfter = c.After;
    Dev.SetCancelToken(c.Standing ? &token : nullptr);
    const Result r = c.Run(Dev, c.Standing ? nullptr : &token);
    EXPECT_TRUE(r.Cancelled()) << c.What << ": " << r.Describe();
    EXPECT_EQ(r.Doing, c.Doing) << c.What;
    EXPECT_EQ(r.Reason, "") << c.What;
    EXPECT_EQ(Sent, c.After) << c.What << ": no request after the cancel";
    Dev.SetCancelToken(nullptr);
    // The operation's token is its own: the next operation runs.
    EXPECT_TRUE(Dev.ReadParameter(ROW_SERIAL, value)) << c.What;
  }
}

TEST_F(Cancelling, WritesGoThroughWholeSoThatWhatARunChangedCanBePutBack) {
  CancelToken token;
  token.Cancel();
  Dev.SetCancelToken(&token);
  Sim.ClearRequests();
  const TPARAMVALUE customer{"  ACME, a customer of 32 bytes.", 0};
  EXPECT_TRUE(Dev.WriteParameter(ROW_CUSTOMER, customer));
  EXPECT_EQ(Sim.Requests().size(), 32u);
  TPARAMVALUE back;
  EXPECT_EQ(Dev.ReadParameter(ROW_CUSTOMER, back).Status, ST_CANCELLED);
  Dev.SetCancelToken(nullptr);
  ASSERT_TRUE(Dev.ReadParameter(ROW_CUSTOMER, back));
  EXPECT_EQ(back.Text, customer.Text);
}

// A stream goes on past a lost byte and says how many samples it lost; a line that stays
// garbled ends it, and the sensor is told to stop either way.
TEST(StreamLoss, ALostByteCostsOneSampleAGarbledLineEndsTheStream) {
  struct Case {
    const char* What;
    int Hit;  // samples that lose a byte, from the first
    uint32_t Status;
    uint64_t Lost;
  };
  for (const Case c : {Case{"clean", 0, ST_OK, 0}, Case{"one lost byte", 1, ST_OK, 1},
                       Case{"garbled for good", 1000000, ST_BAD_FRAME, 0}}) {
    sim::TSensorSim sim(
        {.Address = 5, .Baud = 115200, .Noise = 0, .StreamPeriodUs = 200, .StreamSequence = true});
    ASSERT_TRUE(sim.Start());
    Sensor dev;
    ASSERT_TRUE(dev.Open({.Port = sim.DevicePath(), .Baud = 115200, .Address = 5}));
    sim.DropByteOfNext(c.Hit);
    std::vector<float> values;
    uint64_t lost = 99;
    const Result r = dev.Stream(
        RUN_NONLINE, 300, [&values](float v) { values.push_back(v); }, nullptr, &lost);
    EXPECT_EQ(r.Status, c.Status) << c.What << ": " << r.Describe();
    EXPECT_EQ(lost, c.Lost) << c.What;
    if (r) {
      ASSERT_EQ(values.size(), 300u) << c.What;
      EXPECT_EQ(values.front(), float(c.Lost)) << c.What;
      EXPECT_EQ(values.back(), float(299 + c.Lost)) << c.What;
    } else {
      EXPECT_EQ(r.Doing, "streaming") << c.What;
    }
    EXPECT_TRUE(test::StreamStopped(sim)) << c.What;
  }
}

// Writing several rows under each rule for refused values, the run mode the sensor holds, and
// a caller's own streaming worker on the sensor: the parts the window, the command line and
// scripts share.

class WriteSet : public test::SensorOnSim {
 protected:
  uint32_t Held(int row) {
    TPARAMVALUE v;
    EXPECT_TRUE(Dev.ReadParameter(row, v)) << row;
    return v.Value;
  }
};

TEST_F(WriteSet, EachRuleSendsWhatItShouldAndReportsTheRefusedRow) {
  struct Case {
    RefusedValues Rule;
    uint32_t Status;
    bool FittingSent;  // the row that fits reached the sensor
    bool RefusedSent;  // the row that does not fit reached the sensor
    size_t RowsDone;   // RowDone calls
  };
  const Case cases[] = {
      {RefusedValues::RefuseSet, ST_BAD_VALUE, false, false, 0},
      {RefusedValues::SendFitting, ST_BAD_VALUE, true, false, PARAM_COUNT},
      {RefusedValues::Force, ST_OK, true, true, PARAM_COUNT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Rule));
    ASSERT_TRUE(Dev.WriteParameters(Read));  // back to what the sensor held
    TParamSet values = Read;
    values[ROW_SENSOR_ON].Value ^= 1;
    values[ROW_CAN_STD_ID].Value = 4096;  // beyond 11 bits

    WriteSetOptions options;
    options.Refused = c.Rule;
    std::vector<int> order;
    std::vector<int> skipped;
    int lastDone = 0, lastTotal = 0;
    options.RowDone = [&](int row, const Result& outcome) {
      order.push_back(row);
      if (outcome.Status == ST_BAD_VALUE) {
        EXPECT_FALSE(outcome.Reason.empty());
        skipped.push_back(row);
      }
    };
    options.Progress = [&](int done, int total) { lastDone = done, lastTotal = total; };
    std::vector<int> failed;
    const Result r = Dev.WriteParameters(values, options, &failed);

    EXPECT_EQ(r.Status, c.Status) << r.Describe();
    EXPECT_EQ(Held(ROW_SENSOR_ON),
              c.FittingSent ? values[ROW_SENSOR_ON].Value : Read[ROW_SENSOR_ON].Value);
    EXPECT_EQ(Held(ROW_CAN_STD_ID) == 4096, c.RefusedSent);
    EXPECT_EQ(order.size(), c.RowsDone);
    if (!order.empty()) {
      // Highest first: the address and rate change before rows 1 and 0.
      EXPECT_EQ(order.front(), PARAM_COUNT - 1);
      EXPECT_EQ(order.back(), 0);
      EXPECT_EQ(lastDone, PARAM_COUNT);
      EXPECT_EQ(lastTotal, PARAM_COUNT);
    }
    if (c.Rule == RefusedValues::Force) {
      EXPECT_THAT(failed, IsEmpty());
      EXPECT_THAT(skipped, IsEmpty());
    } else {
      EXPECT_THAT(failed, ElementsAre(ROW_CAN_STD_ID));
      EXPECT_EQ(r.Doing, "writing row 17");
    }
    if (c.Rule == RefusedValues::SendFitting) {
      EXPECT_THAT(skipped, ElementsAre(ROW_CAN_STD_ID));
    }
  }
}

TEST_F(WriteSet, ChosenRowsGoAloneACancelStopsBetweenRowsAndTheWordsForceAll) {
  TParamSet values = Read;
  values[ROW_SENSOR_ON].Value ^= 1;
  values[ROW_LASER].Value ^= 1;
  WriteSetOptions options;
  options.Rows = {ROW_LASER};
  Sim.ClearRequests();
  ASSERT_TRUE(Dev.WriteParameters(values, options));
  EXPECT_EQ(Sim.Requests().size(), 1u);
  EXPECT_EQ(Held(ROW_LASER), values[ROW_LASER].Value);
  EXPECT_EQ(Held(ROW_SENSOR_ON), Read[ROW_SENSOR_ON].Value);

  CancelToken cancel;
  options.Rows = {};
  options.Cancel = &cancel;
  options.RowDone = [&](int row, const Result&) {
    if (row == 10) cancel.Cancel();
  };
  EXPECT_TRUE(Dev.WriteParameters(values, options).Cancelled());
  EXPECT_EQ(Held(ROW_SENSOR_ON), Read[ROW_SENSOR_ON].Value) << "row 0 comes after the cancel";

  // The command line's --force and Python's force=True go through the same rule.
  values[ROW_CAN_STD_ID].Value = 4096;
  std::vector<int> failed;
  EXPECT_EQ(WriteParameterSet(Dev, values, false, nullptr, &failed).Status, ST_BAD_VALUE);
  EXPECT_THAT(failed, ElementsAre(ROW_CAN_STD_ID));
  EXPECT_EQ(Held(ROW_SENSOR_ON), Read[ROW_SENSOR_ON].Value);
  failed.clear();
  EXPECT_TRUE(WriteParameterSet(Dev, values, true, nullptr, &failed));
  EXPECT_THAT(failed, IsEmpty());
  EXPECT_EQ(Held(ROW_CAN_STD_ID), 4096u);
  EXPECT_EQ(Held(ROW_SENSOR_ON), values[ROW_SENSOR_ON].Value);
  Sim.ClearRequests();
  EXPECT_EQ(WriteParameterSet(Dev, Read, true, &cancel).Status, ST_CANCELLED);
  EXPECT_EQ(Sim.Requests().size(), 0u) << "cancelled before the first row";
}

TEST_F(WriteSet, TheHeldRunModeFollowsTheRegistersLowBits) {
  const struct {
    uint8_t Register;
    uint32_t Mode;
  } cases[] = {
      {0, RUN_LINE}, {1, RUN_NONLINE}, {2, RUN_LINE}, {3, RUN_TEMPERATURE}, {0xF1, RUN_NONLINE}};
  for (const auto& c : cases) {
    Sim.SetRegister(7, c.Register);
    uint32_t mode = 99;
    ASSERT_TRUE(ReadHeldRunMode(Dev, mode));
    EXPECT_EQ(mode, c.Mode) << int(c.Register);
  }
}

TEST_F(WriteSet, ACallersWorkerOwnsTheLineUntilItsStopJoinsIt) {
  TSampleRing ring;
  TStreamWorker worker{ring};
  std::atomic<bool> active{false};
  std::atomic<uint32_t> sensorStatus{ST_OK}, lastStatus{ST_OK};
  TStreamSetup setup;
  setup.RunMode = RUN_LINE;
  setup.Active = &active;
  setup.SensorStatus = &sensorStatus;
  setup.LastStatus = &lastStatus;

  ASSERT_TRUE(Dev.StartStream(worker, setup));
  EXPECT_TRUE(active);
  for (int i = 0; i < 200 && worker.SamplesSoFar() < 5; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(worker.SamplesSoFar(), 5u);
  // A second stream on the same line is refused without a word on it.
  TStreamWorker second{ring};
  std::atomic<bool> secondActive{false};
  TStreamSetup other = setup;
  other.Active = &secondActive;
  EXPECT_EQ(Dev.StartStream(second, other).Status, ST_LINE_BUSY);
  EXPECT_FALSE(secondActive || second.Joinable());

  EXPECT_TRUE(Dev.StopStream(worker, active));
  EXPECT_FALSE(active || worker.Joinable());
  EXPECT_TRUE(test::StreamStopped(Sim));
  IdentityRecord id;
  EXPECT_TRUE(Dev.Identify(id)) << "the line is free again";

  Dev.Close();
  EXPECT_EQ(Dev.StartStream(worker, setup).Status, ST_NOT_OPEN);
  EXPECT_FALSE(active || worker.Joinable());
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

  sim::TStageSim StageSim{{.MmPerUnit = sim::StageMmPerUnitForRange(10), .TimeScale = 0.001}};
  Stage Motor;
  test::TScratchDir Dir;
};

// Only a whole run saves its file; every run puts back what it changed.
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
      {"whole calibration", SweepKind::Calibrate, UINT32_MAX, false, false, ST_OK},
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
    const std::string file = Dir.Path(c.Status == ST_OK ? "t.klb" : "never.klb");
    options.File = file;
    options.Progress = [&](uint32_t samples, uint32_t, double) {
      if (samples >= c.CancelAtSamples) cancel.Cancel();
    };
    SweepResult result;
    SweepLimits limits{.NoAnswer = std::chrono::milliseconds(300),
                       .BusyMargin = std::chrono::milliseconds(300)};
    const Result r = RunSweep(Dev, Motor, Read, options, result, &cancel, limits);
    EXPECT_EQ(r.Status, c.Status) << r.Describe();
    EXPECT_EQ(result.File, c.Status == ST_OK ? file : "");
    StageSim.ClearFaults();
    // The put-back's writes are not answered: the simulators may still be taking them.
    const auto putBack = [&] {
      return Sim.Register(REG_AVERAGED) == Read[ROW_AVERAGED].Value &&
             Sim.Register(REG_MODE) == Read[ROW_MODE_OF_RUN].Value &&
             (c.Silent || !StageSim.DriveOn());  // a silent stage hears no drive-off
    };
    for (int i = 0; i < 100 && !putBack(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Sim.Register(REG_AVERAGED), Read[ROW_AVERAGED].Value);
    EXPECT_EQ(Sim.Register(REG_MODE), Read[ROW_MODE_OF_RUN].Value);
    EXPECT_TRUE(c.Silent || !StageSim.DriveOn());
  }
  EXPECT_FALSE(std::filesystem::exists(Dir.Path("never.klb")));
}

}  // namespace
}  // namespace karvo::device
