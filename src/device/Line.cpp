#include "device/Line.h"

#include "device/Sensor.h"

namespace karvo::device {

Line::Line() : link_(std::make_unique<TKARVOInterface>()) {}

Line::~Line() {
  Close();
}

Result Line::Open(const SensorSettings& settings) {
  auto held = Hold();
  link_->Close();
  streaming_.reset();
  link_->Port.SysfsRoot = settings.SysfsRoot;
  port_ = settings.Port;
  baud_ = settings.Baud;
  const uint32_t status = link_->Open(PortItemLink(settings.Port, settings.Baud));
  if (status != ST_OK) {
    const std::string& reason = link_->LastReason();
    return Result::Failure(status, "opening " + settings.Port,
                           reason.empty() ? "port already in use or not available" : reason);
  }
  // What the port could not set (a raw network port's rate) is said, not ignored.
  Result opened = Result::Success();
  opened.Notice = link_->Port.Notice;
  return opened;
}

void Line::Close() {
  auto held = Hold();
  streaming_.reset();
  link_->Close();
}

bool Line::IsOpen() const {
  return link_->IsOpen();
}

}  // namespace karvo::device
