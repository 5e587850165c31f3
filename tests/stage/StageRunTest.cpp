// The stage-driven runs against the simulated stage, with a stand-in for the window that
// scripts the sensor's readings: the phases, the sampling budget, the end of travel, the stop
// in every phase and the runs a silent stage or sensor ends.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "measure/RunModes.h"
#include "sim/StageSim.h"
#include "stage/Motorinterface.h"
#include "stage/StageRun.h"

namespace karvo {
namespace {

using namespace std::chrono_literals;

// The window's side of a run, on a simulated stage of its own.
class TFakeWindow : public TStageRunOwner {
 public:
  TFakeWindow() {
    EXPECT_TRUE(Stage.Start());
    Port = Stage.DevicePath();
    Read[ROW_AVERAGED].Value = 4;
    Read[ROW_MODE_OF_RUN].Value = 2;
    Run.Now = [this] { return TStageRun::Clock::now() + Offset; };
  }

  // The loop's start and stop paths, as far as the hooks see them.
  void Start(uint32_t mode, int16_t range) {
    Mode = mode;
    MeasuringRange = range;
    SampleRing.ResetRun();
    Running = true;
    Run.StageStart(mode);
  }
  void StartStopMeasure() override {
    if (!Running) return;
    Running = false;
    Run.StageStopDrive(Mode);
    if (Mode == RUN_CALIBRATION || Mode == RUN_POVERKA) Run.StageStopFinish(Mode);
  }
  // Ticks until the run ends, or until it is in `phase`.
  void Tick(int phase = -1) {
    for (int i = 0; i < 100000 && Running && Run.StageSubstate != phase; ++i) Run.StageTick(Mode);
  }

  bool TakeMeasurement() override {
    ++Readings;
    if (Failing.count(Readings) || AllFail) return false;
    SampleRing.LastValue = static_cast<float>(Readings);
    return true;
  }
  void LoadParameter(int row) override { Loads.push_back({row, Working[row].Value}); }
  TParamSet& WorkingParams() override { return Working; }
  const TParamSet& ReadParams() override { return Read; }
  TSampleRing& Ring() override { return SampleRing; }
  std::string& ResultDisplay() override { return Display; }
  int16_t Range() const override { return MeasuringRange; }
  uint8_t CurrentRangeClass() const override { return RangeClassOf(MeasuringRange); }
  TStageMotion& Motor() override { return Link; }
  uint32_t& MotorStatus() override { return Result; }
  bool OpenMotorPort() override {
    if (karvo::OpenMotorPort(Link, Port) != ST_OK) return false;
    // A silent stage should cost little.
    Link.PortSettings.ReadTotal = 20;
    return Link.Port->Open(Link.PortSettings) == ST_OK;
  }
  void CloseMotorPort() override { Link.Close(); }
  void StagePause(uint32_t ms) override { Pauses.push_back(ms); }
  void WriteCalibrationFile() override { Written.push_back(".klb"); }
  void WriteVerificationFile() override { Written.push_back(".pvk"); }
  void RunEndedMessage(const std::string& text) override { Messages.push_back(text); }

  // The stage's requests as words, status polls left out: "V2000" speed, "D1" distance, "ON",
  // "OFF", "HOME", "FWD". Waits until the simulator has read all that was sent.
  std::vector<std::string> Frames() {
    std::vector<std::vector<uint8_t>> frames = Stage.Requests();
    for (int quiet = 0; quiet < 3;) {
      std::this_thread::sleep_for(10ms);
      auto now = Stage.Requests();
      quiet = now.size() == frames.size() ? quiet + 1 : 0;
      frames = std::move(now);
    }
    std::vector<std::string> out;
    for (const auto& f : frames) {
      int32_t argument = 0;
      for (size_t k = 1; k < f.size(); ++k) argument |= (f[k] & 0x0F) << (4 * (k - 1));
      const std::map<uint8_t, std::string> words = {
          {MOTOR_SET_SPEED, "V" + std::to_string(argument)},
          {MOTOR_SET_DISTANCE, "D" + std::to_string(argument)},
          {MOTOR_DRIVE, argument ? "ON" : "OFF"},
          {MOTOR_MOVE_HOME, "HOME"},
          {MOTOR_MOVE_FORWARD, "FWD"}};
      if (words.count(f[0])) out.push_back(words.at(f[0]));
    }
    return out;
  }
  // Drive off twice, port closed, both parameters back, nothing written.
  void ExpectStoppedCleanly() {
    const std::vector<std::string> f = Frames();
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(f.end() - 2, f.end()),
              (std::vector<std::string>{"OFF", "OFF"}));
    EXPECT_FALSE(Link.IsOpen());
    EXPECT_TRUE(Written.empty());
    ASSERT_GE(Loads.size(), 2u);
    EXPECT_EQ(std::vector(Loads.end() - 2, Loads.end()),
              (std::vector<std::pair<int, uint32_t>>{{ROW_AVERAGED, 4}, {ROW_MODE_OF_RUN, 2}}));
  }

  sim::TStageSim Stage{{.TimeScale = 0.001}};
  std::string Port;
  TStageRun Run{*this};
  TMotorInterface Link;
  uint32_t Result = 0;
  TSampleRing SampleRing;
  TParamSet Working{};
  TParamSet Read{};
  std::string Display;
  uint32_t Mode = 0;
  int16_t MeasuringRange = 0;
  bool Running = false;
  int Readings = 0;
  std::set<int> Failing;
  bool AllFail = false;
  std::chrono::seconds Offset{0};
  std::vector<std::pair<int, uint32_t>> Loads;
  std::vector<uint32_t> Pauses;
  std::vector<std::string> Written;
  std::vector<std::string> Messages;
};

TEST(StageRun, SweepsHomeThenSampleBeforeEveryStepUntilTheEndOfTravel) {
  struct Row {
    uint32_t mode;
    int16_t range;
    std::vector<std::string> opening;  // up to the first step
    uint32_t samples;  // 102 % of the range for a calibration, 101 % for a verification
    uint32_t modeOfRun;
    const char* file;
  };
  const Row rows[] = {
      {RUN_CALIBRATION, 10, {"V2000", "D1", "ON", "HOME", "FWD"}, 681, 1, ".klb"},
      // The smallest stage sweeps at the lower speed.
      {RUN_POVERKA, 5, {"V2000", "D1", "ON", "HOME", "V500", "D1", "FWD"}, 2021, 0, ".pvk"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.range);
    TFakeWindow w;
    // Position 2 gives no sample; at position 4 only the first reading is taken.
    w.Failing = {5, 9};
    w.Start(row.mode, row.range);
    w.Tick();

    EXPECT_EQ(w.SampleRing.SampleCount, row.samples);
    const std::vector<float>& kept = w.SampleRing.SampleBuffer;
    EXPECT_EQ(std::vector(kept.begin(), kept.begin() + 4), (std::vector{1.5f, 3.5f, 6.5f, 8.0f}));
    const std::vector<std::string> f = w.Frames();
    ASSERT_GT(f.size(), row.opening.size());
    EXPECT_EQ(std::vector(f.begin(), f.begin() + static_cast<long>(row.opening.size())),
              row.opening);
    // One step after every position but the last; the failed one still moved on.
    EXPECT_EQ(static_cast<uint32_t>(std::count(f.begin(), f.end(), "FWD")), row.samples);
    EXPECT_EQ(w.Loads.front(), (std::pair<int, uint32_t>{ROW_AVERAGED, 0}));
    EXPECT_EQ(w.Loads[1], (std::pair<int, uint32_t>{ROW_MODE_OF_RUN, row.modeOfRun}));
    EXPECT_EQ(w.Written, std::vector<std::string>{row.file});
    EXPECT_EQ(w.Display, ResultText(row.mode, static_cast<float>(w.Readings)));
    w.Written.clear();
    w.ExpectStoppedCleanly();
  }
}

TEST(StageRun, OneTickTakesAtMostTheBudgetAndAStopInAnyPhaseWritesNothing) {
  TFakeWindow w;
  w.Run.TickSlice = std::chrono::hours(1);
  w.Start(RUN_CALIBRATION, 100);
  w.Tick(2);
  w.Run.StageTick(RUN_CALIBRATION);
  EXPECT_EQ(w.SampleRing.SampleCount, SAMPLE_BUDGET);
  w.StartStopMeasure();
  w.ExpectStoppedCleanly();

  struct Row {
    uint32_t mode;
    int16_t range;
    int phase;  // the stop comes while the run is in it
    std::vector<std::string> frames;
  };
  const Row rows[] = {
      {RUN_CALIBRATION, 100, 0, {"V2000", "D1", "ON", "HOME", "OFF", "OFF"}},
      // The largest stage leaves home by the lead-in before it samples.
      {RUN_POVERKA, 1500, 1, {"V2000", "D2", "ON", "HOME", "V2000", "D500", "FWD", "OFF", "OFF"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    TFakeWindow v;
    v.Start(row.mode, row.range);
    v.Tick(row.phase);
    v.Stage.FailNeverIdle();
    v.Run.StageTick(row.mode);
    v.StartStopMeasure();
    EXPECT_EQ(v.Frames(), row.frames);
    v.ExpectStoppedCleanly();
  }
}

TEST(StageRun, MotionRunsEndThemselvesOnceTheStageHasStopped) {
  TFakeWindow w;
  w.Start(RUN_MOTION_END, 10);
  w.Tick();
  EXPECT_NEAR(w.Stage.CarriagePositionUnits(), MOTION_DISTANCE, 1.0);
  EXPECT_EQ(w.Stage.Speed(), SWEEP_SPEED);
  w.Start(RUN_MOTION_HOME, 10);
  w.Tick();
  EXPECT_EQ(w.Stage.CarriagePositionUnits(), 0.0);
  EXPECT_EQ(w.Pauses, (std::vector<uint32_t>{10, 10, 100, 10, 10}));
  EXPECT_TRUE(w.Messages.empty());
}

TEST(StageRun, ASilentStageOrSensorEndsTheRunNamingIt) {
  struct Row {
    const char* what;
    std::function<void(TFakeWindow&)> fault;
    TRunEnd end;
    const char* message;
  };
  const Row rows[] = {
      {"stage", [](auto& w) { w.Stage.FailSilent(); }, TRunEnd::StageSilent, STAGE_SILENT_TEXT},
      {"sensor", [](auto& w) { w.AllFail = true; }, TRunEnd::SensorSilent, SENSOR_SILENT_TEXT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TFakeWindow w;
    w.Start(RUN_POVERKA, 100);
    w.Tick(2);
    row.fault(w);
    int ticks = 0;
    for (; w.Running && ticks < 10; ++ticks) {
      w.Run.StageTick(RUN_POVERKA);
      w.Offset += 2s;
    }
    EXPECT_GE(ticks, 3) << "about 5 s of silence, not one failure";
    EXPECT_EQ(w.Run.EndedBy, row.end);
    EXPECT_EQ(w.Messages, std::vector<std::string>{row.message});
    w.ExpectStoppedCleanly();
  }
  // A stage port that never opened was reported at the start: the run waits for Stop.
  TFakeWindow unopened;
  unopened.Port = "/nonexistent/stage";
  unopened.Start(RUN_MOTION_END, 10);
  for (int i = 0; i < 5; ++i, unopened.Offset += 10s) unopened.Run.StageTick(RUN_MOTION_END);
  EXPECT_TRUE(unopened.Running);
}

}  // namespace
}  // namespace karvo
