// The device layer against the simulated sensor and stage: results instead of messages,
// values checked before they go out, a streaming sensor brought back, cancels, lost stream
// bytes, and runs that put back what they changed on every way out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "device/Sensor.h"
#include "device/Stage.h"
#include "sim/StageSim.h"
#include "support/ScratchDir.h"
#include "support/SensorFixture.h"

namespace karvo::device {
namespace {

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
