// Calibration and verification sweeps through the session on the coupled simulators, and how
// their results are offered and saved.
#include "ConnectionFixture.h"
#include "sim/StageSim.h"
#include "stage/SweepGeometry.h"
#include "support/ScratchDir.h"

namespace karvo::test {
namespace {

constexpr int16_t RANGE = 10;

// The sensor rides on the stage.
class SweepSession : public SimSession {
 protected:
  SweepSession() : SimSession(FastSensor(RANGE, 0)) {}
  void SetUp() override {
    SimSession::SetUp();
    ASSERT_TRUE(Stage.Start());
    sim::CoupleSensorToStage(Sim, Stage);
    Session.Pause = [](uint32_t) {};
    Session.View.MotorPortText = Stage.DevicePath();
  }
  void TearDown() override { Sim.SetTargetDistance(0); }  // the stage goes before the sensor

  TScratchDir Dir;
  sim::TStageSim Stage{
      {.MmPerUnit = sim::StageMmPerUnitForRange(RANGE), .TimeScale = 0.001, .StartUnits = 200}};
};

// The sweeps' results are the command line's tests; here the operator's side of the table load.
TEST_F(SweepSession, CalibrationAsksBeforeRetryingTheTableLoadAndOffersTheFileByItsSerial) {
  Connect();
  Sim.WrongAckNext();
  Person.RetryAnswers = {true};
  Person.SaveAnswers = {Dir.Path("cal.klb")};
  Session.RunMode = RUN_CALIBRATION;
  Session.StartStopMeasure();
  for (int i = 0; i < 100000 && Session.Running(); ++i) Session.TimerMainTimer();
  ASSERT_FALSE(Session.Running());
  EXPECT_EQ(Session.View.SeriesOsc.Count(), SweepSampleCount(RANGE, 1, TSweepKind::Calibration));
  EXPECT_EQ(Session.CalibrationLoad.Attempts, 2);
  EXPECT_EQ(Person.Questions, std::vector<std::string>{"Error write calibre table.|KARVO-SP"});
  EXPECT_EQ(Person.SaveSuggestions, std::vector<std::string>{"1234.klb"});
  EXPECT_NE(FileBytes(Dir.Path("cal.klb")), "");
  EXPECT_TRUE(Person.Messages.empty()) << Person.LastMessage();
}

TEST_F(SweepSession, AResultIsOfferedSavedOrRefusedAndAFailureIsShown) {
  const float samples[] = {0, 0, 5.0f, 5.1f, 5.2f, 0};
  std::copy(std::begin(samples), std::end(samples), Session.SampleRing.SampleBuffer.begin());
  Session.StageRun.SampleStep = 0.015f;
  const struct {
    const char* name;
    bool rewrite;
    uint16_t count;
    std::string expected;
    const char* message;  // start of the box, "" for none
  } rows[] = {
      {"new.pvk", true, 6, "0.015000\n5.0000\r\n5.1000\r\n", ""},
      {"old.pvk", false, 6, "old", ""},
      {"no/such.pvk", true, 6, "", "Error writing "},
      // A single reading proves nothing: no file is offered.
      {"one.pvk", true, 3, "", "Too few readings"},
  };
  PutFile(Dir.Path("old.pvk"), "old");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Person.Messages.clear();
    Person.SaveAnswers = {Dir.Path(row.name)};
    Person.ConfirmAnswers = {row.rewrite};
    Session.SampleRing.SampleCount = row.count;
    Session.WriteVerificationFile();
    EXPECT_EQ(FileBytes(Dir.Path(row.name)), row.expected);
    EXPECT_EQ(Person.LastMessage().rfind(row.message, 0), 0u) << Person.LastMessage();
  }
}

TEST_F(SweepSession, AStagePortThatDoesNotOpenIsShown) {
  Session.View.MotorPortText = "/nonexistent/stage";
  Session.RunMode = RUN_MOTION_END;
  Session.StartStopMeasure();
  EXPECT_THAT(Boxes(Person), ::testing::ElementsAre(::testing::StartsWith(
                                 "KARVO-SP Exclamation: Error opening /nonexistent/stage.\r")));
}

}  // namespace
}  // namespace karvo::test
