// Connection manager against the simulated sensor: connect and disconnect, open errors, a
// silent sensor, the no-answer watchdog, and the window's close. Parameter transfers: the rows
// that move the link or the identity labels, compare messages, Read All and Load All, and the
// flash menu.
#include <algorithm>
#include <functional>
#include <sstream>

#include "ConnectionFixture.h"
#include "support/ScratchDir.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
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

class Transfer : public SimSession {
 protected:
  void SetUp() override {
    SimSession::SetUp();
    if (!HasFatalFailure()) Connect();
    // The one-second flash pause is the link's business, not what is tested here.
    Session.Device->Link().Pause = [](uint32_t) {};
  }
};

// What the link rows and the identity rows move, in one line.
std::string Moved(const TSession& s) {
  std::ostringstream o;
  o << "address " << int(s.DeviceAddress()) << "/" << s.View.AddressIndex << ", baud "
    << s.LinkBaud() << "/" << s.View.BaudIndex << (s.Device->IsOpen() ? " open at " : " closed at ")
    << s.Device->SharedLine().Baud() << ", model " << s.View.LabelModel << ", serial "
    << s.View.LabelSerNum << ", base " << s.BaseDistance << "|" << s.View.LabelBase << ", range "
    << s.MeasuringRange() << "|" << s.View.LabelRange << ",";
  return o.str();
}

// Rows 2 and 3 move the link, rows 27 to 30 the identity labels, also when the write failed.
TEST(TransferSideEffects, LinkAndIdentityRowsApplyEvenWhenTheWriteFails) {
  const struct {
    int Row;
    uint32_t Value;
    std::string Moved;
  } cases[] = {
      {ROW_ADDRESS, 9, "address 9/8,"},
      {ROW_ADDRESS, 0, "address 0/-1,"},
      {ROW_BAUD, 4, "baud 9600/2 open at 9600,"},
      {ROW_BAUD, 3, "baud 7200/7 open at 7200,"},  // no item for 7200: the selector stays
      {ROW_DEVICE_TYPE, 42, "model 42,"},
      {ROW_SERIAL, 54321, "serial 54321,"},
      {ROW_BASE, 0xFFF6, "base -10|-10 mm,"},
      {ROW_RANGE, 300, "range 300|300 mm,"},
  };
  sim::TSensorSim sensor(FastSensor());
  ASSERT_TRUE(sensor.Start());
  for (bool writeFails : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE("row " + std::to_string(c.Row) + (writeFails ? ", write fails" : ""));
      sensor.SetRegister(3, 5);  // back at its own link after an address or baud row
      sensor.SetRegister(4, 48);
      TScriptedOperator person;
      TSession s(person);
      UseSensor(s, sensor);
      ASSERT_TRUE(writeFails || s.OpenSensorPort());  // a closed port fails the write
      s.ParamWrite[c.Row].Value = c.Value;
      s.LoadParameter(c.Row);
      EXPECT_THAT(Moved(s), HasSubstr(c.Moved));
      // A reopen after the baud row does not make a failed write look like a success.
      EXPECT_EQ(s.LastStatus != ST_OK, writeFails);
      // Only a value the sensor took stops counting as edited.
      EXPECT_EQ(s.ParamInSensor[c.Row].Value, writeFails ? 0u : c.Value);
      EXPECT_THAT(Boxes(person), IsEmpty());
    }
  }
}

// Single-row messages and "Ok!" are the command line's tests.
TEST_F(Transfer, CompareMessagesAreBuiltByteForByteAndNeverSayOkWithoutARead) {
  Sim.SetRegister(8, 0x34);
  Sim.SetRegister(9, 0x12);
  Session.ParamWrite[9].Value = 7;
  Session.ParamWrite[ROW_ZERO_POINT].Value = 0xFFFF8000;  // shown signed
  Session.SelParam = 9;
  Session.PopupMenuCompareClick();
  EXPECT_THAT(Boxes(Person), ElementsAre("KARVO-SP Warning: Parameters 'Sampling Period' not "
                                         "equal:\r'Sampling Period': Write=7, Read=4660."));
  EXPECT_EQ(Session.CompareAllMessage(),
            "Parameters not equal:\r'Sampling Period': Write=7, Read=4660.\r'Zero Point': "
            "Write=-32768, Read=0.");

  // With the port closed nothing is read: no verdict at all, and the watchdog has its status.
  Session.ParamWrite = Session.ParamRead;
  Session.Device->Close();
  Person.Messages.clear();
  Session.PopupMenuCompareClick();
  Session.PopupMenuCompareAllClick();
  EXPECT_THAT(Boxes(Person), IsEmpty());
  EXPECT_NE(Session.LastStatus, ST_OK);
}

TEST_F(Transfer, ReadAllStopsAtTheFailingRowAdoptingNothing) {
  // Short read time-outs: the silence below then costs little.
  TKARVOInterface& link = Session.Device->Link();
  link.PortSettings.ReadTotal = 100;
  ASSERT_EQ(link.Port.Open(link.PortSettings), ST_OK);
  const TParamSet working = Session.ParamWrite;
  Sim.SetRegister(6, 77);
  Sim.FailSilentAfter(11);  // rows 0..9 take 11 registers
  Session.PopupMenuReadAllClick();
  EXPECT_NE(Session.LastStatus, ST_OK);
  EXPECT_EQ(Session.View.ProgressPos, 10);
  EXPECT_EQ(Session.ParamRead[8].Value, 77u);
  EXPECT_EQ(Session.ParamWrite, working);
}

TEST_F(Transfer, LoadAllWritesRowZeroLastAtTheNewAddressAndBaud) {
  Session.ParamWrite[ROW_ADDRESS].Value = 9;
  Session.ParamWrite[ROW_BAUD].Value = 4;  // 9600
  const int on = Sim.Register(0) ^ 1, analog = Sim.Register(1) ^ 1;
  Session.ParamWrite[ROW_SENSOR_ON].Value = on;
  Session.ParamWrite[ROW_ANALOG_ON].Value = analog;
  Person.Refreshes = 0;
  Session.PopupMenuLoadAllClick();
  EXPECT_EQ(Session.LastStatus, ST_OK);
  EXPECT_THAT(Moved(Session), HasSubstr("address 9/8, baud 9600/2 open at 9600,"));
  EXPECT_GE(Person.Refreshes, 36) << "the progress is shown as it goes";
  const std::vector<std::vector<int>> sent = Sent(Sim);
  // Rows 1 and 0 arrive only if they went to address 9 at 9600 baud.
  EXPECT_EQ(Sim.Register(1), analog);
  EXPECT_EQ(Sim.Register(0), on);
  ASSERT_EQ(sent.size(), 126u);
  EXPECT_THAT(sent.back(), ElementsAre(9, CMD_WRITE_REGISTER, 0, on));
}

// In this order: the restore moves the sensor and the session to 9600 baud, address 1, where
// the factory rows then find it. The address selector shows 7 before each click.
TEST_F(Transfer, FlashMenuAsksReportsAndCarriesOn) {
  const auto flash = &TSession::PopupMenuFLASHClick, byDefault = &TSession::PopupMenuDefaultClick,
             factory = &TSession::PopupMenuFactoryClick;
  const std::string toFlash = "Parameters writing to FLASH. Are you sure? ";
  const std::string restore = "Restore factory parameters to FLASH?";
  const std::string toFactory = "Parameters writing to factory. Are you sure? ";
  const std::string writeOk = "KARVO-SP. None:     Write OK";
  const std::string writeError = "KARVO-SP. Stop: Write ERROR";
  const std::string restoreOk = "KARVO-SP. None:   Restore OK";
  const std::string restoreError = "KARVO-SP. Stop: Restore ERROR";
  const struct {
    void (TSession::*Click)();
    bool WrongEcho;
    std::string Question;
    int Code;
    std::vector<std::string> Boxes;
    std::string Link;  // address and baud rate afterwards, each with its selector
  } cases[] = {
      {flash, false, toFlash, FLASH_STORE, {writeOk}, "5/6, baud 115200/7"},
      {flash, true, toFlash, FLASH_STORE, {writeError}, "5/6, baud 115200/7"},
      {byDefault, false, restore, FLASH_RESTORE, {restoreOk}, "1/0, baud 9600/2 open"},
      {byDefault, true, restore, FLASH_RESTORE, {restoreError}, "1/6, baud 9600/2"},
      {factory, false, toFactory, FLASH_FACTORY, {writeOk, restoreOk}, "1/0, baud 9600/2 open"},
      // A failed factory write stops there: a restore would overwrite the working set.
      {factory, true, toFactory, FLASH_FACTORY, {writeError}, "1/6, baud 9600/2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Question + (c.WrongEcho ? " wrong echo" : ""));
    Sim.ClearRequests();
    Person.ConfirmAnswers = {false};
    (Session.*c.Click)();
    EXPECT_TRUE(Sent(Sim).empty()) << "Cancel sends nothing";

    Person = TScriptedOperator{};
    Session.View.Grid.clear();
    Session.View.AddressIndex = 6;
    Session.ParamWrite[ROW_LASER].Value = 99;
    if (c.WrongEcho) Sim.WrongAckNext();
    const int address = Session.DeviceAddress();
    (Session.*c.Click)();
    EXPECT_THAT(Person.Questions, ElementsAre(c.Question + "|KARVO-SP."));
    const std::vector<std::vector<int>> sent = Sent(Sim);
    ASSERT_FALSE(sent.empty());
    EXPECT_THAT(sent[0], ElementsAre(address, CMD_FLASH, c.Code));
    EXPECT_EQ(Boxes(Person), c.Boxes);
    // A failed restore reads nothing back; everything else reads all and adopts it.
    const bool factoryFailed = c.Click == factory && c.WrongEcho;
    const bool readsBack = c.Boxes.back() != restoreError && !factoryFailed;
    EXPECT_EQ(std::ranges::count_if(sent, [](const auto& r) { return r[1] == CMD_READ_REGISTER; }),
              readsBack ? 126 : 0);
    EXPECT_EQ(Session.ParamWrite[ROW_LASER].Value, readsBack ? Sim.Register(5) : 99u);
    EXPECT_EQ(Session.View.Grid.size(), factoryFailed ? 0u : static_cast<size_t>(PARAM_COUNT));
    EXPECT_EQ(Person.SaveSuggestions.size(), c.Code == FLASH_FACTORY && !factoryFailed ? 1u : 0u);
    EXPECT_THAT(Moved(Session), HasSubstr("address " + c.Link));
  }
}

// The restore went through, but a sensor that fails the read-back must not pass for a good one.
TEST_F(Transfer, RestoreWhoseReadBackFailsIsLeftToTheWatchdog) {
  const uint32_t answers = Sim.AnswerCount();
  Session.Device->Link().Pause = [&](uint32_t) {  // once the echo is out, spoil the next answer
    for (int i = 0; i < 1000 && Sim.AnswerCount() == answers; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Sim.FailSilent();
  };
  Session.PopupMenuDefaultClick();
  EXPECT_THAT(Boxes(Person), IsEmpty());
  EXPECT_NE(Session.LastStatus, ST_OK);
  Session.TimerAnswerTimer();
  EXPECT_THAT(Boxes(Person), ElementsAre("KARVO-SP Stop: No answer."));
}

}  // namespace
}  // namespace karvo::test
