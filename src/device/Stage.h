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
#include "stage/StageMotion.h"
#include "stage/Verification.h"

namespace karvo::device {

// The one way to the stage: the runs' moves go through it, not through its link.
class Stage : public TStageMotion {
 public:
  Stage();
  ~Stage() override;
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  // "USB" or a port name, always at the stage's 115200 baud.
  Result Open(const std::string& port, const std::string& sysfsRoot = "/sys");
  void Close();
  bool IsOpen() const override;
  const std::string& Port() const { return port_; }
  // The port's own reason for its last failure; empty when it knows none.
  std::string PortReason() const { return motor_->Port->LastReason; }

  uint32_t SetMotion(int32_t speed, int32_t distance) override;
  uint32_t DriveOn() override;
  uint32_t DriveOff() override;
  uint32_t MoveHome() override;
  uint32_t MoveForward() override;
  uint32_t ReadStatus(uint8_t& status) override;

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

// A calibration sweep's table and its load into the sensor.
struct SweepTable {
  TCalibrationTable Table;
  TTableLoadResult Load;
  bool Built = false;  // the samples made a table; when they did not, nothing was sent
};

// Builds the calibration table from a sweep's `count` samples, `sampleStep` mm apart, and
// loads it into `sensor`: the one way for the window and the scripts. ST_BAD_VALUE with the
// reason, nothing sent, when the samples make no table or an entry does not fit 16 bits.
Result LoadSweepTable(Sensor& sensor, const float* samples, uint32_t count, float sampleStep,
                      SweepTable& out, const CancelToken* cancel = nullptr,
                      const Progress& progress = {}, const std::function<bool()>& retry = {});

// Runs a stage-driven run to its end with `sensor` (open, identified, parameters read into
// `read`) and `stage` (open). Whatever the run changes is put back on every way out: the
// drive is switched off twice and rows 8 and 26 get their read values again.
Result RunSweep(Sensor& sensor, Stage& stage, const TParamSet& read, const SweepOptions& options,
                SweepResult& result, const CancelToken* cancel = nullptr,
                const SweepLimits& limits = {});

}  // namespace karvo::device
