// The measurement loop through the session: results per mode on the display, the chart and
// the ring against a scripted sensor; zero set, start and stop paths, stage hooks and the
// data file against the simulated one.
#include <cmath>
#include <sstream>

#include "ConnectionFixture.h"
#include "support/PtyPeer.h"

namespace karvo::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

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

}  // namespace
}  // namespace karvo::test
