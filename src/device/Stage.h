// The motorised stage on its own line, and the stage-driven runs (calibration and
// verification sweeps, the two stage-only moves) as calls for the command line and scripts.
// The window drives the same run phases tick by tick from its own timer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "device/Result.h"
#include "device/Sensor.h"
#include "stage/Calibration.h"
#include "stage/Motorinterface.h"
#include "stage/Verification.h"

namespace karvo::device {

class Stage {
 public:
  Stage();
  ~Stage();
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  // "USB" or a port name, always at the stage's 115200 baud.
  Result Open(const std::string& port, const std::string& sysfsRoot = "/sys");
  void Close();
  bool IsOpen() const;
  const std::string& Port() const { return port_; }
  // The port's own reason for its last failure; empty when it knows none.
  std::string PortReason() const { return motor_->Port->LastReason; }

  TMotorInterface& Link() { return *motor_; }

 private:
  std::unique_ptr<TMotorInterface> motor_;
  std::string port_;
};

enum class SweepKind { Calibrate, Verify, Home, End };

struct SweepOptions {
  SweepKind Kind = SweepKind::Calibrate;
  // Where the result file goes (calibrate and verify); empty: none is written.
  std::string File;
  // Samples taken, the count expected and the stage's position in mm, as the run goes.
  std::function<void(uint32_t samples, uint32_t expected, double positionMm)> Progress;
  // Pages written and read back of the table load (calibrate).
  ::karvo::device::Progress TableProgress;
};

struct SweepResult {
  uint32_t Steps = 0;          // samples taken
  uint32_t Expected = 0;       // samples a full sweep takes
  bool Completed = false;      // reached the end of travel (or the move ended)
  TTableLoadResult Table;      // calibrate: the load and check
  TVerification Verification;  // verify
  std::string File;            // the file written, empty when none was
};

// How long the stage, or the sensor, may stay silent, and how far beyond its move's own time
// the stage may stay busy, before the run ends.
struct SweepLimits {
  std::chrono::milliseconds NoAnswer{5000};
  std::chrono::milliseconds BusyMargin{5000};
};

// Runs a stage-driven run to its end with `sensor` (open, identified, parameters read into
// `read`) and `stage` (open). Whatever the run changes is put back on every way out: the
// drive is switched off twice and rows 8 and 26 get their read values again.
Result RunSweep(Sensor& sensor, Stage& stage, const TParamSet& read, const SweepOptions& options,
                SweepResult& result, const CancelToken* cancel = nullptr,
                const SweepLimits& limits = {});

}  // namespace karvo::device
