// The measurement loop through the session: results per mode on the display, the chart and
// the ring against a scripted sensor; zero set, start and stop paths, stage hooks and the
// data file against the simulated one. Streaming: the worker's hand-over at the stop, forced
// stops, a sensor lost mid-stream (also run under the thread sanitizer: the worker and the
// window thread share the link, the ring and the display). Calibration and verification
// sweeps on the coupled simulators, and how their results are offered and saved.
#include <atomic>
#include <cmath>
#include <sstream>
#include <thread>

#include "ConnectionFixture.h"
#include "measure/RunModes.h"
#include "sim/StageSim.h"
#include "stage/SweepGeometry.h"
#include "support/PtyPeer.h"
#include "support/ScratchDir.h"

namespace karvo::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;

// A result answer; `bad` spoils one tag.
Bytes Result(uint16_t word, bool bad = false) {
  Bytes wire = SensorWire({uint8_t(word), uint8_t(word >> 8)});
  if (bad) wire.back() ^= 0x10;
  return wire;
}

std::vector<std::string> Points(const TOscSeries& series) {
  std::vector<std::string> out;
  for (const TOscPoint& p : series.Points()) {
    std::ostringstream o;
    o << p.X << ':' << p.Y << ':' << p.Label << (p.SeriesColour ? "*" : "");
    out.push_back(o.str());
  }
  return out;
}

// A session whose port is open on a scripted sensor; each tick gets one answer.
class ScriptedLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok()) << Peer.Error();
    Session.View.PortText = Peer.SlavePath();
    Session.ComboBoxCOMChange();
    ASSERT_TRUE(Session.OpenSensorPort()) << Person.LastMessage();
    Session.Pause = [](uint32_t) {};
  }
  std::vector<std::string> Run(uint32_t mode, const std::vector<Bytes>& answers) {
    std::vector<std::string> shown;
    Session.RunMode = mode;
    Session.Device->SetMeasuringRange(100);
    Session.View.LabelRast = "-";
    Session.StartStopMeasure();
    for (const Bytes& answer : answers) {
      Peer.Play({{.Expect = 2, .Answer = {answer}}});
      Session.TimerMainTimer();
      EXPECT_TRUE(Peer.Finish());
      shown.push_back(Session.View.LabelRast);
    }
    Session.StartStopMeasure();
    return shown;
  }

  TPtyPeer Peer;
  TScriptedOperator Person;
  TSession Session{Person};
};

TEST_F(ScriptedLoop, EachContinuousModeConvertsShowsStoresAndDrawsItsResults) {
  struct Case {
    uint32_t mode;
    std::vector<Bytes> answers;
    std::vector<std::string> shown;  // LabelRast after each tick
    std::vector<std::string> points;
    std::vector<float> stored;
  } cases[] = {
      {RUN_LINE,
       {Result(8192), Result(0xC000)},
       {"50.0000 mm", "-100.0000 mm"},
       {"0:50:0", "1:-100:1"},
       {50, -100}},
      // A first value above 1800 brings a point at 1800 first; one at 1800 comes alone.
      {RUN_NONLINE,
       {Result(2000), Result(2100)},
       {"2000 px", "2100 px"},
       {"0:1800:0*", "1:2000:0", "2:2100:1"},
       {2000, 2100}},
      {RUN_NONLINE, {Result(1800)}, {"1800 px"}, {"0:1800:0"}, {1800}},
      // A failed first tick ends the first tick all the same.
      {RUN_NONLINE, {Result(0, true), Result(2000)}, {"-", "2000 px"}, {"0:2000:0"}, {2000}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(c.mode, c.answers), c.shown);
    EXPECT_EQ(Points(Session.View.SeriesOsc), c.points);
    const TSampleRing& ring = Session.SampleRing;
    EXPECT_EQ(
        std::vector<float>(ring.SampleBuffer.begin(), ring.SampleBuffer.begin() + ring.SampleCount),
        c.stored);
  }
}

// The run ends by its Stop: a cancel left from an operation before must not fail its ticks.
TEST_F(ScriptedLoop, ACancelLeftFromAnOperationDoesNotEndTheRun) {
  Session.Cancel.Cancel();
  EXPECT_THAT(Run(RUN_LINE, {Result(8192), Result(8192)}), ElementsAre("50.0000 mm", "50.0000 mm"));
  EXPECT_EQ(Session.LastStatus, ST_OK);
}

TEST_F(ScriptedLoop, PulseDrawsTheProfileLabelledByPixelAndKeepsItOnAFailedExchange) {
  Bytes record(PULSE_RECORD_SIZE);
  for (size_t i = 0; i < PULSE_SAMPLES; ++i) record[2 * i] = uint8_t(i), record[2 * i + 1] = 1;
  record[256] = 500 & 0xFF, record[257] = 500 >> 8;    // position
  record[258] = 1234 & 0xFF, record[259] = 1234 >> 8;  // exposure, tenths of a microsecond
  Session.ZeroRequest = true;
  Bytes spoilt = SensorWire(record);
  spoilt.back() ^= 0x10;
  EXPECT_THAT(Run(RUN_PULSE, {SensorWire(record), spoilt}), ElementsAre("500 px", "500 px"));
  EXPECT_THAT(Session.View.ChartFooter, ElementsAre("Exposure: 123 mks"));
  const auto points = Points(Session.View.SeriesOsc);
  ASSERT_EQ(points.size(), 90u);
  EXPECT_EQ(points[0], "0:256:458");
  EXPECT_EQ(points[89], "89:345:547");
  EXPECT_EQ(Session.LastStatus, ST_BAD_FRAME);
  // The zero request went with the pulse: nothing was written for it, and nothing stored.
  EXPECT_FALSE(Session.ZeroRequest);
  EXPECT_EQ(Peer.Received(), (Bytes{0x01, 0x8F}));
  EXPECT_EQ(Session.SampleRing.SampleCount, 0);
}

class MeasureOnSim : public SimSession {};

// The result that serves a zero request goes into "Zero Point" and its grid cell; that the
// sensor took it is seen by the command line's next result reading zero.
TEST_F(MeasureOnSim, ZeroSetWhileIdleIsServedByTheNextResult) {
  Connect();
  const uint32_t before = Session.ParamWrite[ROW_ZERO_POINT].Value;
  Session.ButtonZeroClick();
  Session.StartStopMeasure();
  Session.TimerMainTimer();
  EXPECT_FALSE(Session.ZeroRequest);
  const auto raw = static_cast<uint32_t>(std::lround(Session.SampleRing.LastValue * 163.84));
  EXPECT_EQ(Session.ParamWrite[ROW_ZERO_POINT].Value, before + raw);
  EXPECT_EQ(Session.View.Grid[ROW_ZERO_POINT].Value, Session.DisplayText(ROW_ZERO_POINT));
  EXPECT_NE(raw, 0u);

  // A sum the sensor's signed 16 bits cannot hold is refused, not sent cut.
  Sim.SetRegister(23, 0);  // the sensor measures the whole result again
  Sim.SetRegister(24, 0);
  Session.ParamWrite[ROW_ZERO_POINT].Value = 32767;
  Session.FillParamGrid();
  Session.ButtonZeroClick();
  Sim.ClearRequests();
  Session.TimerMainTimer();
  EXPECT_EQ(Session.ParamWrite[ROW_ZERO_POINT].Value, 32767u);
  EXPECT_EQ(Sim.Requests().size(), 1u) << "the result only";
  EXPECT_THAT(Boxes(Person), Contains(std::string("KARVO-SP Exclamation: ") + ZERO_REFUSED_TEXT));
}

class TRecordingHooks : public TStageHooks {
 public:
  std::vector<std::string> Calls;
  void StageStart(uint32_t m) override { Calls.push_back("start " + std::to_string(m)); }
  void StageTick(uint32_t m) override { Calls.push_back("tick " + std::to_string(m)); }
  void StageStopDrive(uint32_t m) override { Calls.push_back("drive " + std::to_string(m)); }
  void StageStopFinish(uint32_t m) override { Calls.push_back("finish " + std::to_string(m)); }
};

TEST_F(MeasureOnSim, StartAndStopPathsInEveryKindOfMode) {
  TRecordingHooks hooks;
  Session.StageHooks = &hooks;
  std::vector<uint32_t> pauses;
  Session.Pause = [&](uint32_t ms) { pauses.push_back(ms); };
  Connect();
  struct Case {
    uint32_t mode;
    size_t requests;  // of one tick
    std::vector<std::string> hooks;
    const char* streamAndZero;  // enabled after the stop
  } cases[] = {
      {RUN_LINE, 1, {}, "11"},
      {RUN_PULSE, 1, {}, "00"},
      {RUN_CALIBRATION, 0, {"start 4", "tick 4", "drive 4", "finish 4"}, "00"},
      {RUN_MOTION_END, 0, {"start 7", "tick 7", "drive 7"}, "00"},
      {9, 0, {}, "00"},
  };
  for (const Case& c : cases) {
    hooks.Calls.clear();
    pauses.clear();
    Session.RunMode = c.mode;
    Session.View.ButtonZeroEnabled = true;
    Session.ButtonMeasureClick();
    EXPECT_EQ(Buttons(Session.View), "Disconnect/Stop/Stream start 11 0101011 11")
        << "zero set keeps its state";
    EXPECT_EQ(Session.View.TimerMainInterval, 1);
    Session.TimerMainTimer();
    EXPECT_EQ(Sent(Sim).size(), c.requests) << c.mode;
    Sim.ClearRequests();
    Session.ButtonMeasureClick();
    EXPECT_EQ(Buttons(Session.View),
              "Disconnect/Measure/Stream start 10 11" + std::string(c.streamAndZero) + "111 10")
        << c.mode;
    EXPECT_EQ(hooks.Calls, c.hooks);
    EXPECT_THAT(pauses, ElementsAre(50u, 50u));
    Session.TimerMainTimer();  // queued before the stop: does nothing
    EXPECT_EQ(Sent(Sim).size(), 0u);
  }
}

TEST_F(MeasureOnSim, SaveOffersTheLastNameAndReportsAFailedWrite) {
  Person.SaveAnswers = {std::nullopt, "/tmp/karvo-no-such-dir/run.dat", std::nullopt};
  for (int i = 0; i < 3; ++i) Session.SaveClick();
  EXPECT_THAT(Person.SaveSuggestions, ElementsAre("", "", "/tmp/karvo-no-such-dir/run.dat"));
  EXPECT_EQ(Person.Messages.size(), 1u) << "the failed write";
}

class Streaming : public SimSession {
 protected:
  void SetUp() override {
    SimSession::SetUp();
    Session.Pause = [](uint32_t) {};
    // Taking the value re-arms the next update, as the window's queued call does.
    Session.StreamValueReady = [this] {
      Session.Stream.TakeText();
      ++Updates;
    };
  }
  // Starts a stream, lets the window fold and waits for `updates` values.
  void StartStream(int updates) {
    Updates = 0;
    Session.ButtonStreamClick();
    ASSERT_TRUE(Session.StreamActive);
    RunFold(Session);
    WaitFor(updates);
  }
  void WaitFor(int updates) {
    for (int i = 0; i < 2000 && Updates < updates; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(Updates, updates);
  }
  std::atomic<int> Updates{0};
};

// Every sample the worker took is plotted once, in order, placed and labelled by its index.
// Disconnect and the window's close stop the stream without plotting; the samples stay.
TEST_F(Streaming, StopPlotsExactlyTheSamplesTakenForcedStopsPlotNothingAndSendTwoStops) {
  Connect();
  Session.View.SeriesOsc.Append(1, "old");
  Session.SampleRing.RunComplete = true;
  Session.ButtonStreamClick();
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  EXPECT_EQ(Buttons(Session.View), "Disconnect/Measure/Stream stop 10 0010011 10");
  Session.ButtonStreamClick();  // while the window folds: ignored
  ASSERT_TRUE(Session.StreamActive);
  RunFold(Session);
  WaitFor(100);
  Session.ButtonStreamClick();
  EXPECT_EQ(Buttons(Session.View), "Disconnect/Measure/Stream start 10 1111111 10");
  EXPECT_TRUE(Session.View.TimerMore) << "unfolds";
  const TSampleRing& ring = Session.SampleRing;
  const auto& points = Session.View.SeriesOsc.Points();
  ASSERT_EQ(points.size(), Session.Stream.Samples());
  EXPECT_EQ(ring.SampleCount, points.size());
  EXPECT_FALSE(ring.RunComplete);
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_EQ(points[i].X, double(i));
    EXPECT_EQ(points[i].Label, std::to_string(i));
    EXPECT_EQ(points[i].Y, ring.SampleBuffer[i]);
  }
  EXPECT_EQ(Session.View.LabelRast, ResultText(RUN_LINE, ring.SampleBuffer[points.size() - 1]));
  EXPECT_TRUE(Session.ReadParameter(0)) << "the link is the window thread's again";

  const auto stop = ElementsAre(5, CMD_STOP_STREAM, 0, 0);
  RunFold(Session);
  StartStream(20);
  Sim.ClearRequests();
  Session.ButtonConnectClick();
  EXPECT_FALSE(Session.StreamActive || Session.Device->IsOpen());
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  EXPECT_GE(Session.SampleRing.SampleCount, 20);
  EXPECT_TRUE(Session.View.GridEnabled);
  EXPECT_THAT(Sent(Sim), ElementsAre(stop, stop));
  RunFold(Session);
  Connect();
  StartStream(20);
  Session.FormClose();
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  EXPECT_THAT(Sent(Sim), ElementsAre(ElementsAre(5, CMD_START_STREAM), stop, stop));
}

// A sensor lost mid-stream: the worker's reads fail, the watchdog tears down, the worker is
// joined before the port closes, and an update still queued does not cover the display.
TEST_F(Streaming, ASensorLostMidStreamEndsInTheTeardown) {
  Connect();
  StartStream(10);
  Session.StartStopMeasure();  // a run cannot join a stream
  Session.SaveClick();         // nor can a save read the worker's ring
  EXPECT_FALSE(Session.Running() || !Person.SaveSuggestions.empty());
  Sim.HangUp();
  for (int i = 0; i < 2000 && Session.LastStatus == ST_OK; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Session.TimerAnswerTimer();
  EXPECT_THAT(Boxes(Person), ElementsAre(StartsWith("KARVO-SP Stop: No answer.\r")));
  EXPECT_FALSE(Session.StreamActive || Session.Stream.Joinable() || Session.Device->IsOpen());
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  Session.ShowStreamValue();
  EXPECT_EQ(Session.View.LabelRast, "0.000 mm");
}

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
  EXPECT_THAT(Boxes(Person),
              ElementsAre(StartsWith("KARVO-SP Exclamation: Error opening /nonexistent/stage.\r")));
}

}  // namespace
}  // namespace karvo::test
