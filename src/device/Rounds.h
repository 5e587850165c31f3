// Several sensors on one shared line polled in rounds: one result from each, in the order
// given, back to back. The command line's measure and the Python package's Bus both take their
// rounds here, so that what counts as a silent sensor cannot differ between them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "device/Line.h"
#include "device/Result.h"
#include "device/Sensor.h"

namespace karvo::device {

// A sensor to poll: its address, the run mode its results are taken in and the measuring
// range that scales them (from its identify).
struct PolledSensor {
  uint8_t Address = 1;
  uint32_t RunMode = 0;
  int16_t MeasuringRange = 0;
};

class Rounds {
 public:
  // Rounds in a row without an answer after which a sensor is called silent.
  static constexpr int SILENT_ROUNDS = 3;

  Rounds(std::shared_ptr<Line> line, const std::vector<PolledSensor>& sensors);

  // Asked before every exchange: a cancel ends a round within one exchange.
  void SetCancelToken(const CancelToken* token);

  // One round into `values`, one per sensor, empty where a sensor did not answer (no answer
  // or a garbled one); the others go on. Fails when cancelled (the round is incomplete), when
  // the line itself fails (at once, with the line's reason), or when a sensor has not answered
  // SILENT_ROUNDS rounds in a row: ST_READ_SHORT with its address in the reason, `values`
  // holding the whole round.
  Result Next(std::vector<std::optional<float>>& values);

  size_t Size() const { return polled_.size(); }
  // The sensor that ended the rounds by its silence, if one did.
  std::optional<uint8_t> SilentAddress() const { return silent_; }

 private:
  struct Polled {
    std::unique_ptr<device::Sensor> Device;
    uint32_t RunMode = 0;
    int Missed = 0;  // rounds in a row without an answer
  };
  std::vector<Polled> polled_;
  const CancelToken* cancel_ = nullptr;
  std::optional<uint8_t> silent_;
};

}  // namespace karvo::device
