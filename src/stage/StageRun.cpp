#include "stage/StageRun.h"

#include "channel/Interface.h"
#include "measure/RunModes.h"
#include "stage/SweepGeometry.h"

namespace karvo {

namespace {

constexpr uint32_t PHASE_PAUSE_MS = 100;
constexpr uint32_t DRIVE_OFF_PAUSE_MS = 10;

}  // namespace

void TStageRun::Motion(int32_t speed, int32_t distance) {
  owner_.MotorStatus() = owner_.Motor().SetMotion(speed, distance);
  speed_ = speed;
  distance_ = distance;
}

void TStageRun::AllowBusy(int64_t distance) {
  moveStarted_ = Now();
  const double seconds =
      speed_ > 0 ? 2.0 * static_cast<double>(distance < 0 ? -distance : distance) / speed_ : 0.0;
  busyLimit_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) +
               BusyMargin;
}

void TStageRun::MoveHome(uint32_t runMode) {
  owner_.MotorStatus() = owner_.Motor().MoveHome();
  // How far home is, the program does not know: the whole travel of a sweep with its lead-in.
  const int16_t range = owner_.Range();
  const uint8_t rangeClass = owner_.CurrentRangeClass();
  const TSweepKind kind =
      runMode == RUN_POVERKA ? TSweepKind::Verification : TSweepKind::Calibration;
  AllowBusy(int64_t{SweepSampleCount(range, rangeClass, kind)} * StepUnitsOf(range, rangeClass) +
            LEAD_IN_DISTANCE);
}

void TStageRun::MoveForward() {
  owner_.MotorStatus() = owner_.Motor().MoveForward();
  AllowBusy(distance_);
}

void TStageRun::StageStart(uint32_t runMode) {
  EndedBy = TRunEnd::None;
  stageBusy_ = false;
  stageFailingSince_.reset();
  sensorFailingSince_.reset();
  // A port that does not open has been reported; the run starts all the same and waits
  // for Stop, as the operator expects from the message.
  owner_.OpenMotorPort();
  TStageMotion& motor = owner_.Motor();
  uint32_t& result = owner_.MotorStatus();
  if (runMode == RUN_CALIBRATION || runMode == RUN_POVERKA) {
    TParamSet& working = owner_.WorkingParams();
    working[ROW_AVERAGED].Value = 0;
    owner_.LoadParameter(ROW_AVERAGED);
    // The sensor's raw output for a calibration, its linearised one for a verification.
    working[ROW_MODE_OF_RUN].Value = runMode == RUN_CALIBRATION ? 1 : 0;
    owner_.LoadParameter(ROW_MODE_OF_RUN);
    const uint8_t rangeClass = owner_.CurrentRangeClass();
    StepUnits = StepUnitsOf(owner_.Range(), rangeClass);
    SampleStep = SampleStepOf(StepUnits, rangeClass);
    Motion(SWEEP_SPEED, static_cast<int32_t>(StepUnits));
    result = motor.DriveOn();
    MoveHome(runMode);
  } else if (runMode == RUN_MOTION_HOME || runMode == RUN_MOTION_END) {
    Motion(SWEEP_SPEED, MOTION_DISTANCE);
    result = motor.DriveOn();
    if (runMode == RUN_MOTION_HOME) {
      MoveHome(runMode);
    } else {
      MoveForward();
    }
  }
  StageSubstate = 0;
}

bool TStageRun::StageIdle() {
  uint8_t status = 1;
  TStageMotion& motor = owner_.Motor();
  // Silence counts from the request that went unanswered, not from its time-out.
  const Clock::time_point asked = Now();
  owner_.MotorStatus() = motor.ReadStatus(status);
  if (owner_.MotorStatus() == ST_OK) {
    stageFailingSince_.reset();
    stageBusy_ = status != 0;
    return status == 0;
  }
  stageBusy_ = false;  // silence is judged as silence, not as a move that takes long
  // Only an open port can fall silent; one that never opened was reported at the start.
  if (motor.IsOpen() && !stageFailingSince_) stageFailingSince_ = asked;
  return false;
}

bool TStageRun::StageSilent() {
  if (stageBusy_ && Now() - moveStarted_ > busyLimit_) {
    EndSilent(TRunEnd::StageStuck);
    return true;
  }
  if (!stageFailingSince_ || Now() - *stageFailingSince_ < NoAnswerLimit) return false;
  EndSilent(TRunEnd::StageSilent);
  return true;
}

bool TStageRun::SensorSilent(Clock::time_point asked) {
  if (!sensorFailingSince_) sensorFailingSince_ = asked;
  if (Now() - *sensorFailingSince_ < NoAnswerLimit) return false;
  EndSilent(TRunEnd::SensorSilent);
  return true;
}

void TStageRun::EndSilent(TRunEnd why) {
  EndedBy = why;
  // The stop path halts the stage and puts the parameters back first; the box comes after.
  owner_.StartStopMeasure();
  owner_.RunEndedMessage(why == TRunEnd::StageSilent  ? STAGE_SILENT_TEXT
                         : why == TRunEnd::StageStuck ? STAGE_STUCK_TEXT
                                                      : SENSOR_SILENT_TEXT);
}

// Returns true when the run has been stopped from inside.
bool TStageRun::Sample(uint32_t runMode) {
  const TSweepKind kind =
      runMode == RUN_CALIBRATION ? TSweepKind::Calibration : TSweepKind::Verification;
  TSampleRing& ring = owner_.Ring();
  const Clock::time_point start = Now();
  for (uint32_t budget = SAMPLE_BUDGET; budget > 0;) {
    if (Now() - start >= TickSlice) return false;
    if (!StageIdle()) {
      if (StageSilent()) return true;
      continue;
    }
    const Clock::time_point asked = Now();
    if (owner_.TakeMeasurement()) {
      sensorFailingSince_.reset();
      float& sample = ring.SampleBuffer[ring.SampleCount];
      sample = ring.LastValue;
      if (owner_.TakeMeasurement()) sample = (sample + ring.LastValue) * 0.5f;
      ++ring.SampleCount;
      owner_.ResultDisplay() = ResultText(runMode, ring.LastValue);
      --budget;
    } else if (SensorSilent(asked)) {
      return true;
    }
    if (TravelEnded(ring.SampleCount, SampleStep, owner_.Range(), kind)) {
      ring.RunComplete = true;
      owner_.StartStopMeasure();
      return true;
    }
    MoveForward();
  }
  return false;
}

void TStageRun::SweepTick(uint32_t runMode) {
  // Phases run from the highest down, so that a change made in this tick is acted on in the
  // next one.
  if (StageSubstate == 2 && Sample(runMode)) return;
  if (StageSubstate == 1) {
    if (StageIdle()) {
      Motion(SWEEP_SPEED, static_cast<int32_t>(StepUnits));
      StageSubstate = 2;
      sensorFailingSince_.reset();
    } else if (StageSilent()) {
      return;
    }
  }
  if (StageSubstate != 0) return;
  if (!StageIdle()) {
    StageSilent();
    return;
  }
  owner_.StagePause(PHASE_PAUSE_MS);
  const uint8_t rangeClass = owner_.CurrentRangeClass();
  if (rangeClass == 3) {
    Motion(SWEEP_SPEED, LEAD_IN_DISTANCE);
    owner_.StagePause(PHASE_PAUSE_MS);
    MoveForward();
    StageSubstate = 1;
    return;
  }
  if (rangeClass == 0) Motion(SWEEP_SPEED_SMALL, static_cast<int32_t>(StepUnits));
  StageSubstate = 2;
  sensorFailingSince_.reset();
}

// "Motion_Home": home, and for the largest stages the lead-in off home, each waited for in
// later ticks rather than in a loop that would hold the window.
void TStageRun::HomeTick() {
  if (!StageIdle()) {
    StageSilent();
    return;
  }
  if (StageSubstate == 0) {
    uint8_t unused = 0;
    owner_.MotorStatus() = owner_.Motor().ReadStatus(unused);
    owner_.StagePause(PHASE_PAUSE_MS);
    if (owner_.CurrentRangeClass() == 3) {
      Motion(SWEEP_SPEED, LEAD_IN_DISTANCE);
      owner_.StagePause(PHASE_PAUSE_MS);
      MoveForward();
      StageSubstate = 1;
      return;
    }
  }
  owner_.StartStopMeasure();
}

void TStageRun::StageTick(uint32_t runMode) {
  switch (runMode) {
    case RUN_CALIBRATION:
    case RUN_POVERKA:
      SweepTick(runMode);
      break;
    case RUN_MOTION_HOME:
      HomeTick();
      break;
    case RUN_MOTION_END:
      if (StageIdle()) {
        owner_.StartStopMeasure();
      } else {
        StageSilent();
      }
      break;
    default:
      break;
  }
}

void TStageRun::StageStopDrive(uint32_t) {
  TStageMotion& motor = owner_.Motor();
  for (int i = 0; i < 2; ++i) {
    owner_.StagePause(DRIVE_OFF_PAUSE_MS);
    owner_.MotorStatus() = motor.DriveOff();
  }
  owner_.CloseMotorPort();
}

void TStageRun::StageStopFinish(uint32_t runMode) {
  TParamSet& working = owner_.WorkingParams();
  const TParamSet& read = owner_.ReadParams();
  working[ROW_AVERAGED].Value = read[ROW_AVERAGED].Value;
  owner_.LoadParameter(ROW_AVERAGED);
  working[ROW_MODE_OF_RUN].Value = read[ROW_MODE_OF_RUN].Value;
  owner_.LoadParameter(ROW_MODE_OF_RUN);
  if (!owner_.Ring().RunComplete) return;
  if (runMode == RUN_CALIBRATION) {
    owner_.WriteCalibrationFile();
  } else if (runMode == RUN_POVERKA) {
    owner_.WriteVerificationFile();
  }
}

}  // namespace karvo
