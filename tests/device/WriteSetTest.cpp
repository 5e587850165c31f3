// Writing several rows under each rule for refused values, the run mode the sensor holds, and
// a caller's own streaming worker on the sensor: the parts the window, the command line and
// scripts share.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "device/Sensor.h"
#include "device/Words.h"
#include "measure/RunModes.h"
#include "support/SensorFixture.h"

namespace karvo::device {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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

}  // namespace
}  // namespace karvo::device
