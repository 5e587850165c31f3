#include "stage/Motorinterface.h"

namespace karvo {

void EncodeMotorArgument(int32_t value, uint8_t bytes[MOTOR_ARGUMENT_BYTES]) {
  const auto bits = static_cast<uint32_t>(value);
  for (size_t k = 0; k < MOTOR_ARGUMENT_BYTES; ++k)
    bytes[k] = static_cast<uint8_t>(0xF0 | ((bits >> (4 * k)) & 0x0F));
}

TMotorInterface::TMotorInterface() : Port(std::make_unique<TInterface>()) {}

TMotorInterface::~TMotorInterface() = default;

uint32_t TMotorInterface::Open(const TLinkSettings& settings) {
  Link = settings;
  // No parity; the longest request is 7 bytes and the only reply one byte.
  PortSettings = LinkPortSettings(Link, 0, 16);
  Result = Port->Open(PortSettings);
  return Result;
}

uint32_t TMotorInterface::Close() {
  Result = Port->Close();
  return Result;
}

uint32_t TMotorInterface::Send(uint32_t length) {
  TxTransfer = TTransfer{Frame, length, nullptr};
  Result = Port->Write(TxTransfer);
  if (Trace && Result != ST_NOT_OPEN) Trace('>', Frame, length);
  return Result;
}

uint32_t TMotorInterface::SetMotion(int32_t speed, int32_t distance) {
  Frame[0] = MOTOR_SET_SPEED;
  EncodeMotorArgument(speed, Frame + 1);
  if (Send(1 + MOTOR_ARGUMENT_BYTES) != ST_OK) return Result;
  Frame[0] = MOTOR_SET_DISTANCE;
  EncodeMotorArgument(distance, Frame + 1);
  return Send(1 + MOTOR_ARGUMENT_BYTES);
}

uint32_t TMotorInterface::DriveOn() {
  Frame[0] = MOTOR_DRIVE;
  Frame[1] = 0xF1;
  return Send(2);
}

uint32_t TMotorInterface::DriveOff() {
  Frame[0] = MOTOR_DRIVE;
  Frame[1] = 0xF0;
  return Send(2);
}

uint32_t TMotorInterface::MoveHome() {
  Frame[0] = MOTOR_MOVE_HOME;
  return Send(1);
}

uint32_t TMotorInterface::MoveForward() {
  Frame[0] = MOTOR_MOVE_FORWARD;
  return Send(1);
}

uint32_t TMotorInterface::ReadStatus(uint8_t& status) {
  Frame[0] = MOTOR_READ_STATUS;
  if (Send(1) != ST_OK) return Result;
  RxTransfer = TTransfer{Frame, 1, nullptr};
  Result = Port->Read(RxTransfer);
  if (Trace && Result != ST_NOT_OPEN) Trace('<', Frame, Port->LastCount);
  if (Result != ST_OK) return Result;
  LastStatus = Frame[0] & 0x0F;
  status = LastStatus;
  return Result;
}

TLinkSettings MotorLinkSettings(const std::string& portText) {
  return PortItemLink(portText, MOTOR_BAUD);
}

uint32_t OpenMotorPort(TMotorInterface& motor, const std::string& portText) {
  motor.Close();
  return motor.Open(MotorLinkSettings(portText));
}

std::string MotorOpenErrorText(const std::string& portText) {
  return "Error opening " + portText + ".\rPort already in use or not available.";
}

}  // namespace karvo
