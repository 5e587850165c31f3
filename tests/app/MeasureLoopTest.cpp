// The measurement loop through the session: per-mode results on the display, the chart and
// the ring against a scripted sensor; zero set, buttons, stage hooks and the data file
// against the simulated sensor.
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "connection_fixture.h"
#include "support/PtyPeer.h"

namespace karvo::test {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// An answer as the sensor puts it on the wire, nibble-coded with one tag.
Bytes Wire(const Bytes& data, uint8_t tag = 0xB0) {
  Bytes wire;
  for (uint8_t byte : data)
    wire.insert(wire.end(), {uint8_t(tag | (byte & 15)), uint8_t(tag | byte >> 4)});
  return wire;
}
Bytes ResultAnswer(uint16_t word) {
  return Wire({uint8_t(word), uint8_t(word >> 8)});
}
// An answer with inconsistent tags: the exchange fails at once.
Bytes BadAnswer() {
  Bytes wire = ResultAnswer(0);
  wire.back() ^= 0x10;
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

// A session whose port is open on a scripted sensor.
class ScriptedLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok()) << Peer.Error();
    Session.View.PortText = Peer.SlavePath();
    Session.ComboBoxCOMChange();
    ASSERT_TRUE(Session.OpenSensorPort()) << Person.LastMessage();
    Session.Pause = [this](uint32_t ms) { Pauses.push_back(ms); };
  }
  // Starts a run and ticks once per answer, each answering one request.
  void Run(uint32_t mode, int16_t range, const std::vector<Bytes>& answers, size_t request = 2) {
    Session.RunMode = mode;
    Session.MeasuringRange = range;
    Session.StartStopMeasure();
    for (const Bytes& answer : answers) {
      Peer.Play({{.Expect = request, .Answer = {answer}}});
      Session.TimerMainTimer();
      ASSERT_TRUE(Peer.Finish());
    }
  }

  TPtyPeer Peer;
  TScriptedOperator Person;
  TSession Session{Person};
  std::vector<uint32_t> Pauses;
};

TEST_F(ScriptedLoop, EachContinuousModeConvertsShowsStoresAndDrawsItsResults) {
  struct Case {
    const char* name;
    uint32_t mode;
    int16_t range;
    std::vector<Bytes> answers;
    std::vector<std::string> shown;  // LabelRast after each tick
    std::vector<std::string> points;
    std::vector<float> stored;
  } cases[] = {
      {"line",
       RUN_LINE,
       100,
       {ResultAnswer(8192), ResultAnswer(0xC000)},
       {"50.0000 mm", "-100.0000 mm"},
       {"0:50:0", "1:-100:1"},
       {50, -100}},
      {"a first value above the limit brings the limit point first",
       RUN_NONLINE,
       100,
       {ResultAnswer(2000), ResultAnswer(2100)},
       {"2000 px", "2100 px"},
       {"0:1800:0*", "1:2000:0", "2:2100:1"},
       {2000, 2100}},
      {"a first value at the limit comes alone",
       RUN_NONLINE,
       100,
       {ResultAnswer(1800)},
       {"1800 px"},
       {"0:1800:0"},
       {1800}},
      {"a failed first tick still ends the first tick",
       RUN_NONLINE,
       100,
       {BadAnswer(), ResultAnswer(2000)},
       {"0.000 mm", "2000 px"},
       {"0:2000:0"},
       {2000}},
      {"temperature", RUN_TEMPERATURE, 100, {ResultAnswer(21)}, {"21 cl"}, {"0:21:0"}, {21}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session.View.LabelRast = "0.000 mm";
    std::vector<std::string> shown;
    Session.RunMode = c.mode;
    Session.MeasuringRange = c.range;
    Session.StartStopMeasure();
    for (const Bytes& answer : c.answers) {
      Peer.Play({{.Expect = 2, .Answer = {answer}}});
      Session.TimerMainTimer();
      ASSERT_TRUE(Peer.Finish());
      shown.push_back(Session.View.LabelRast);
    }
    Session.StartStopMeasure();
    EXPECT_EQ(shown, c.shown);
    EXPECT_EQ(Points(Session.View.SeriesOsc), c.points);
    ASSERT_EQ(Session.SampleRing.SampleCount, c.stored.size());
    for (size_t i = 0; i < c.stored.size(); ++i)
      EXPECT_EQ(Session.SampleRing.SampleBuffer[i], c.stored[i]);
    EXPECT_EQ(Session.LastStatus, c.answers.back() == BadAnswer() ? ST_BAD_FRAME : ST_OK);
  }
  EXPECT_THAT(Pauses, Each(50u));
}

TEST_F(ScriptedLoop, PulseDrawsTheProfileLabelledByPixelAndLeavesItOnAFailedExchange) {
  Bytes record(PULSE_RECORD_SIZE);
  for (size_t i = 0; i < PULSE_SAMPLES; ++i)
    record[2 * i] = uint8_t(3 * i), record[2 * i + 1] = uint8_t(3 * i >> 8);
  record[256] = 500 & 0xFF, record[257] = 500 >> 8;    // position
  record[258] = 1234 & 0xFF, record[259] = 1234 >> 8;  // exposure, tenths of a microsecond
  Session.ZeroRequest = true;
  Session.View.ChartFooter = {"old footer"};
  Run(RUN_PULSE, 100, {Wire(record)});
  auto expectProfile = [this] {
    EXPECT_EQ(Session.View.LabelRast, "500 px");
    EXPECT_THAT(Session.View.ChartFooter, ElementsAre("Exposure: 123 mks"));
    const auto& points = Session.View.SeriesOsc.Points();
    ASSERT_EQ(points.size(), 90u);
    for (int i = 0; i < 90; ++i) {
      EXPECT_EQ(points[i].X, i);
      EXPECT_EQ(points[i].Y, 3 * i);
      EXPECT_EQ(points[i].Label, std::to_string(458 + i));
    }
  };
  expectProfile();
  // The zero request went with the pulse: nothing was written for it.
  EXPECT_FALSE(Session.ZeroRequest);
  EXPECT_EQ(Peer.Received(), (Bytes{0x01, 0x8F}));

  Bytes bad = Wire(record);
  bad.back() ^= 0x10;
  Peer.Play({{.Expect = 2, .Answer = {bad}}});
  EXPECT_TRUE(Session.TakeMeasurement());
  ASSERT_TRUE(Peer.Finish());
  expectProfile();
  EXPECT_EQ(Session.LastStatus, ST_BAD_FRAME);
  EXPECT_EQ(Session.SampleRing.SampleCount, 0);
}

class MeasureOnSim : public SimSession {
 protected:
  void SetUp() override {
    SimSession::SetUp();
    Session.Pause = [this](uint32_t ms) { Pauses.push_back(ms); };
  }
  std::vector<uint32_t> Pauses;
};

// The zero request is served by the first result of the next run: the result is added to
// "Zero Point", which goes to the sensor and into the grid, so the next result reads zero.
TEST_F(MeasureOnSim, ZeroSetWhileIdleIsServedByTheNextResult) {
  Sim.SetTargetDistance(50);  // half of the 100 mm range: about 8192
  Connect();
  const uint32_t zeroBefore = Session.ParamWrite[ROW_ZERO_POINT].Value;
  const std::string cellBefore = Session.View.Grid[ROW_ZERO_POINT].Value;
  Session.ButtonZeroClick();
  Session.StartStopMeasure();
  Session.TimerMainTimer();
  EXPECT_FALSE(Session.ZeroRequest);
  const auto raw = static_cast<int32_t>(std::lround(Session.SampleRing.LastValue * 163.84));
  EXPECT_NEAR(raw, 8192, 4);
  const uint32_t zero = zeroBefore + static_cast<uint32_t>(raw);
  EXPECT_EQ(Session.ParamWrite[ROW_ZERO_POINT].Value, zero);
  EXPECT_NE(Session.View.Grid[ROW_ZERO_POINT].Value, cellBefore);
  EXPECT_EQ(Sim.Register(23) | Sim.Register(24) << 8, int(zero & 0xFFFF));
  Session.TimerMainTimer();
  EXPECT_NEAR(Session.SampleRing.LastValue, 0.0, 5 * 100.0 / 16384);
  EXPECT_EQ(Session.LastStatus, ST_OK);
  Session.StartStopMeasure();
}

class TRecordingHooks : public TStageHooks {
 public:
  std::vector<std::string> Calls;
  void StageStart(uint32_t m) override { Calls.push_back("start " + std::to_string(m)); }
  void StageTick(uint32_t m) override { Calls.push_back("tick " + std::to_string(m)); }
  void StageStopDrive(uint32_t m) override { Calls.push_back("drive " + std::to_string(m)); }
  void StageStopFinish(uint32_t m) override { Calls.push_back("finish " + std::to_string(m)); }
};

std::string Buttons(const TMainView& v) {
  std::ostringstream o;
  o << v.ButtonMeasureCaption << ' ' << v.ButtonMeasureTag << ' ' << v.ButtonConnectEnabled
    << v.ButtonMeasureEnabled << v.ButtonStreamEnabled << v.ButtonZeroEnabled << v.GridEnabled
    << ' ' << v.TimerMain;
  return o.str();
}

// Start and stop in every kind of mode: captions, buttons, the grid, the timer, the stage
// hooks, and the requests a tick sends.
TEST_F(MeasureOnSim, StartAndStopPathsInEveryKindOfMode) {
  TRecordingHooks hooks;
  Session.StageHooks = &hooks;
  Connect();
  struct Case {
    uint32_t mode;
    size_t requests;  // a tick's requests to the sensor
    std::vector<std::string> hooks;
    std::string stopped;  // the buttons after the stop
  } cases[] = {
      {RUN_LINE, 1, {}, "Measure 0 11111 0"},
      {RUN_TEMPERATURE, 1, {}, "Measure 0 11111 0"},
      {RUN_PULSE, 1, {}, "Measure 0 11001 0"},
      {RUN_CALIBRATION, 0, {"start 4", "tick 4", "drive 4", "finish 4"}, "Measure 0 11001 0"},
      {RUN_POVERKA, 0, {"start 5", "tick 5", "drive 5", "finish 5"}, "Measure 0 11001 0"},
      {RUN_MOTION_HOME, 0, {"start 6", "tick 6", "drive 6"}, "Measure 0 11001 0"},
      {RUN_MOTION_END, 0, {"start 7", "tick 7", "drive 7"}, "Measure 0 11001 0"},
      {9, 0, {}, "Measure 0 11001 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    hooks.Calls.clear();
    Pauses.clear();
    Session.RunMode = c.mode;
    Session.View.ButtonZeroEnabled = true;
    Session.View.TimerMainInterval = 10;
    Session.ButtonMeasureClick();
    EXPECT_EQ(Buttons(Session.View), "Stop 1 01010 1") << "zero set keeps its state";
    EXPECT_EQ(Session.View.TimerMainInterval, 1);
    Session.TimerMainTimer();
    EXPECT_FALSE(Session.SampleRing.FirstTick);
    EXPECT_EQ(Sent(Sim).size(), c.requests);
    Sim.ClearRequests();
    Session.ButtonMeasureClick();
    EXPECT_EQ(Buttons(Session.View), c.stopped);
    EXPECT_EQ(hooks.Calls, c.hooks);
    EXPECT_THAT(Pauses, ElementsAre(50u, 50u));
    // A tick already queued when the run stopped does nothing.
    Session.TimerMainTimer();
    EXPECT_THAT(Sent(Sim), IsEmpty());
  }
  EXPECT_EQ(Session.RangeClass, 1);  // 100 mm
}

// A sensor gone silent in a run: the tick fails, nothing is stored, and the watchdog's next
// tick ends the run in the teardown.
TEST_F(MeasureOnSim, ASensorFailingInARunEndsInTheTeardown) {
  Connect();
  Session.StartStopMeasure();
  Session.TimerMainTimer();
  ASSERT_EQ(Session.SampleRing.SampleCount, 1);
  Sim.HangUp();
  Session.TimerMainTimer();
  EXPECT_EQ(Session.SampleRing.SampleCount, 1);
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 1u);
  EXPECT_NE(Session.LastStatus, ST_OK);
  Session.TimerAnswerTimer();
  EXPECT_THAT(Boxes(Person), ElementsAre("KARVO-SP Stop: No answer."));
  EXPECT_EQ(Buttons(Session.View), "Measure 0 10000 0");
  EXPECT_FALSE(Session.SensorLink->IsOpen());
  Session.TimerMainTimer();  // queued before the teardown
  EXPECT_EQ(Session.SampleRing.SampleCount, 1);
}

class DataFileSave : public MeasureOnSim {
 protected:
  void SetUp() override {
    MeasureOnSim::SetUp();
    char tmpl[] = "/tmp/karvo-measure-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string Dir;
};

TEST_F(DataFileSave, WritesTheRingOffersTheLastNameAndReportsAFailedWrite) {
  Session.SampleRing.ResetRun();
  for (float v : {12.3456f, -1.5f}) Session.SampleRing.Store(v);
  const std::string path = Dir + "/run.dat";  // no extension is added
  std::ofstream(path) << "older contents that are replaced without a question";
  Person.SaveAnswers = {std::nullopt, path, Dir + "/missing/x"};
  Session.SaveClick();  // cancelled: nothing written, the name stays empty
  Session.ClearClick();
  Session.SaveClick();
  EXPECT_EQ(Contents(path), "12.346\r\n-1.500\r\n");
  EXPECT_THAT(Person.Questions, IsEmpty());
  Session.SaveClick();
  EXPECT_THAT(Person.SaveSuggestions, ElementsAre("", "", path));
  EXPECT_THAT(Boxes(Person), ElementsAre("KARVO-SP Exclamation: Error writing " + Dir +
                                         "/missing/x.\rNo such file or directory."));
  EXPECT_EQ(Session.SampleRing.SampleReadIndex, Session.SampleRing.SampleCount);
}

}  // namespace
}  // namespace karvo::test
