// The stage port and the results of the calibration and verification sweeps: the chart, the
// table load with its progress and Retry, and the ".klb" and ".pvk" files.
#include <unistd.h>

#include "app/Session.h"
#include "files/TextFile.h"
#include "measure/RunModes.h"

namespace karvo {

namespace {
constexpr const char* SWEEP_AXIS_X = "Stage, mm";
constexpr const char* SWEEP_PROGRESS_PREFIX = "Sweep: ";
}  // namespace

bool TSession::OpenMotorPort() {
  if (!StageDevice) return false;
  const device::Result opened = StageDevice->Open(View.MotorPortText, SysfsRoot);
  MotorResult = opened.Status;
  if (opened) return true;
  std::string text = MotorOpenErrorText(MotorPortName());
  const std::string reason = StageDevice->PortReason();
  if (!reason.empty()) text += '\r' + Utf8ToCp1251(reason) + '.';
  Person.Message(text, CAPTION, TIcon::Exclamation);
  return false;
}

void TSession::CloseMotorPort() {
  if (!StageDevice) return;
  StageDevice->Close();
  MotorResult = ST_OK;
}

void TSession::RunEndedMessage(const std::string& text) {
  Person.Message(text, CAPTION, TIcon::Stop);
}

bool TSession::SaveSweepResult(const std::string& extension, const std::string& bytes) {
  SaveDialogDataName = View.LabelSerNum + extension;
  const std::optional<std::string> name = Person.AskSaveFile(SaveDialogDataName);
  if (!name) return false;
  SaveDialogDataName = *name;
  if (access(name->c_str(), F_OK) == 0 && !Person.Confirm("Rewrite file?", CAPTION_DOT))
    return false;
  return WriteFileShown(*name, bytes);
}

void TSession::WriteCalibrationFile() {
  const uint32_t count = SampleRing.SampleCount;
  const float* samples = SampleRing.SampleBuffer.data();
  View.ChartFooter = {CalibrationFooter(count)};
  // The readings drawn while the stage moved give way to the result.
  View.SeriesOsc.Clear();
  View.SeriesOsc.Axes = OscAxesOf(RUN_CALIBRATION);
  for (const TChartPoint& p : CalibrationChartPoints(samples, count))
    View.SeriesOsc.Append(p.Y, p.Label);
  device::SweepTable made;
  const device::Result load = device::LoadSweepTable(
      *Device, samples, count, StageRun.SampleStep, made, &Cancel,
      [this](int pos, int max) { SetProgress(max, pos); },
      [this] { return Person.RetryCancel(CALIBRE_TABLE_ERROR_TEXT, CAPTION); });
  CalibrationLoad = made.Load;
  if (!made.Built) {
    Person.Message(load.Reason, CAPTION, TIcon::Exclamation);
    return;
  }
  if (made.Table.Skipped > 0) {
    Person.Message(std::to_string(made.Table.Skipped) +
                       " readings outside 0 to 21999 were left out of the calibration table.",
                   CAPTION, TIcon::Warning);
  }
  if (load.Status == device::ST_BAD_VALUE) {
    // Nothing was sent: an entry beyond 16 bits would have gone out cut.
    Person.Message(CALIBRE_TABLE_ERROR_TEXT + ("\r" + load.Reason + "."), CAPTION, TIcon::Stop);
  } else {
    SensorStatus = CalibrationLoad.Status;
  }
  // Offered whether or not the sensor took the table: the file is the record of the sweep.
  SaveSweepResult(CALIBRATION_EXTENSION, CalibrationFileBytes(made.Table));
}

void TSession::ShowSweepProgress() {
  // A sweep that ended in this tick has put its results in the footer.
  if (!Running() || (RunMode != RUN_CALIBRATION && RunMode != RUN_POVERKA)) return;
  std::string line = "Sweep: the stage moves to its start.";
  if (StageRun.StageSubstate == 2) {
    const TSweepKind kind =
        RunMode == RUN_CALIBRATION ? TSweepKind::Calibration : TSweepKind::Verification;
    const uint32_t taken = SampleRing.SampleCount;
    // The readings so far against the stage's position, as they come.
    if (View.SeriesOsc.Axes.X != SWEEP_AXIS_X) {
      View.SeriesOsc.Clear();
      View.SeriesOsc.Axes = {SWEEP_AXIS_X, OscAxesOf(RunMode).Y};
    }
    for (size_t i = View.SeriesOsc.Count(); i < taken && i < SampleRing.SampleBuffer.size(); ++i) {
      const double at = static_cast<double>(i) * StageRun.SampleStep;
      View.SeriesOsc.AppendAt(at, SampleRing.SampleBuffer[i], FixedText(at, 3) + " mm");
    }
    line = "Sweep: sample " + std::to_string(taken) + " of " +
           std::to_string(SweepSampleCount(MeasuringRange(), RangeClass, kind)) + ", stage at " +
           FixedText(taken * double{StageRun.SampleStep}, 3) + " mm";
  }
  View.ChartFooter = {line};
}

void TSession::DropProgressFooter() {
  if (View.ChartFooter.size() == 1 && View.ChartFooter[0].rfind(SWEEP_PROGRESS_PREFIX, 0) == 0)
    View.ChartFooter.clear();
}

void TSession::WriteVerificationFile() {
  const uint32_t count = SampleRing.SampleCount;
  const float* samples = SampleRing.SampleBuffer.data();
  Verification = EvaluateVerification(samples, count, StageRun.SampleStep, DecimalSeparator());
  View.SeriesOsc.Clear();
  View.SeriesOsc.Axes = OscAxesOf(RUN_POVERKA);
  for (const TChartPoint& p : Verification.Points) View.SeriesOsc.Append(p.Y, p.Label);
  View.ChartFooter = {Verification.Footer};
  // A file of the step line alone would pass for a verification that proves nothing.
  if (!Verification.HasError) {
    Person.Message(NO_VERIFICATION_TEXT, CAPTION, TIcon::Exclamation);
    return;
  }
  SaveSweepResult(VERIFICATION_EXTENSION,
                  VerificationFileBytes(samples, Verification.Stretch, StageRun.SampleStep));
}

}  // namespace karvo
