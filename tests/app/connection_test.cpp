// Connection manager against the simulated sensor: start-up state, connect and disconnect,
// open errors, a silent sensor, the no-answer watchdog, and the window's close.
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "connection_fixture.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;

void ExpectDisconnectedLook(const TMainView& v) {
  EXPECT_EQ(v.ButtonConnectTag, 0);
  EXPECT_EQ(v.ButtonConnectCaption, "Connect");
  for (const std::string& label : {v.LabelModel, v.LabelRelease, v.LabelSerNum}) {
    EXPECT_EQ(label, "none");
  }
  EXPECT_EQ(v.LabelBase, "none mm");
  EXPECT_EQ(v.LabelRange, "none mm");
  EXPECT_FALSE(v.MotorComVisible);
  EXPECT_FALSE(v.ButtonMeasureEnabled || v.ButtonStreamEnabled || v.ButtonZeroEnabled);
  EXPECT_FALSE(v.LabelRastEnabled);
  EXPECT_EQ(v.LabelRast, "0.000 mm");
  EXPECT_FALSE(v.TimerAnswer);
}

TEST(SessionStart, FormCreateBringsBackTheFoldedDisconnectedDefaults) {
  TScriptedOperator person;
  TSession s(person);
  s.PortName = "USB";
  s.LinkBaud = 2400;
  s.DeviceAddress = 9;
  s.LastStatus = ST_READ_SHORT;
  s.ExpandNext = false;
  s.ParamWrite[31].Text = "x";
  s.View.Height = EXPANDED_HEIGHT;
  s.View.TimerMore = s.View.TimerAnswer = s.View.TimerMain = true;
  s.View.ButtonMeasureEnabled = true;
  s.View.AddressIndex = 20;
  s.FormCreate();

  EXPECT_EQ(s.PortName, "COM1");
  EXPECT_EQ(s.LinkBaud, 9600u);
  EXPECT_EQ(s.DeviceAddress, 1);
  EXPECT_EQ(s.LastStatus, ST_OK);
  EXPECT_TRUE(s.ExpandNext);
  EXPECT_EQ(s.ParamWrite, TParamSet{});
  EXPECT_EQ(s.View.Height, FOLDED_HEIGHT);
  EXPECT_FALSE(s.View.TimerMore || s.View.TimerMain);
  EXPECT_EQ(s.View.PortText, "COM1");
  EXPECT_EQ(s.View.AddressIndex, 0);
  EXPECT_STREQ(BaudItems[s.View.BaudIndex], "9600");
  ExpectDisconnectedLook(s.View);
  EXPECT_FALSE(s.SensorLink->IsOpen());

  std::vector<int> heights;
  s.View.TimerMore = true;
  while (s.View.TimerMore) {
    s.TimerMoreTimer();
    heights.push_back(s.View.Height);
  }
  EXPECT_THAT(heights, ElementsAre(260, 360, 460, 560, 660, 716, 716));
}

class Connection : public SimSession {
 protected:
  Connection() : SimSession(sim::TSensorSimOptions{}) {}  // start-up settings: 9600, address 1
};

TEST_F(Connection, ConnectIdentifiesReadsAllUnfoldsAndDisconnectFolds) {
  Sim.SetRegister(8, 0x34);
  Sim.SetRegister(9, 0x12);
  WriteSimText(Sim, 160, 32, "ACME");
  Session.View.SeriesOsc = {{0, 1.5}};

  Session.ButtonConnectClick();

  const TMainView& v = Session.View;
  EXPECT_TRUE(Person.Messages.empty()) << Person.LastMessage();
  EXPECT_EQ(v.ButtonConnectTag, 1);
  EXPECT_EQ(v.ButtonConnectCaption, "Disconnect");
  EXPECT_EQ(v.LabelModel + "|" + v.LabelRelease + "|" + v.LabelSerNum, "7|4|1234");
  EXPECT_EQ(v.LabelBase + "|" + v.LabelRange, "60 mm|100 mm");
  EXPECT_EQ(Session.MeasuringRange, 100);
  EXPECT_TRUE(v.TimerAnswer);
  EXPECT_TRUE(v.SeriesOsc.empty());
  EXPECT_TRUE(v.ButtonMeasureEnabled && v.ButtonStreamEnabled && v.ButtonZeroEnabled);
  EXPECT_TRUE(v.LabelRastEnabled && v.WriteToFactoryVisible && v.MotorComVisible);
  EXPECT_EQ(v.Grid.size(), static_cast<size_t>(PARAM_COUNT));
  const std::vector<int> commands = CommandsSent(Sim);
  ASSERT_EQ(commands.size(), 1u + 126u);  // identify, then one read per register
  EXPECT_EQ(commands[0], CMD_IDENTIFY);
  EXPECT_EQ(Session.ParamRead[9].Value, 0x1234u);
  EXPECT_EQ(Session.ParamRead[31].Text, "ACME");
  EXPECT_EQ(Session.ParamWrite, Session.ParamRead);
  RunFold(Session);
  EXPECT_EQ(v.Height, EXPANDED_HEIGHT);

  Sim.ClearRequests();
  Session.ButtonConnectClick();

  ExpectDisconnectedLook(v);
  EXPECT_FALSE(Session.SensorLink->IsOpen());
  EXPECT_TRUE(Decoded(Sim).empty());
  RunFold(Session);
  EXPECT_EQ(v.Height, FOLDED_HEIGHT);
  EXPECT_EQ(Session.ParamWrite[31].Text, "ACME");
}

TEST(ConnectionOpen, OpenErrorsShowTheBoxWithAnyReasonTheOperatorCanActOn) {
  const std::filesystem::path noAdapters =
      std::filesystem::temp_directory_path() / ("karvo-no-usb-" + std::to_string(getpid()));
  std::filesystem::create_directories(noAdapters);
  const std::string missing = "/dev/karvo-no-such-port";
  const std::string box = "\rPort already in use or not available.";
  struct Case {
    std::string Port;
    bool ByBaudChange;
    uint8_t Kind;
    std::string LinkName;
  };
  for (const Case& c :
       {Case{missing, false, PORT_COM, missing}, Case{missing, true, PORT_COM, missing},
        Case{"USB", false, PORT_USB, USB_ADAPTER_DESCRIPTION}}) {
    SCOPED_TRACE(c.Port + (c.ByBaudChange ? " by baud change" : " by connect"));
    TScriptedOperator person;
    TSession s(person);
    s.SysfsRoot = noAdapters.string();
    s.View.PortText = c.Port;
    s.ComboBoxCOMChange();
    s.View.ButtonMeasureEnabled = true;
    if (c.ByBaudChange) {
      s.View.BaudIndex = BAUD_INDEX_115200;
      s.ComboBoxWorkBaundChange();  // opens although no connection is wanted
    } else {
      s.ButtonConnectClick();
    }

    EXPECT_EQ(s.LinkRequest.PortKind, c.Kind);
    EXPECT_EQ(s.LinkRequest.Name, c.LinkName);
    EXPECT_EQ(s.LinkRequest.BaudRate, c.ByBaudChange ? 115200u : 9600u);
    EXPECT_EQ(s.SensorLink->Port.SysfsRoot, s.SysfsRoot);
    ASSERT_EQ(person.Messages.size(), 1u);
    const std::string expected = "Error opening " + c.Port + "." + box;
    if (c.Kind == PORT_COM) {
      ASSERT_EQ(s.SensorLink->Port.LastErrno, ENOENT);
      EXPECT_EQ(person.Messages[0].Text, expected + "\r" + OpenErrorReason(ENOENT));
    } else {
      EXPECT_EQ(person.Messages[0].Text.substr(0, expected.size()), expected);
    }
    EXPECT_EQ(person.Messages[0].Caption, "KARVO-SP");
    EXPECT_EQ(person.Messages[0].Icon, TIcon::Exclamation);
    EXPECT_FALSE(s.View.ButtonMeasureEnabled);
    EXPECT_EQ(s.View.ButtonConnectTag, 0);
    EXPECT_FALSE(s.View.TimerAnswer || s.View.TimerMore);
  }
  std::filesystem::remove_all(noAdapters);
}

TEST_F(Connection, SilentSensorAtConnectKeepsThePortOpenAndAnswersLaterConnect) {
  Sim.FailSilent();
  Session.ButtonConnectClick();

  ASSERT_EQ(Person.Messages.size(), 1u);
  EXPECT_EQ(Person.Messages[0].Text, "No answer. Please change parameters.");
  EXPECT_EQ(Person.Messages[0].Caption, "KARVO-SP");
  EXPECT_EQ(Person.Messages[0].Icon, TIcon::Stop);
  EXPECT_EQ(Session.View.ButtonConnectTag, 0);
  EXPECT_TRUE(Session.SensorLink->IsOpen());
  EXPECT_FALSE(Session.View.TimerAnswer || Session.View.TimerMore);
  EXPECT_THAT(CommandsSent(Sim), ElementsAre(CMD_IDENTIFY));
  Session.TimerAnswerTimer();  // not armed: the failed identify tears nothing down
  EXPECT_EQ(Person.Messages.size(), 1u);

  Sim.ClearFaults();
  Session.ButtonConnectClick();
  EXPECT_EQ(Session.View.ButtonConnectTag, 1);
  EXPECT_EQ(Session.LastStatus, ST_OK);
}

class FastConnection : public SimSession {};

TEST_F(FastConnection, SilenceAtTheTwentiethRegisterTearsDownOnTheNextTickAndReconnects) {
  // Rows 0..13 take 18 registers; the 20th is the high byte of row 14 (registers 23, 24).
  Sim.SetRegister(6, 0x40);
  Sim.SetRegister(23, 0x11);
  Sim.SetRegister(24, 0x22);
  Sim.FailSilentAfter(1 + 19);
  Session.ButtonConnectClick();

  EXPECT_TRUE(Person.Messages.empty());
  EXPECT_TRUE(Session.View.TimerAnswer);
  EXPECT_EQ(Session.View.ButtonConnectTag, 0);
  EXPECT_EQ(RegistersRead(Sim).size(), 20u);
  EXPECT_EQ(Session.View.ProgressPos, ROW_ZERO_POINT);
  EXPECT_EQ(Session.ParamRead[8].Value, 0x40u);
  EXPECT_EQ(Session.ParamRead[ROW_ZERO_POINT].Value, 0u);  // not half-read
  EXPECT_EQ(Session.ParamWrite, TParamSet{});

  Session.TimerAnswerTimer();

  ASSERT_EQ(Person.Messages.size(), 1u);
  EXPECT_EQ(Person.Messages[0].Text, "No answer.");
  EXPECT_EQ(Person.Messages[0].Caption, "KARVO-SP");
  EXPECT_EQ(Person.Messages[0].Icon, TIcon::Stop);
  ExpectDisconnectedLook(Session.View);
  EXPECT_FALSE(Session.SensorLink->IsOpen());
  RunFold(Session);  // the window never unfolded, and the teardown must not unfold it
  EXPECT_EQ(Session.View.Height, FOLDED_HEIGHT);

  Sim.ClearFaults();
  Session.ButtonConnectClick();
  EXPECT_EQ(Session.View.ButtonConnectTag, 1);
  EXPECT_EQ(Session.ParamWrite[ROW_ZERO_POINT].Value, 0x2211u);
  RunFold(Session);
  EXPECT_EQ(Session.View.Height, EXPANDED_HEIGHT);
}

TEST_F(FastConnection, WatchdogTearsDownARunAndAStreamAndStopsTheStreamFirst) {
  Connect();
  Session.TimerAnswerTimer();
  EXPECT_TRUE(Person.Messages.empty());

  Session.View.ButtonMeasureTag = 1;
  Session.View.ButtonMeasureCaption = "Stop";
  Session.View.TimerMain = true;
  Session.View.ButtonStreamCaption = "Stream stop";
  Session.View.ButtonConnectEnabled = false;
  Session.StreamActive = true;
  Sim.CorruptNextTags();
  EXPECT_FALSE(Session.ReadParameter(0));
  Sim.ClearRequests();

  Session.TimerAnswerTimer();

  EXPECT_EQ(Person.LastMessage(), "No answer.");
  ExpectDisconnectedLook(Session.View);
  EXPECT_FALSE(Session.View.TimerMain);
  EXPECT_EQ(Session.View.ButtonMeasureTag, 0);
  EXPECT_EQ(Session.View.ButtonMeasureCaption, "Measure");
  EXPECT_EQ(Session.View.ButtonStreamCaption, "Stream start");
  EXPECT_TRUE(Session.View.ButtonConnectEnabled);
  EXPECT_FALSE(Session.StreamActive);
  EXPECT_THAT(CommandsSent(Sim), ElementsAre(CMD_STOP_STREAM, CMD_STOP_STREAM));
  EXPECT_FALSE(Session.SensorLink->IsOpen());
  RunFold(Session);
  EXPECT_EQ(Session.View.Height, FOLDED_HEIGHT);
}

TEST_F(FastConnection, ClicksDuringTheFoldAnimationKeepTheConnectionState) {
  Session.ButtonConnectClick();
  ASSERT_TRUE(Session.View.TimerMore);
  Sim.ClearRequests();

  Session.View.SeriesOsc = {{0, 2.0}};
  Session.ButtonConnectClick();  // disconnect while unfolding
  EXPECT_EQ(Session.View.ButtonConnectTag, 1);
  EXPECT_TRUE(Session.View.SeriesOsc.empty());
  EXPECT_TRUE(Session.View.TimerAnswer);  // still watched
  EXPECT_TRUE(Session.SensorLink->IsOpen());

  RunFold(Session);
  Session.ButtonConnectClick();
  ASSERT_TRUE(Session.View.TimerMore);
  Session.ButtonConnectClick();  // connect while folding: only the port is reopened
  EXPECT_EQ(Session.View.ButtonConnectTag, 0);
  EXPECT_TRUE(Session.SensorLink->IsOpen());
  EXPECT_FALSE(Session.View.TimerAnswer);
  EXPECT_TRUE(Decoded(Sim).empty());
}

TEST_F(FastConnection, CloseStopsTheStreamAndLeavesEveryHandlerHarmless) {
  Connect();
  Session.StreamActive = true;
  Session.FormClose();

  EXPECT_FALSE(Session.StreamActive);
  EXPECT_THAT(CommandsSent(Sim), ElementsAre(CMD_STOP_STREAM, CMD_STOP_STREAM));
  EXPECT_EQ(Session.SensorLink, nullptr);
  EXPECT_FALSE(Session.View.TimerMore || Session.View.TimerAnswer || Session.View.TimerMain);

  Sim.ClearRequests();
  Session.LastStatus = ST_READ_SHORT;
  Session.View.TimerAnswer = true;  // a tick that was already queued
  const int height = Session.View.Height;
  for (const auto& handler : std::vector<std::function<void()>>{
           [&] { Session.ButtonConnectClick(); }, [&] { Session.TimerAnswerTimer(); },
           [&] { Session.TimerMoreTimer(); }, [&] { Session.ComboBoxWorkBaundChange(); },
           [&] { Session.PopupMenuReadAllClick(); }, [&] { Session.PopupMenuCompareClick(); },
           [&] { Session.PopupMenuFLASHClick(); }, [&] { Session.PopupMenuFactoryClick(); },
           [&] { Session.FormClose(); }}) {
    handler();
  }
  EXPECT_TRUE(Person.Messages.empty());
  EXPECT_TRUE(Person.Questions.empty());
  EXPECT_TRUE(Decoded(Sim).empty());
  EXPECT_EQ(Session.View.Height, height);
}

}  // namespace
}  // namespace karvo::test
