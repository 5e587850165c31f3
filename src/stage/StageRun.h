// The stage-driven run modes: calibration and verification sweeps (home, an optional lead-in,
// then one averaged sample before every step until the end of travel) and the two stage-only
// moves. It fills the loop's hook points and reaches the window's state only through
// TStageRunOwner, which the session implements.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "measure/SampleRing.h"
#include "measure/StageHooks.h"
#include "params/ParamTable.h"
#include "stage/StageMotion.h"
#include "stage/SweepGeometry.h"

namespace karvo {

class TStageRunOwner {
 public:
  virtual ~TStageRunOwner() = default;
  virtual bool TakeMeasurement() = 0;  // one reading in the run's mode into the ring's LastValue
  virtual void StartStopMeasure() = 0;
  virtual void LoadParameter(int row) = 0;
  virtual TParamSet& WorkingParams() = 0;
  virtual const TParamSet& ReadParams() = 0;
  virtual TSampleRing& Ring() = 0;
  virtual std::string& ResultDisplay() = 0;  // LabelRast
  virtual int16_t Range() const = 0;         // the sensor's measuring range, mm
  virtual uint8_t CurrentRangeClass() const = 0;
  virtual TStageMotion& Motor() = 0;
  virtual uint32_t& MotorStatus() = 0;  // MotorResult
  virtual bool OpenMotorPort() = 0;
  virtual void CloseMotorPort() = 0;
  virtual void StagePause(uint32_t ms) = 0;
  virtual void WriteCalibrationFile() = 0;
  virtual void WriteVerificationFile() = 0;
  // A run that ended because a device fell silent; shown after the stop.
  virtual void RunEndedMessage(const std::string& text) = 0;
};

inline constexpr const char* STAGE_SILENT_TEXT = "The stage does not answer. The run was stopped.";
inline constexpr const char* SENSOR_SILENT_TEXT =
    "The sensor does not answer. The run was stopped.";

inline constexpr const char* STAGE_STUCK_TEXT =
    "The stage stays busy longer than its move needs. The run was stopped.";

enum class TRunEnd { None, StageSilent, SensorSilent, StageStuck };

class TStageRun : public TStageHooks {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TStageRun(TStageRunOwner& owner) : owner_(owner) {}

  void StageStart(uint32_t runMode) override;
  void StageTick(uint32_t runMode) override;
  void StageStopDrive(uint32_t runMode) override;
  void StageStopFinish(uint32_t runMode) override;

  uint8_t StageSubstate = 0;
  uint32_t StepUnits = 1;
  float SampleStep = STAGE_STEP_MM[0];
  // Why the last run ended by itself before its end of travel; None otherwise.
  TRunEnd EndedBy = TRunEnd::None;

  // A tick samples at most this long (plus the exchange under way) and goes on in the next one,
  // so that the window stays responsive and Stop is served between ticks.
  std::chrono::milliseconds TickSlice{250};
  // Silence of the stage (an open port that gives no status) or of the sensor (readings that
  // keep failing) for this long ends the run.
  std::chrono::milliseconds NoAnswerLimit{5000};
  // A move may keep the stage busy for twice the time its distance takes at its speed, plus
  // this much; longer, and the run ends.
  std::chrono::milliseconds BusyMargin{5000};
  // Steady time; tests may replace it.
  std::function<Clock::time_point()> Now = [] { return Clock::now(); };

 private:
  // ReadStatus: true when the stage answered idle. Starts or clears the stage's silence.
  bool StageIdle();
  // These end the run (and return true) once the stage, or the sensor, has been silent for
  // NoAnswerLimit in a row, or the stage has stayed busy beyond its move's limit.
  bool StageSilent();
  bool SensorSilent(Clock::time_point asked);
  void EndSilent(TRunEnd why);
  void Motion(int32_t speed, int32_t distance);
  // The moves, each with the time the stage may stay busy for it.
  void MoveHome(uint32_t runMode);
  void MoveForward();
  void AllowBusy(int64_t distance);
  bool Sample(uint32_t runMode);  // true when the run was stopped from inside
  void SweepTick(uint32_t runMode);
  void HomeTick();

  TStageRunOwner& owner_;
  std::optional<Clock::time_point> stageFailingSince_;
  std::optional<Clock::time_point> sensorFailingSince_;
  int32_t speed_ = 0;
  int32_t distance_ = 0;
  Clock::time_point moveStarted_{};
  Clock::duration busyLimit_{};
  bool stageBusy_ = false;
};

}  // namespace karvo
