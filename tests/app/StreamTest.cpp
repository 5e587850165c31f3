// Streaming through the session against the simulated sensor: the worker's hand-over at the
// stop, forced stops, a sensor lost mid-stream, the buttons. Also run under the thread
// sanitizer: the worker and the window thread share the link, the ring and the display.
#include <atomic>
#include <thread>

#include "ConnectionFixture.h"
#include "measure/RunModes.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

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

}  // namespace
}  // namespace karvo::test
