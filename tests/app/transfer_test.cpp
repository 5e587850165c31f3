// Parameter transfers against the simulated sensor: register order, the rows that move the
// link or the identity labels, compare messages, Read All and Load All, and the flash menu.
#include <functional>

#include "connection_fixture.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;

class Transfer : public SimSession {
 protected:
  void SetUp() override {
    SimSession::SetUp();
    if (!HasFatalFailure()) Connect();
    // The one-second flash pause is the link's business, not what is tested here.
    Session.SensorLink->Pause = [](uint32_t) {};
  }
};

TEST_F(Transfer, RowsTravelAsTheirRegisterImageInRegisterOrder) {
  struct Case {
    int Row;
    TPARAMVALUE Value;
    std::vector<std::pair<int, int>> Writes;
    TPARAMVALUE ReadBack;
  };
  for (const Case& c : std::vector<Case>{
           {21, {"", 256}, {{129, 0}}, {"", 0}},
           {18,
            {"", 0x12345678},
            {{39, 0x12}, {38, 0x34}, {37, 0x56}, {36, 0x78}},
            {"", 0x12345678}},
           {32,
            {"abc", 0},
            {{199, 0}, {198, 0}, {197, 0}, {196, 0}, {195, 0}, {194, 'c'}, {193, 'b'}, {192, 'a'}},
            {"abc", 0}}}) {
    SCOPED_TRACE("row " + std::to_string(c.Row));
    Sim.ClearRequests();
    Session.ParamWrite[c.Row] = c.Value;
    Session.LoadParameter(c.Row);
    EXPECT_EQ(RegistersWritten(Sim), c.Writes);

    Sim.ClearRequests();
    ASSERT_TRUE(Session.ReadParameter(c.Row));
    std::vector<int> lowestFirst;
    for (auto w = c.Writes.rbegin(); w != c.Writes.rend(); ++w) lowestFirst.push_back(w->first);
    EXPECT_EQ(RegistersRead(Sim), lowestFirst);
    EXPECT_EQ(Session.ParamRead[c.Row], c.ReadBack);
  }
}

// Rows 2 and 3 move the link, rows 27 to 30 the identity labels, also when the write failed.
TEST(TransferSideEffects, LinkAndIdentityRowsApplyEvenWhenTheWriteFails) {
  struct Case {
    int Row;
    uint32_t Value;
    std::function<std::string(const TSession&)> Seen;
    std::string Expected;
  };
  const auto address = [](const TSession& s) {
    return std::to_string(s.DeviceAddress) + "/" + std::to_string(s.View.AddressIndex);
  };
  const auto baud = [](const TSession& s) {
    return std::to_string(s.LinkBaud) + "/" + std::to_string(s.View.BaudIndex) +
           (s.SensorLink->IsOpen() ? " open at " + std::to_string(s.LinkRequest.BaudRate) : "");
  };
  const std::vector<Case> cases = {
      {ROW_ADDRESS, 5, address, "5/4"},
      {ROW_ADDRESS, 0, address, "0/-1"},
      {ROW_BAUD, 4, baud, "9600/2 open at 9600"},
      {ROW_BAUD, 3, baud, "7200/7 open at 7200"},  // no item for 7200: the selector stays
      {ROW_DEVICE_TYPE, 42, [](const TSession& s) { return s.View.LabelModel; }, "42"},
      {ROW_SERIAL, 54321, [](const TSession& s) { return s.View.LabelSerNum; }, "54321"},
      {ROW_BASE, 0xFFF6,
       [](const TSession& s) { return std::to_string(s.BaseDistance) + "|" + s.View.LabelBase; },
       "-10|-10 mm"},
      {ROW_RANGE, 300,
       [](const TSession& s) { return std::to_string(s.MeasuringRange) + "|" + s.View.LabelRange; },
       "300|300 mm"},
  };
  for (bool writeFails : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE("row " + std::to_string(c.Row) + " value " + std::to_string(c.Value) +
                   (writeFails ? ", write fails" : ""));
      const sim::TSensorSimOptions options = FastSensor();
      sim::TSensorSim sensor(options);
      ASSERT_TRUE(sensor.Start());
      TScriptedOperator person;
      TSession s(person);
      UseSensor(s, sensor, options);
      if (!writeFails) {
        ASSERT_TRUE(s.OpenSensorPort());  // else the closed port fails the write
      }

      s.ParamWrite[c.Row].Value = c.Value;
      s.LoadParameter(c.Row);

      EXPECT_EQ(c.Seen(s), c.Expected);
      // A reopen after the baud row does not make a failed write look like a success.
      EXPECT_EQ(s.LastStatus != ST_OK, writeFails);
      EXPECT_EQ(RegistersWritten(sensor).size(), writeFails ? 0u : ParamTable[c.Row].Size);
      EXPECT_TRUE(person.Messages.empty()) << person.LastMessage();
    }
  }
}

TEST_F(Transfer, CompareMessagesAreBuiltByteForByte) {
  const std::string customer = "_\xD1ustomer";  // Cyrillic Es in Windows-1251
  WriteSimText(Sim, 160, 32, "ABD");
  Session.ParamWrite[ROW_CUSTOMER].Text = "ABC";
  Session.SelParam = ROW_CUSTOMER;
  Session.PopupMenuCompareClick();
  ASSERT_EQ(Person.Messages.size(), 1u);
  EXPECT_EQ(Person.Messages[0].Text,
            "Parameters '" + customer + "' not equal:\r'" + customer + "': Write=ABC, Read=ABD.");
  EXPECT_EQ(Person.Messages[0].Caption, "KARVO-SP");
  EXPECT_EQ(Person.Messages[0].Icon, TIcon::Warning);

  Session.ParamWrite[ROW_CUSTOMER].Text = "ABD";
  EXPECT_EQ(Session.CompareMessage(ROW_CUSTOMER), "Ok!");
  EXPECT_EQ(Session.CompareAllMessage(), "Ok!");

  const uint32_t period = SimValue(9);
  Session.ParamWrite[9].Value = period + 1;
  Session.ParamWrite[ROW_ZERO_POINT].Value = 0xFFFF8000;  // shown signed
  EXPECT_EQ(Session.CompareAllMessage(),
            "Parameters not equal:\r'Sampling Period': Write=" + std::to_string(period + 1) +
                ", Read=" + std::to_string(period) + ".\r'Zero Point': Write=-32768, Read=" +
                std::to_string(SimValue(ROW_ZERO_POINT)) + ".");
}

// With the port closed nothing is read; the answer must never be "Ok!".
TEST_F(Transfer, CompareWithTheSensorGoneNeverSaysOk) {
  Session.ParamWrite[9].Value = 7;
  Session.ParamRead[9].Value = 7;
  Session.SensorLink->Close();
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(Session.CompareMessage(9),
              "Parameters 'Sampling Period' not equal:\r'Sampling Period': Write=7, Read=7.");
    EXPECT_NE(Session.CompareAllMessage(), "Ok!");
    EXPECT_NE(Session.LastStatus, ST_OK);
  }
}

TEST_F(Transfer, ReadAllStopsAtTheFailingRowAndAdoptsNothing) {
  ASSERT_TRUE(Session.ReadAllParameters());
  std::vector<int> ascending;
  for (int row = 0; row < PARAM_COUNT; ++row) {
    for (int k = 0; k < ParamTable[row].Size; ++k) ascending.push_back(ParamTable[row].Address + k);
  }
  EXPECT_EQ(RegistersRead(Sim), ascending);

  const TParamSet working = Session.ParamWrite;
  const TParamSet before = Session.ParamRead;
  Sim.SetRegister(6, 77);
  Sim.SetRegister(10, 0x55);
  Sim.FailSilentAfter(11);  // rows 0..9 take 11 registers
  Session.PopupMenuReadAllClick();

  EXPECT_NE(Session.LastStatus, ST_OK);
  EXPECT_EQ(Session.View.ProgressPos, 10);
  EXPECT_EQ(Session.View.ProgressMax, 35);
  EXPECT_EQ(Session.ParamRead[8].Value, 77u);
  for (int row = 10; row < PARAM_COUNT; ++row) EXPECT_EQ(Session.ParamRead[row], before[row]);
  EXPECT_EQ(Session.ParamWrite, working);
}

TEST_F(Transfer, LoadAllWritesRowZeroLastAtTheNewAddressAndBaud) {
  Session.ParamWrite[ROW_ADDRESS].Value = 9;
  Session.ParamWrite[ROW_BAUD].Value = 4;  // 9600
  Session.ParamWrite[ROW_SENSOR_ON].Value = Sim.Register(0) ^ 1;
  Session.ParamWrite[ROW_ANALOG_ON].Value = Sim.Register(1) ^ 1;
  Person.Refreshes = 0;

  Session.PopupMenuLoadAllClick();

  EXPECT_EQ(Session.LastStatus, ST_OK);
  EXPECT_EQ(Session.DeviceAddress, 9);
  EXPECT_EQ(Session.View.AddressIndex, 8);
  EXPECT_EQ(Session.LinkBaud, 9600u);
  EXPECT_EQ(Session.View.BaudIndex, BAUD_INDEX_9600);
  EXPECT_EQ(Session.View.ProgressMax, 35);
  EXPECT_EQ(Session.View.ProgressPos, 36);
  EXPECT_GE(Person.Refreshes, 36);
  const std::vector<TRequest> sent = Decoded(Sim);
  // Rows 1 and 0 arrive only if they went to address 9 at 9600 baud.
  EXPECT_EQ(Sim.Register(1), Session.ParamWrite[ROW_ANALOG_ON].Value);
  EXPECT_EQ(Sim.Register(0), Session.ParamWrite[ROW_SENSOR_ON].Value);
  ASSERT_EQ(sent.size(), 126u);
  EXPECT_EQ(sent.front().Payload.at(0), 239);  // row 35's highest register first
  EXPECT_EQ(sent.back().Address, 9);
  EXPECT_THAT(sent.back().Payload, ElementsAre(0, Session.ParamWrite[ROW_SENSOR_ON].Value));
}

TEST_F(Transfer, FlashMenuAsksReportsAndCarriesOn) {
  struct Case {
    void (TSession::*Click)();
    bool WrongEcho;
    std::string Question;
    uint8_t Code;
    std::vector<std::string> Messages;  // all with caption "KARVO-SP."
    bool ReadsBack;
    size_t FileOffers;
  };
  const std::string toFlash = "Parameters writing to FLASH. Are you sure? ";
  const std::string restore = "Restore factory parameters to FLASH?";
  const std::string toFactory = "Parameters writing to factory. Are you sure? ";
  const std::vector<Case> cases = {
      {&TSession::PopupMenuFLASHClick, false, toFlash, FLASH_STORE, {"    Write OK"}, true, 0},
      {&TSession::PopupMenuFLASHClick, true, toFlash, FLASH_STORE, {"Write ERROR"}, true, 0},
      {&TSession::PopupMenuDefaultClick, false, restore, FLASH_RESTORE, {"  Restore OK"}, true, 0},
      {&TSession::PopupMenuDefaultClick, true, restore, FLASH_RESTORE, {"Restore ERROR"}, false, 0},
      {&TSession::PopupMenuFactoryClick,
       false,
       toFactory,
       FLASH_FACTORY,
       {"    Write OK", "  Restore OK"},
       true,
       1},
      {&TSession::PopupMenuFactoryClick,
       true,
       toFactory,
       FLASH_FACTORY,
       {"Write ERROR", "  Restore OK"},
       true,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Question + (c.WrongEcho ? " wrong echo" : ""));
    Sim.ClearRequests();
    Person.ConfirmAnswers = {false};
    (Session.*c.Click)();
    EXPECT_TRUE(Decoded(Sim).empty());  // Cancel sends nothing

    Person.Questions.clear();
    Person.SaveSuggestions.clear();
    Person.Messages.clear();
    Session.View.Grid.clear();
    if (c.WrongEcho) Sim.WrongAckNext();
    (Session.*c.Click)();

    ASSERT_EQ(Person.Questions.size(), 1u);
    EXPECT_EQ(Person.Questions[0].Text, c.Question);
    EXPECT_EQ(Person.Questions[0].Caption, "KARVO-SP.");
    const std::vector<TRequest> sent = Decoded(Sim);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].Command, CMD_FLASH);
    EXPECT_THAT(sent[0].Payload, ElementsAre(c.Code));
    std::vector<std::string> texts;
    for (const TShownMessage& m : Person.Messages) {
      texts.push_back(m.Text);
      EXPECT_EQ(m.Caption, "KARVO-SP.");
      EXPECT_EQ(m.Icon, m.Text.find("ERROR") != std::string::npos ? TIcon::Stop : TIcon::None);
    }
    EXPECT_EQ(texts, c.Messages);
    EXPECT_EQ(RegistersRead(Sim).size(), c.ReadsBack ? 126u : 0u);
    EXPECT_EQ(Session.View.Grid.size(), static_cast<size_t>(PARAM_COUNT));
    EXPECT_EQ(Person.SaveSuggestions.size(), c.FileOffers);
  }
}

TEST_F(Transfer, RestoreMovesTheLinkToTheFactorySettings) {
  Sim.SetRegister(5, 30);
  Session.View.AddressIndex = 6;
  Session.PopupMenuDefaultClick();
  EXPECT_EQ(Person.LastMessage(), "  Restore OK");
  EXPECT_EQ(Session.LinkBaud, 9600u);
  EXPECT_EQ(Session.LinkRequest.BaudRate, 9600u);
  EXPECT_EQ(Session.DeviceAddress, 1);
  EXPECT_EQ(Session.View.BaudIndex, BAUD_INDEX_9600);
  EXPECT_EQ(Session.View.AddressIndex, 0);
  EXPECT_EQ(Session.ParamWrite[ROW_LASER].Value, Sim.Register(5));
  EXPECT_EQ(Session.LastStatus, ST_OK);
}

// The restore went through, but a sensor silent afterwards must not pass for a good one.
TEST_F(Transfer, RestoreWhoseReadBackFailsIsLeftToTheWatchdog) {
  Sim.FailSilentAfter(1);
  Session.PopupMenuDefaultClick();
  EXPECT_TRUE(Person.Messages.empty()) << Person.LastMessage();
  EXPECT_NE(Session.LastStatus, ST_OK);
  Session.TimerAnswerTimer();
  EXPECT_EQ(Person.LastMessage(), "No answer.");
}

}  // namespace
}  // namespace karvo::test
