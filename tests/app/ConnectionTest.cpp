// Connection manager against the simulated sensor: connect and disconnect,
// open errors, a silent sensor, the no-answer watchdog, and the window's close.
#include <functional>

#include "ConnectionFixture.h"
#include "support/ScratchDir.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// What the window shows of the connection: the identity labels, the result, the buttons.
std::string Look(const TMainView& v) {
  return v.LabelModel + ' ' + v.LabelRelease + ' ' + v.LabelSerNum + ' ' + v.LabelBase + ' ' +
         v.LabelRange + '|' + v.LabelRast + '|' + Buttons(v);
}
const std::string DISCONNECTED =
    "none none none none mm none mm|0.000 mm|Connect/Measure/Stream start 00 1000100 00";

class Connection : public SimSession {};

// Clicks on Connect while the window still unfolds or folds change nothing but the port.
TEST_F(Connection, ConnectReadsAllAndUnfoldsDisconnectFoldsClicksDuringTheFoldAreIgnored) {
  Session.View.SeriesOsc.Append(1.5, "0");
  Session.ButtonConnectClick();
  EXPECT_THAT(Boxes(Person), IsEmpty());
  const std::string connected =
      "7 4 1234 60 mm 100 mm|0.000 mm|Disconnect/Measure/Stream start 10 1111111 10";
  EXPECT_EQ(Look(Session.View), connected);
  EXPECT_TRUE(Session.View.WriteToFactoryVisible && Session.View.SeriesOsc.Count() == 0);
  EXPECT_EQ(Session.ParamWrite, Session.ParamRead);
  Sim.ClearRequests();
  Session.ButtonConnectClick();
  EXPECT_EQ(Look(Session.View), connected);
  RunFold(Session);
  EXPECT_EQ(Session.View.Height, EXPANDED_HEIGHT);

  Session.ButtonConnectClick();
  EXPECT_EQ(Look(Session.View), DISCONNECTED);
  EXPECT_FALSE(Session.Device->IsOpen());
  Session.ButtonConnectClick();
  EXPECT_EQ(Look(Session.View), DISCONNECTED);
  EXPECT_TRUE(Sent(Sim).empty());
  RunFold(Session);
  EXPECT_EQ(Session.View.Height, FOLDED_HEIGHT);
}

TEST(ConnectionOpen, OpenErrorsShowTheBoxWithAnyReasonTheOperatorCanActOn) {
  const TScratchDir noAdapters;
  for (const std::string port : {"/dev/karvo-no-such-port", "USB"}) {
    TScriptedOperator person;
    TSession s(person);
    s.SysfsRoot = noAdapters.Root;
    s.View.PortText = port;
    s.ComboBoxCOMChange();
    s.View.ButtonMeasureEnabled = true;
    s.ButtonConnectClick();
    EXPECT_EQ(s.Device->Link().Port.SysfsRoot, s.SysfsRoot);
    EXPECT_THAT(Boxes(person), ElementsAre("KARVO-SP Exclamation: Error opening " + port +
                                           ".\rPort already in use or not available.\r"
                                           "No such device."));
    EXPECT_EQ(Look(s.View), DISCONNECTED);
  }
}

// Silent at the identify: the port stays open, no watchdog. Silent at the 20th register
// (the high byte of row 14; rows 0..13 take 18): the next watchdog tick tears down.
TEST_F(Connection, SilentSensorAtConnectAndAtTheTwentiethRegister) {
  Sim.FailSilent();
  Session.ButtonConnectClick();
  const std::string changeThem = "KARVO-SP Stop: No answer. Please change parameters.";
  EXPECT_THAT(Boxes(Person), ElementsAre(changeThem));
  EXPECT_EQ(Look(Session.View), DISCONNECTED);
  EXPECT_TRUE(Session.Device->IsOpen());
  Session.TimerAnswerTimer();  // not armed

  Sim.SetRegister(23, 0x11);  // a half-read zero point would show the low byte
  Sim.FailSilentAfter(1 + 19);
  Session.ButtonConnectClick();
  EXPECT_THAT(Boxes(Person), ElementsAre(changeThem));
  EXPECT_EQ(Look(Session.View),
            "7 4 1234 60 mm 100 mm|0.000 mm|Connect/Measure/Stream start 00 1000100 10");
  EXPECT_EQ(Session.ParamRead[ROW_ZERO_POINT].Value, 0u) << "not half-read";
  EXPECT_EQ(Session.ParamWrite, TParamSet{});
  Session.TimerAnswerTimer();
  EXPECT_THAT(Boxes(Person), ElementsAre(changeThem, "KARVO-SP Stop: No answer."));
  EXPECT_EQ(Look(Session.View), DISCONNECTED);
  EXPECT_FALSE(Session.Device->IsOpen());
  RunFold(Session);  // the window never unfolded, and the teardown must not unfold it
  EXPECT_EQ(Session.View.Height, FOLDED_HEIGHT);
}

// The watchdog tears down a measure run; closing the window then leaves every handler
// harmless.
TEST_F(Connection, WatchdogTearsDownARunAndCloseLeavesEveryHandlerHarmless) {
  TMainView& v = Session.View;
  Connect();
  v.ButtonMeasureTag = 1;
  v.ButtonMeasureCaption = "Stop";
  v.ButtonStreamCaption = "Stream stop";
  v.TimerMain = true;
  v.ButtonConnectEnabled = false;
  Session.TimerAnswerTimer();
  EXPECT_THAT(Boxes(Person), IsEmpty()) << "nothing failed yet";
  Session.Device->Close();
  EXPECT_FALSE(Session.ReadParameter(0));
  Session.TimerAnswerTimer();
  EXPECT_THAT(Boxes(Person), ElementsAre("KARVO-SP Stop: No answer."));
  EXPECT_EQ(Look(v), DISCONNECTED);

  v.TimerAnswer = v.TimerMain = true;  // still running at the close
  Session.FormClose();
  EXPECT_EQ(Session.Device, nullptr);
  EXPECT_FALSE(v.TimerMore || v.TimerAnswer || v.TimerMain);
  Sim.ClearRequests();
  Person.Messages.clear();
  Session.LastStatus = ST_READ_SHORT;
  v.TimerAnswer = true;  // a tick that was already queued
  const int height = v.Height;
  for (const auto& handler : std::vector<std::function<void()>>{
           [&] { Session.ButtonConnectClick(); }, [&] { Session.TimerAnswerTimer(); },
           [&] { Session.TimerMoreTimer(); }, [&] { Session.ComboBoxWorkBaundChange(); },
           [&] { Session.PopupMenuReadAllClick(); }, [&] { Session.PopupMenuCompareClick(); },
           [&] { Session.PopupMenuFLASHClick(); }, [&] { Session.PopupMenuFactoryClick(); },
           [&] { Session.FormClose(); }})
    handler();
  EXPECT_TRUE(Person.Messages.empty() && Person.Questions.empty());
  EXPECT_TRUE(Sent(Sim).empty());
  EXPECT_EQ(v.Height, height);
}

}  // namespace
}  // namespace karvo::test
