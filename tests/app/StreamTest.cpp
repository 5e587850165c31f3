// Streaming through the session against the simulated sensor: the worker's hand-over at the
// stop, forced stops, a sensor lost mid-stream, and the buttons. Run these under the thread
// sanitizer too: the worker and the window thread share the link, the ring and the display.
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "connection_fixture.h"
#include "measure/RunModes.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string Buttons(const TMainView& v) {
  std::ostringstream o;
  o << v.ButtonStreamCaption << ' ' << v.ButtonConnectEnabled << v.ButtonMeasureEnabled
    << v.ButtonStreamEnabled << v.ButtonZeroEnabled << v.GridEnabled << ' ' << v.TimerMore;
  return o.str();
}

class Streaming : public SimSession {
 protected:
  void SetUp() override {
    SimSession::SetUp();
    Session.Pause = [](uint32_t) {};
    // As the window does: take the value on "its" thread; here the count of updates is what
    // matters, and taking it re-arms the next one.
    Session.StreamValueReady = [this] {
      ++Updates;
      Session.Stream.TakeText();
    };
  }
  void StartStream() {
    Connect();
    Session.ButtonStreamClick();
    ASSERT_TRUE(Session.StreamActive);
    RunFold(Session);
  }
  // Waits (boundedly) for the worker to have published `count` values.
  bool WaitForUpdates(int count) {
    for (int i = 0; i < 2000 && Updates < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Updates >= count;
  }
  std::atomic<int> Updates{0};
};

// Every sample the worker took is plotted once, in order, labelled and placed by its index,
// and the display ends on the last one.
TEST_F(Streaming, StopPlotsExactlyTheSamplesTakenLabelledFromZero) {
  Session.View.SeriesOsc.Append(1, "old");
  Session.SampleRing.RunComplete = true;
  StartStream();
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  EXPECT_EQ(Buttons(Session.View), "Stream stop 00100 0");
  EXPECT_EQ(Session.View.Height, FOLDED_HEIGHT);
  ASSERT_TRUE(WaitForUpdates(100));
  Session.ButtonStreamClick();
  EXPECT_FALSE(Session.StreamActive);
  EXPECT_EQ(Buttons(Session.View), "Stream start 11111 1");
  const TSampleRing& ring = Session.SampleRing;
  const auto& points = Session.View.SeriesOsc.Points();
  ASSERT_EQ(points.size(), Session.Stream.Samples());
  ASSERT_GE(points.size(), 100u);
  EXPECT_EQ(ring.SampleCount, points.size());
  EXPECT_EQ(ring.SampleReadIndex, ring.SampleCount);
  EXPECT_FALSE(ring.RunComplete);
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_EQ(points[i].X, double(i));
    EXPECT_EQ(points[i].Label, std::to_string(i));
    EXPECT_EQ(points[i].Y, ring.SampleBuffer[i]);
    EXPECT_NEAR(points[i].Y, 50.0, 0.1);  // the simulator's target: half of 100 mm
  }
  EXPECT_EQ(Session.View.LabelRast, ResultText(RUN_LINE, ring.SampleBuffer[points.size() - 1]));
  EXPECT_THAT(Sent(Sim),
              ElementsAre(ElementsAre(5, CMD_START_STREAM), ElementsAre(5, CMD_STOP_STREAM, 0, 0)));
  RunFold(Session);
  EXPECT_EQ(Session.View.Height, EXPANDED_HEIGHT);
  EXPECT_FALSE(Sim.Streaming());
  // The link is the window thread's again.
  EXPECT_TRUE(Session.ReadParameter(0));
}

// Disconnect, the watchdog and the window's close stop the stream without plotting; the
// samples stay for the data file.
TEST_F(Streaming, ForcedStopsPlotNothingAndSendTwoStops) {
  const auto stop = ElementsAre(5, CMD_STOP_STREAM, 0, 0);
  StartStream();
  ASSERT_TRUE(WaitForUpdates(20));
  Sim.ClearRequests();
  Session.ButtonConnectClick();  // disconnect
  EXPECT_FALSE(Session.StreamActive);
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  EXPECT_GE(Session.SampleRing.SampleCount, 20);
  EXPECT_TRUE(Session.View.GridEnabled);
  EXPECT_THAT(Sent(Sim), ElementsAre(stop, stop));
  EXPECT_FALSE(Session.SensorLink->IsOpen());

  RunFold(Session);
  Updates = 0;
  StartStream();
  ASSERT_TRUE(WaitForUpdates(20));
  Sim.ClearRequests();
  Session.FormClose();
  EXPECT_FALSE(Session.StreamActive);
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  EXPECT_THAT(Sent(Sim), ElementsAre(stop, stop));
}

// A sensor lost mid-stream: the worker's reads fail, the watchdog tears down, the stream is
// stopped and joined before the port closes, and nothing is plotted.
TEST_F(Streaming, ASensorLostMidStreamEndsInTheTeardown) {
  StartStream();
  ASSERT_TRUE(WaitForUpdates(10));
  Sim.HangUp();
  for (int i = 0; i < 2000 && Session.LastStatus == ST_OK; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Session.TimerAnswerTimer();
  EXPECT_THAT(Boxes(Person), ElementsAre("KARVO-SP Stop: No answer."));
  EXPECT_FALSE(Session.StreamActive);
  EXPECT_FALSE(Session.Stream.Joinable());
  EXPECT_FALSE(Session.SensorLink->IsOpen());
  EXPECT_EQ(Session.View.SeriesOsc.Count(), 0u);
  EXPECT_EQ(Buttons(Session.View), "Stream start 10001 1");
  EXPECT_EQ(Session.View.LabelRast, "0.000 mm");
  Session.ShowStreamValue();  // an update still queued
  EXPECT_EQ(Session.View.LabelRast, "0.000 mm");
}

// While the window folds or unfolds the button does nothing; a measure run and a stream
// keep each other out.
TEST_F(Streaming, ClicksDuringTheFoldAndAcrossARunAreIgnored) {
  Connect();
  Session.View.TimerMore = true;
  Session.ButtonStreamClick();
  EXPECT_FALSE(Session.StreamActive);
  Session.View.TimerMore = false;
  Session.StartStopMeasure();
  Session.ButtonStreamClick();
  EXPECT_FALSE(Session.StreamActive);
  Session.StartStopMeasure();
  Sim.ClearRequests();
  Session.ButtonStreamClick();
  ASSERT_TRUE(Session.StreamActive);
  Session.StartStopMeasure();
  EXPECT_FALSE(Session.Running());
  Session.ButtonStreamClick();  // still folding
  EXPECT_TRUE(Session.StreamActive);
  Session.SaveClick();  // the ring is the worker's
  EXPECT_THAT(Person.SaveSuggestions, IsEmpty());
  RunFold(Session);
  Session.ButtonStreamClick();
  EXPECT_FALSE(Session.StreamActive);
}

}  // namespace
}  // namespace karvo::test
