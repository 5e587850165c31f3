// Calibration and verification sweeps through the session on the coupled simulators, and how
// their results are offered and saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ConnectionFixture.h"
#include "sim/StageSim.h"
#include "stage/SweepGeometry.h"

namespace karvo::test {
namespace {

constexpr int16_t RANGE = 10;

sim::TSensorSimOptions SweepSensor() {
  sim::TSensorSimOptions o = FastSensor();
  o.MeasuringRange = RANGE;
  o.Noise = 0;
  return o;
}

class SweepSession : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::TStageSimOptions options;
    options.MmPerUnit = sim::StageMmPerUnitForRange(RANGE);
    options.TimeScale = 0.001;
    options.StartUnits = 200;
    Stage = std::make_unique<sim::TStageSim>(options);
    ASSERT_TRUE(Sensor.Start());
    ASSERT_TRUE(Stage->Start());
    sim::CoupleSensorToStage(Sensor, *Stage);
    UseSensor(Session, Sensor);
    Session.Pause = [](uint32_t) {};
    Session.View.MotorPortText = Stage->DevicePath();
    Dir = std::filesystem::temp_directory_path() / ("karvo-sweep-" + std::to_string(getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override {
    Sensor.SetTargetDistance(0);  // the stage goes before the sensor
    std::filesystem::remove_all(Dir);
  }
  void Sweep(uint32_t mode) {
    Session.RunMode = mode;
    Session.StartStopMeasure();
    for (int i = 0; i < 100000 && Session.Running(); ++i) Session.TimerMainTimer();
    ASSERT_FALSE(Session.Running());
  }
  std::string File(const std::string& name) {
    std::ifstream in(Dir / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string Path(const std::string& name) { return (Dir / name).string(); }

  TScriptedOperator Person;
  sim::TSensorSim Sensor{SweepSensor()};
  std::unique_ptr<sim::TStageSim> Stage;
  TSession Session{Person};
  std::filesystem::path Dir;
};

TEST_F(SweepSession, CalibrationLoadsTheTableAfterARetryAndVerificationThenShowsASmallError) {
  Session.ButtonConnectClick();
  ASSERT_EQ(Session.View.ButtonConnectTag, 1) << Person.LastMessage();
  Sensor.WrongAckNext();
  Person.RetryAnswers = {true};
  Person.SaveAnswers = {Path("cal.klb"), Path("ver.pvk")};

  Sweep(RUN_CALIBRATION);
  const uint32_t steps = SweepSampleCount(RANGE, 1, TSweepKind::Calibration);
  EXPECT_EQ(Session.SampleRing.SampleCount, steps);
  EXPECT_EQ(Session.View.ChartFooter, std::vector<std::string>{"Steps: " + std::to_string(steps)});
  EXPECT_EQ(Session.View.SeriesOsc.Count(), steps);
  EXPECT_EQ(Session.CalibrationLoad.Attempts, 2);
  EXPECT_TRUE(Session.CalibrationLoad.Passed);
  ASSERT_EQ(Person.Questions.size(), 1u);
  EXPECT_EQ(Person.Questions[0].Text, "Error write calibre table.");
  EXPECT_EQ(Session.View.ProgressPos, 40);
  const std::string klb = File("cal.klb");
  EXPECT_EQ(std::count(klb.begin(), klb.end(), '\n'), 20992);
  // The sensor's "Line" output came back after the run.
  EXPECT_EQ(Sensor.Register(7) & 3, 0);

  Sweep(RUN_POVERKA);
  EXPECT_EQ(Person.SaveSuggestions, (std::vector<std::string>{"1234.klb", "1234.pvk"}));
  ASSERT_TRUE(Session.Verification.HasError) << Session.View.ChartFooter.at(0);
  EXPECT_LT(Session.Verification.ErrorPercent, 0.5f);
  EXPECT_EQ(Session.View.ChartFooter, std::vector<std::string>{Session.Verification.Footer});
  EXPECT_EQ(File("ver.pvk").substr(0, 9), "0.015000\n");
  EXPECT_TRUE(Person.Messages.empty()) << Person.LastMessage();
}

TEST_F(SweepSession, AResultIsOfferedSavedOrRefusedAndAFailureIsShown) {
  const float samples[] = {0, 0, 5.0f, 5.1f, 5.2f, 0};
  std::copy(std::begin(samples), std::end(samples), Session.SampleRing.SampleBuffer.begin());
  Session.StageRun.SampleStep = 0.015f;
  const std::string pvk = "0.015000\n5.0000\r\n5.1000\r\n";
  struct Row {
    const char* name;
    bool exists;
    bool rewrite;
    uint16_t count;
    std::string expected;
    const char* message;  // start of the box, "" for none
  };
  const Row rows[] = {
      {"new.pvk", false, true, 6, pvk, ""},
      {"old.pvk", true, false, 6, "old", ""},
      {"no/such.pvk", false, true, 6, "", "Error writing "},
      // A single reading proves nothing: no file is offered.
      {"one.pvk", false, true, 3, "", "Too few readings"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.exists) std::ofstream(Path(row.name)) << "old";
    Person.Messages.clear();
    Person.SaveAnswers = {Path(row.name)};
    Person.ConfirmAnswers = {row.rewrite};
    Session.SampleRing.SampleCount = row.count;
    Session.WriteVerificationFile();
    EXPECT_EQ(File(row.name), row.expected);
    EXPECT_EQ(Person.LastMessage().rfind(row.message, 0), 0u) << Person.LastMessage();
    std::filesystem::remove(Path(row.name));
  }
}

TEST_F(SweepSession, AStagePortThatDoesNotOpenIsShownAndTheRunWaitsForStop) {
  Session.ButtonConnectClick();
  Person.Messages.clear();
  Session.View.MotorPortText = "/nonexistent/stage";
  Session.RunMode = RUN_MOTION_END;
  Session.StartStopMeasure();
  ASSERT_EQ(Person.Messages.size(), 1u);
  EXPECT_EQ(Person.Messages[0].Text.rfind("Error opening /nonexistent/stage.\r"
                                          "Port already in use or not available.",
                                          0),
            0u);
  Session.TimerMainTimer();
  EXPECT_TRUE(Session.Running());
}

}  // namespace
}  // namespace karvo::test
