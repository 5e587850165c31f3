// The stage link: the motion controller's small binary command set over a port channel of
// its own. Every operation returns the status of its last port operation and keeps it in
// Result; only the status request is answered by the controller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "channel/Interface.h"
#include "protocol/Karvointerface.h"
#include "stage/StageMotion.h"

namespace karvo {

// Command codes on the stage line.
enum : uint8_t {
  MOTOR_READ_STATUS = 0x02,
  MOTOR_DRIVE = 0x03,
  MOTOR_MOVE_HOME = 0x04,
  MOTOR_MOVE_FORWARD = 0x06,
  MOTOR_SET_SPEED = 0x07,
  MOTOR_SET_DISTANCE = 0x08,
};

constexpr uint32_t MOTOR_BAUD = 115200;
constexpr size_t MOTOR_ARGUMENT_BYTES = 6;

// The six bytes of a numeric argument: one 4-bit group each under 0xF0, lowest group first,
// so only the low 24 bits of the value reach the controller.
void EncodeMotorArgument(int32_t value, uint8_t bytes[MOTOR_ARGUMENT_BYTES]);

class TMotorInterface : public TStageMotion {
 public:
  TMotorInterface();
  ~TMotorInterface() override;
  TMotorInterface(const TMotorInterface&) = delete;
  TMotorInterface& operator=(const TMotorInterface&) = delete;

  uint32_t Open(const TLinkSettings& settings);
  uint32_t Close();
  uint32_t SetMotion(int32_t speed, int32_t distance) override;
  uint32_t DriveOn() override;
  uint32_t DriveOff() override;
  uint32_t MoveHome() override;
  uint32_t MoveForward() override;
  uint32_t ReadStatus(uint8_t& status) override;
  bool IsOpen() const override { return Port->IsOpen; }

  uint8_t Frame[16] = {};
  std::unique_ptr<TInterface> Port;
  uint32_t Result = ST_OK;
  uint8_t LastStatus = 0;
  TLinkSettings Link;
  TPortSettings PortSettings;
  TTransfer TxTransfer;
  TTransfer RxTransfer;

  // Called with every request written ('>') and every reply read ('<'), for --trace.
  std::function<void(char direction, const uint8_t* bytes, size_t count)> Trace;

 private:
  uint32_t Send(uint32_t length);
};

// What the stage port selector's text means: exactly "USB" is the USB adapter found by its
// description, any other text (also "usb") a port name at the stage's 115200 baud.
TLinkSettings MotorLinkSettings(const std::string& portText);

// Closes the stage port and opens it again for `portText`; the status of the open.
uint32_t OpenMotorPort(TMotorInterface& motor, const std::string& portText);

// The operator's message when the stage port does not open.
std::string MotorOpenErrorText(const std::string& portText);

}  // namespace karvo
