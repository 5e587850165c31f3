#include "device/Rounds.h"

#include <string>

#include "measure/RunModes.h"

namespace karvo::device {

namespace {

// What the sensor's absence looks like on a shared line: nothing came, or something that was
// no answer (another sensor's late bytes, a collision). Anything else is the line's own fault.
bool NoAnswer(const Result& r) {
  return r.Status == ST_READ_SHORT || r.Status == ST_BAD_FRAME;
}

}  // namespace

Rounds::Rounds(std::shared_ptr<Line> line, const std::vector<PolledSensor>& sensors) {
  for (const PolledSensor& s : sensors) {
    Polled p;
    // Sensors of their own, so that a round never disturbs another caller's sensor state.
    p.Device = std::make_unique<Sensor>(line, s.Address);
    p.Device->SetMeasuringRange(s.MeasuringRange);
    p.RunMode = s.RunMode;
    polled_.push_back(std::move(p));
  }
}

void Rounds::SetCancelToken(const CancelToken* token) {
  cancel_ = token;
  for (Polled& p : polled_) p.Device->SetCancelToken(token);
}

Result Rounds::Next(std::vector<std::optional<float>>& values) {
  values.assign(polled_.size(), std::nullopt);
  if (silent_) return Result::Failure(ST_READ_SHORT, "measuring", "the rounds have ended");
  for (size_t i = 0; i < polled_.size(); ++i) {
    Polled& p = polled_[i];
    if (IsCancelled(cancel_)) return Result::Failure(ST_CANCELLED, "measuring");
    uint16_t word = 0;
    const Result r = p.Device->ReadResult(word);
    if (r) {
      values[i] = ConvertResult(p.RunMode, word, p.Device->MeasuringRange());
      p.Missed = 0;
    } else if (NoAnswer(r)) {
      ++p.Missed;
    } else {
      Result failed = r;
      failed.Doing = "measuring at address " + std::to_string(p.Device->Address());
      return failed;
    }
  }
  for (const Polled& p : polled_) {
    if (p.Missed >= SILENT_ROUNDS) {
      silent_ = p.Device->Address();
      return Result::Failure(ST_READ_SHORT, "measuring",
                             "the sensor at address " + std::to_string(*silent_) +
                                 " did not answer " + std::to_string(SILENT_ROUNDS) +
                                 " rounds in a row");
    }
  }
  return Result::Success();
}

}  // namespace karvo::device
