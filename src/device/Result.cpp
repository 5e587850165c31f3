#include "device/Result.h"

namespace karvo::device {

const char* DeviceStatusText(uint32_t status) {
  switch (status) {
    case ST_CANCELLED:
      return "cancelled";
    case ST_BAD_VALUE:
      return "value refused";
    case ST_STAGE_STUCK:
      return "the stage stays busy";
    case ST_NO_STAGE:
      return "the stage does not answer";
    case ST_FILE:
      return "file not written";
    case ST_LINE_BUSY:
      return "the line is streaming";
    default:
      return StatusText(status);
  }
}

std::string Result::Describe() const {
  if (Ok()) return "success";
  std::string text = Doing.empty() ? std::string("operation") : Doing;
  if (Status == ST_CANCELLED) return text + " cancelled";
  text += " failed: status " + std::to_string(Status) + " (" + DeviceStatusText(Status) + ")";
  if (!Reason.empty()) text += ": " + Reason;
  return text;
}

}  // namespace karvo::device
