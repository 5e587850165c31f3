// What a stage-driven run asks of the stage: its moves and its status, each answering with
// the exchange's status. The link implements it, and so does the device layer's stage, which
// is how the window and the scripts reach it.
#pragma once

#include <cstdint>

namespace karvo {

class TStageMotion {
 public:
  virtual ~TStageMotion() = default;
  virtual uint32_t SetMotion(int32_t speed, int32_t distance) = 0;
  virtual uint32_t DriveOn() = 0;
  virtual uint32_t DriveOff() = 0;
  virtual uint32_t MoveHome() = 0;
  virtual uint32_t MoveForward() = 0;
  // `status` gets the low nibble of the reply (0 idle, anything else busy); it is left as it
  // was when the request or the reply fails.
  virtual uint32_t ReadStatus(uint8_t& status) = 0;
  virtual bool IsOpen() const = 0;
};

}  // namespace karvo
