// The stage link against a scripted peer: every request byte for byte, the status reply,
// failures, the line it opens, and what the port selector's text means.
#include <gtest/gtest.h>

#include <functional>

#include "stage/Motorinterface.h"
#include "support/PtyPeer.h"

namespace karvo {
namespace {

using test::Bytes;

class MotorOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok()) << Peer.Error();
    ASSERT_EQ(Motor.Open(MotorLinkSettings(Peer.SlavePath())), ST_OK) << Motor.Port->LastReason;
  }
  test::TPtyPeer Peer;
  TMotorInterface Motor;
};

TEST_F(MotorOnPty, EveryOperationWritesItsFrame) {
  struct Row {
    const char* name;
    std::function<uint32_t(TMotorInterface&)> call;
    Bytes frame;
  };
  const Row rows[] = {
      // clang-format off
      {"SetMotion(2000, 8500)", [](auto& m) { return m.SetMotion(2000, 8500); },
       {0x07, 0xF0, 0xFD, 0xF7, 0xF0, 0xF0, 0xF0, 0x08, 0xF4, 0xF3, 0xF1, 0xF2, 0xF0, 0xF0}},
      {"DriveOn", [](auto& m) { return m.DriveOn(); }, {0x03, 0xF1}},
      {"DriveOff", [](auto& m) { return m.DriveOff(); }, {0x03, 0xF0}},
      {"MoveHome", [](auto& m) { return m.MoveHome(); }, {0x04}},
      {"MoveForward", [](auto& m) { return m.MoveForward(); }, {0x06}},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Peer.Play({{.Expect = row.frame.size(), .Answer = {}}});
    EXPECT_EQ(row.call(Motor), ST_OK);
    EXPECT_TRUE(Peer.Finish());
    EXPECT_EQ(Peer.Drain(), row.frame);  // and nothing after it
  }
}

// A silent stage leaves the caller's status alone.
TEST_F(MotorOnPty, StatusIsTheLowNibbleOfTheReply) {
  Motor.PortSettings.ReadTotal = 60;
  ASSERT_EQ(Motor.Port->Open(Motor.PortSettings), ST_OK);
  const struct {
    Bytes reply;
    uint32_t result;
    uint8_t status;
  } rows[] = {{{0x3C}, ST_OK, 12}, {{0xF1}, ST_OK, 1}, {{}, ST_READ_SHORT, 0xEE}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.reply));
    Peer.Play({{.Expect = 1, .Answer = {row.reply}}});
    uint8_t status = 0xEE;
    EXPECT_EQ(Motor.ReadStatus(status), row.result);
    EXPECT_EQ(status, row.status);
    Peer.Finish();
    EXPECT_EQ(Peer.Received(), Bytes{0x02});
  }
}

TEST_F(MotorOnPty, OpensTheStageLineAndFailsEveryOperationOnceClosed) {
  EXPECT_EQ(Peer.Line().Baud, MOTOR_BAUD);
  EXPECT_EQ(Peer.Line().StopBits, 1);
  EXPECT_EQ(Motor.PortSettings.Parity, 0);

  EXPECT_EQ(Motor.Close(), ST_OK);
  uint8_t status = 9;
  for (uint32_t result : {Motor.SetMotion(2000, 1), Motor.DriveOn(), Motor.DriveOff(),
                          Motor.MoveHome(), Motor.MoveForward(), Motor.ReadStatus(status)})
    EXPECT_EQ(result, ST_NOT_OPEN);
  EXPECT_EQ(status, 9);
  EXPECT_TRUE(Peer.Drain().empty());
}

TEST(MotorPort, SelectorTextPicksTheAdapterOnlyForExactlyUsbAndAFailedOpenKeepsTheReason) {
  const struct {
    const char* text;
    uint32_t kind;
    const char* name;
  } rows[] = {{"USB", PORT_USB, USB_ADAPTER_DESCRIPTION},
              {"usb", PORT_COM, "usb"},
              {"/dev/ttyUSB1", PORT_COM, "/dev/ttyUSB1"}};
  for (const auto& row : rows) {
    TLinkSettings settings = MotorLinkSettings(row.text);
    EXPECT_EQ(settings.PortKind, row.kind) << row.text;
    EXPECT_EQ(settings.Name, row.name);
    EXPECT_EQ(settings.BaudRate, 115200u);
  }
  TMotorInterface motor;
  EXPECT_EQ(OpenMotorPort(motor, "/nonexistent/stage"), ST_NOT_OPEN);
  EXPECT_FALSE(motor.Port->LastReason.empty());
  EXPECT_EQ(MotorOpenErrorText("COM2"),
            "Error opening COM2.\x0D"
            "Port already in use or not available.");
}

}  // namespace
}  // namespace karvo
