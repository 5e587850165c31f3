// The simulated stage through the program's own stage link: moving, homing, the drive, the
// line it hears on, its faults; and the sensor's target riding on its carriage, up to a
// calibration sweep followed by a verification sweep.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"
#include "stage/Calibration.h"
#include "stage/Motorinterface.h"
#include "stage/SweepGeometry.h"
#include "stage/Verification.h"

namespace karvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

class StageSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TStageSimOptions options;
    options.TimeScale = 0.5;  // 1000 units at speed 2000 take 250 ms
    Stage = std::make_unique<TStageSim>(options);
    std::string error;
    ASSERT_TRUE(Stage->Start(&error)) << error;
    ASSERT_EQ(Reopen(MOTOR_BAUD), ST_OK);
  }
  uint32_t Reopen(uint32_t baud, uint8_t stopBits = 0) {
    TLinkSettings link = MotorLinkSettings(Stage->DevicePath());
    link.BaudRate = baud;
    if (Motor.Open(link) != ST_OK) return Motor.Result;
    // Short time-outs: a silent stage should cost little.
    Motor.PortSettings.ReadTotal = 60;
    Motor.PortSettings.StopBits = stopBits;
    return Motor.Port->Open(Motor.PortSettings);
  }
  // Polls the status until idle; false when it stays busy (or silent) for 5 s.
  bool WaitIdle() {
    const auto until = Clock::now() + std::chrono::seconds(5);
    uint8_t status = 1;
    while (Clock::now() < until) {
      if (Motor.ReadStatus(status) == ST_OK && status == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  std::unique_ptr<TStageSim> Stage;
  TMotorInterface Motor;
};

// Busy while it moves; the sweep below covers where forward moves and homing end.
TEST_F(StageSimTest, BusyWhileMovingHomesFromAnywhereAndDriveOffStopsTheCarriage) {
  uint8_t status = 9;
  ASSERT_EQ(Motor.SetMotion(2000, 1000), ST_OK);
  ASSERT_EQ(Motor.DriveOn(), ST_OK);
  ASSERT_EQ(Motor.MoveForward(), ST_OK);
  ASSERT_EQ(Motor.ReadStatus(status), ST_OK);
  EXPECT_EQ(status, 1);  // 250 ms under way
  ASSERT_TRUE(WaitIdle());
  EXPECT_DOUBLE_EQ(Stage->CarriagePositionMm(), 15.0);

  // Home whatever the distance set; only the low 24 bits of an argument count.
  ASSERT_EQ(Motor.SetMotion(2000, (1 << 24) | 3), ST_OK);
  ASSERT_EQ(Motor.MoveHome(), ST_OK);
  ASSERT_EQ(Motor.ReadStatus(status), ST_OK);  // the frames before it have been taken
  EXPECT_EQ(status, 1);
  EXPECT_EQ(Stage->Distance(), 3);
  EXPECT_EQ(Stage->Speed(), 2000);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Stage->CarriagePositionUnits(), 0.0);

  ASSERT_EQ(Motor.SetMotion(500, 2000), ST_OK);  // 2 s
  ASSERT_EQ(Motor.MoveForward(), ST_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(Motor.DriveOff(), ST_OK);
  ASSERT_TRUE(WaitIdle());
  const double stopped = Stage->CarriagePositionUnits();
  EXPECT_TRUE(stopped > 0.0 && stopped < 2000.0) << stopped;
  EXPECT_FALSE(Stage->DriveOn());
  ASSERT_EQ(Motor.MoveForward(), ST_OK);
  ASSERT_EQ(Motor.MoveHome(), ST_OK);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Stage->CarriagePositionUnits(), stopped);
}

TEST_F(StageSimTest, HearsOnlyItsOwnLineSettings) {
  for (auto [baud, stopBits] : {std::pair{9600u, 0}, std::pair{115200u, 2}}) {
    SCOPED_TRACE(baud);
    ASSERT_EQ(Reopen(baud, static_cast<uint8_t>(stopBits)), ST_OK);
    EXPECT_EQ(Motor.SetMotion(2000, 10), ST_OK);
    uint8_t status = 7;
    EXPECT_EQ(Motor.ReadStatus(status), ST_READ_SHORT);  // also gives the stage time to hear
  }
  ASSERT_EQ(Reopen(MOTOR_BAUD), ST_OK);
  uint8_t status = 7;
  ASSERT_EQ(Motor.ReadStatus(status), ST_OK);
  EXPECT_EQ(Stage->Requests(), (std::vector<std::vector<uint8_t>>{{0x02}}));
  EXPECT_EQ(Stage->Distance(), 0);
}

TEST_F(StageSimTest, FaultsSilenceItOrKeepItBusy) {
  uint8_t status = 0;
  Stage->FailSilentAfter(2);
  for (uint32_t expected : {ST_OK, ST_OK, ST_READ_SHORT, ST_READ_SHORT})
    EXPECT_EQ(Motor.ReadStatus(status), expected);
  Stage->ClearFaults();
  EXPECT_EQ(Motor.ReadStatus(status), ST_OK);

  Stage->FailNeverIdle();
  EXPECT_EQ(Motor.ReadStatus(status), ST_OK);
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(Stage->Moving());
  Stage->FailSilent();
  EXPECT_EQ(Motor.ReadStatus(status), ST_READ_SHORT);
  EXPECT_EQ(Stage->StatusAnswers(), 4u);
}

// The program's sweep, in short: home, then one averaged sample before every step until the
// end of travel. Samples in raw units ("NonLine") or in mm ("Line").
std::vector<float> Sweep(TMotorInterface& motor, TKARVOInterface& link, int16_t range,
                         TSweepKind kind) {
  const uint8_t rangeClass = 1;
  const uint32_t units = StepUnitsOf(range, rangeClass);
  const float step = SampleStepOf(units, rangeClass);
  std::vector<float> samples;
  auto idle = [&motor] {
    for (int i = 0; i < 5000; ++i) {
      uint8_t status = 1;
      if (motor.ReadStatus(status) == ST_OK && status == 0) return true;
    }
    return false;
  };
  EXPECT_EQ(motor.SetMotion(SWEEP_SPEED, static_cast<int32_t>(units)), ST_OK);
  EXPECT_EQ(motor.DriveOn(), ST_OK);
  EXPECT_EQ(motor.MoveHome(), ST_OK);
  auto reading = [&](float& value) {
    uint16_t result = 0;
    if (link.ReadResult(1, result) != ST_OK) return false;
    value = kind == TSweepKind::Calibration ? static_cast<int16_t>(result)
                                            : static_cast<int16_t>(result) * range / 16384.0f;
    return true;
  };
  while (idle()) {
    float first = 0, second = 0;
    if (reading(first)) samples.push_back(reading(second) ? (first + second) * 0.5f : first);
    if (TravelEnded(static_cast<uint32_t>(samples.size()), step, range, kind)) break;
    motor.MoveForward();
  }
  motor.DriveOff();
  return samples;
}

TEST(CoupledSimulators, CalibrationSweepThenVerificationGivesASmallError) {
  constexpr int16_t RANGE = 10;
  TSensorSim sensor({.Baud = 115200, .MeasuringRange = RANGE, .Pace = false, .Noise = 0});
  // The carriage stands wherever the last run left it.
  TStageSim stage(
      {.MmPerUnit = StageMmPerUnitForRange(RANGE), .TimeScale = 0.001, .StartUnits = 300});
  std::string error;
  ASSERT_TRUE(sensor.Start(&error)) << error;
  ASSERT_TRUE(stage.Start(&error)) << error;
  CoupleSensorToStage(sensor, stage);
  TKARVOInterface link;
  ASSERT_EQ(link.Open({.PortKind = PORT_COM, .Name = sensor.DevicePath(), .BaudRate = 115200}),
            ST_OK);
  TMotorInterface motor;
  ASSERT_EQ(OpenMotorPort(motor, stage.DevicePath()), ST_OK);

  sensor.SetRegister(7, 1);  // "NonLine": the raw position
  std::vector<float> raw = Sweep(motor, link, RANGE, TSweepKind::Calibration);
  ASSERT_EQ(raw.size(), SweepSampleCount(RANGE, 1, TSweepKind::Calibration));
  const float step = SampleStepOf(1, 1);
  // The raw position follows the carriage along the optics' curve: equal steps of travel
  // give ever smaller steps of raw position.
  for (size_t i : {0u, 100u, 400u, 680u})
    EXPECT_NEAR(raw[i], sensor.RawPosition(i * static_cast<double>(step)), 0.51) << i;
  const float nearStep = raw[20] - raw[0], farStep = raw[680] - raw[660];
  EXPECT_GT(nearStep, 1.5f * farStep);

  TCalibrationTable table;
  ASSERT_TRUE(BuildCalibrationTable(raw.data(), static_cast<uint32_t>(raw.size()), step, RANGE,
                                    table, error))
      << error;
  EXPECT_EQ(table.Skipped, 0u);
  ASSERT_TRUE(LoadCalibrationTable(link, 1, table, {}, {}).Passed);

  sensor.SetRegister(7, 0);  // "Line", now through the table
  std::vector<float> mm = Sweep(motor, link, RANGE, TSweepKind::Verification);
  ASSERT_EQ(mm.size(), SweepSampleCount(RANGE, 1, TSweepKind::Verification));
  TVerification v = EvaluateVerification(mm.data(), static_cast<uint32_t>(mm.size()), step);
  ASSERT_TRUE(v.HasError);
  EXPECT_GT(v.Stretch.Size(), 600u);
  EXPECT_LT(v.ErrorPercent, 0.5f) << v.Footer;

  // The raw readings taken as a straight line are far from one.
  std::vector<float> rawAsMm(raw.size());
  for (size_t i = 0; i < raw.size(); ++i)
    rawAsMm[i] = (raw[i] - raw[0]) * RANGE / (raw[680] - raw[0]);
  TVerification uncalibrated =
      EvaluateVerification(rawAsMm.data(), static_cast<uint32_t>(rawAsMm.size()), step);
  EXPECT_GT(uncalibrated.ErrorPercent, 5.0f) << uncalibrated.Footer;
  sensor.SetTargetDistance(0);  // the stage goes before the sensor
}

}  // namespace
}  // namespace karvo::sim
