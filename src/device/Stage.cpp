#include "device/Stage.h"

#include <chrono>
#include <thread>

#include "files/TextFile.h"
#include "measure/RunModes.h"
#include "measure/SampleRing.h"
#include "stage/StageRun.h"
#include "stage/SweepGeometry.h"

namespace karvo::device {

Stage::Stage() : motor_(std::make_unique<TMotorInterface>()) {}

Stage::~Stage() {
  Close();
}

Result Stage::Open(const std::string& port, const std::string& sysfsRoot) {
  port_ = port;
  motor_->Close();
  motor_->Port->SysfsRoot = sysfsRoot;
  const uint32_t status = OpenMotorPort(*motor_, port);
  if (status == ST_OK) return Result::Success();
  const std::string& reason = motor_->Port->LastReason;
  return Result::Failure(status, "opening the stage port " + port,
                         reason.empty() ? "port already in use or not available" : reason);
}

void Stage::Close() {
  if (motor_) motor_->Close();
}

bool Stage::IsOpen() const {
  return motor_->IsOpen();
}

uint32_t Stage::SetMotion(int32_t speed, int32_t distance) {
  return motor_->SetMotion(speed, distance);
}
uint32_t Stage::DriveOn() {
  return motor_->DriveOn();
}
uint32_t Stage::DriveOff() {
  return motor_->DriveOff();
}
uint32_t Stage::MoveHome() {
  return motor_->MoveHome();
}
uint32_t Stage::MoveForward() {
  return motor_->MoveForward();
}
uint32_t Stage::ReadStatus(uint8_t& status) {
  return motor_->ReadStatus(status);
}

Result LoadSweepTable(Sensor& sensor, const float* samples, uint32_t count, float sampleStep,
                      SweepTable& out, const CancelToken* cancel, const Progress& progress,
                      const std::function<bool()>& retry) {
  out = SweepTable{};
  std::string problem;
  out.Built = BuildCalibrationTable(samples, count, sampleStep, sensor.MeasuringRange(), out.Table,
                                    problem);
  if (!out.Built) return Result::Failure(ST_BAD_VALUE, "building the calibration table", problem);
  return sensor.LoadTable(out.Table, out.Load, cancel, progress, retry);
}

namespace {

constexpr auto TICK = std::chrono::milliseconds(1);
// Progress goes out with every new sample, and while none comes (homing) this often.
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(200);

uint32_t RunModeOf(SweepKind kind) {
  switch (kind) {
    case SweepKind::Calibrate:
      return RUN_CALIBRATION;
    case SweepKind::Verify:
      return RUN_POVERKA;
    case SweepKind::Home:
      return RUN_MOTION_HOME;
    case SweepKind::End:
      return RUN_MOTION_END;
  }
  return RUN_CALIBRATION;
}

// The run phases of the window's loop, driven from a plain loop: what the window's session is
// to the phases, this is to them without a window.
class SweepDriver : public TStageRunOwner {
 public:
  SweepDriver(Sensor& sensor, Stage& stage, const TParamSet& read, const SweepOptions& options,
              SweepResult& result, const CancelToken* cancel, const SweepLimits& limits)
      : sensor_(sensor),
        stage_(stage),
        read_(read),
        working_(read),
        options_(options),
        result_(result),
        cancel_(cancel),
        mode_(RunModeOf(options.Kind)) {
    run_.NoAnswerLimit = limits.NoAnswer;
    run_.BusyMargin = limits.BusyMargin;
  }

  Result Run() {
    const int16_t range = sensor_.MeasuringRange();
    const uint8_t rangeClass = RangeClassOf(range);
    if (mode_ == RUN_CALIBRATION || mode_ == RUN_POVERKA) {
      result_.Expected = SweepSampleCount(
          range, rangeClass,
          mode_ == RUN_CALIBRATION ? TSweepKind::Calibration : TSweepKind::Verification);
    }
    ring_.ResetRun();
    running_ = true;
    // Whatever way the loop is left, the drive goes off twice and rows 8 and 26 get their
    // read values back; files are written only by a run that reached its end of travel.
    ScopeGuard putBack([this] {
      if (running_) StartStopMeasure();
    });
    run_.StageStart(mode_);
    auto nextReport = std::chrono::steady_clock::now();
    uint32_t reported = 0;
    while (running_) {
      if (IsCancelled(cancel_)) {
        StartStopMeasure();
        return Result::Failure(ST_CANCELLED, "the sweep");
      }
      run_.StageTick(mode_);
      ring_.FirstTick = false;
      result_.Steps = ring_.SampleCount;
      const auto now = std::chrono::steady_clock::now();
      if (options_.Progress && (now >= nextReport || ring_.SampleCount != reported)) {
        nextReport = now + PROGRESS_EVERY;
        reported = ring_.SampleCount;
        options_.Progress(ring_.SampleCount, result_.Expected,
                          static_cast<double>(ring_.SampleCount) * run_.SampleStep);
      }
      if (running_) std::this_thread::sleep_for(TICK);
    }
    result_.Steps = ring_.SampleCount;
    result_.Completed = ring_.RunComplete || mode_ == RUN_MOTION_HOME || mode_ == RUN_MOTION_END;
    switch (run_.EndedBy) {
      case TRunEnd::StageSilent:
        return Result::Failure(ST_NO_STAGE, "the sweep", "the stage does not answer");
      case TRunEnd::StageStuck:
        return Result::Failure(ST_STAGE_STUCK, "the sweep",
                               "the stage stays busy longer than its move needs");
      case TRunEnd::SensorSilent:
        return Result::Failure(sensorStatus_ == ST_OK ? ST_READ_SHORT : sensorStatus_, "the sweep",
                               "the sensor does not answer");
      case TRunEnd::None:
        break;
    }
    if (options_.Progress) {
      options_.Progress(ring_.SampleCount, result_.Expected,
                        static_cast<double>(ring_.SampleCount) * run_.SampleStep);
    }
    return finish_;
  }

  // ---- What the run phases reach ----
  bool TakeMeasurement() override {
    uint16_t word = 0;
    Result r = sensor_.ReadResult(word);
    sensorStatus_ = r.Status;
    if (!r) return false;
    ring_.LastValue = ConvertResult(mode_, word, sensor_.MeasuringRange());
    return true;
  }
  void StartStopMeasure() override {
    if (!running_) return;
    running_ = false;
    run_.StageStopDrive(mode_);
    if (mode_ == RUN_CALIBRATION || mode_ == RUN_POVERKA) run_.StageStopFinish(mode_);
  }
  void LoadParameter(int row) override {
    Result r = sensor_.WriteParameterAsIs(row, working_[row]);
    if (!r && finish_) finish_ = r;
  }
  TParamSet& WorkingParams() override { return working_; }
  const TParamSet& ReadParams() override { return read_; }
  TSampleRing& Ring() override { return ring_; }
  std::string& ResultDisplay() override { return display_; }
  int16_t Range() const override { return sensor_.MeasuringRange(); }
  uint8_t CurrentRangeClass() const override { return RangeClassOf(sensor_.MeasuringRange()); }
  TStageMotion& Motor() override { return stage_; }
  uint32_t& MotorStatus() override { return motorStatus_; }
  bool OpenMotorPort() override {
    if (stage_.IsOpen()) return true;
    return static_cast<bool>(stage_.Open(stage_.Port()));
  }
  void CloseMotorPort() override { stage_.Close(); }
  void StagePause(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  void RunEndedMessage(const std::string&) override {}

  void WriteCalibrationFile() override {
    SweepTable made;
    Result load = LoadSweepTable(sensor_, ring_.SampleBuffer.data(), ring_.SampleCount,
                                 run_.SampleStep, made, cancel_, options_.TableProgress);
    result_.Table = made.Load;
    if (!made.Built || load.Cancelled()) {
      finish_ = load;
      return;
    }
    // Written whether or not the sensor took the table: the file is the record of the sweep.
    WriteResultFile(CalibrationFileBytes(made.Table));
    if (!load && finish_) finish_ = load;
  }
  void WriteVerificationFile() override {
    result_.Verification = EvaluateVerification(ring_.SampleBuffer.data(), ring_.SampleCount,
                                                run_.SampleStep, DecimalSeparator());
    if (!result_.Verification.HasError) {
      finish_ = Result::Failure(ST_BAD_VALUE, "evaluating the verification", NO_VERIFICATION_TEXT);
      return;
    }
    WriteResultFile(VerificationFileBytes(ring_.SampleBuffer.data(), result_.Verification.Stretch,
                                          run_.SampleStep));
  }

 private:
  void WriteResultFile(const std::string& bytes) {
    if (options_.File.empty()) return;
    int error = 0;
    if (!WriteFileReplacing(options_.File, bytes, error)) {
      finish_ = Result::Failure(ST_FILE, "writing " + options_.File, ErrnoSentence(error));
      return;
    }
    result_.File = options_.File;
  }

  Sensor& sensor_;
  Stage& stage_;
  const TParamSet& read_;
  TParamSet working_;
  const SweepOptions& options_;
  SweepResult& result_;
  const CancelToken* cancel_;
  const uint32_t mode_;
  TSampleRing ring_;
  TStageRun run_{*this};
  std::string display_;
  uint32_t motorStatus_ = ST_OK;
  uint32_t sensorStatus_ = ST_OK;
  bool running_ = false;
  Result finish_;
};

}  // namespace

Result RunSweep(Sensor& sensor, Stage& stage, const TParamSet& read, const SweepOptions& options,
                SweepResult& result, const CancelToken* cancel, const SweepLimits& limits) {
  result = SweepResult{};
  if (!stage.IsOpen()) {
    if (Result r = stage.Open(stage.Port()); !r) return r;
  }
  SweepDriver driver(sensor, stage, read, options, result, cancel, limits);
  return driver.Run();
}

}  // namespace karvo::device
