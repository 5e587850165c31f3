// The measurement buttons, the loop's timer, streaming and the oscilloscope's menu. The work
// itself is done by the measure/ classes the session owns; here it meets the window's buttons,
// captions, timers and the parameter set.
#include <chrono>
#include <thread>

#include "app/Session.h"
#include "measure/DataFile.h"
#include "measure/RunModes.h"
#include "params/ParamGrid.h"

namespace karvo {

namespace {

constexpr uint32_t RUN_PAUSE_MS = 50;
constexpr uint32_t STREAM_PAUSE_MS = 100;
constexpr const char* SWEEP_STOPPED_TEXT = "The run was stopped. Nothing was saved.";

bool IsStageMode(uint32_t runMode) {
  return runMode >= RUN_CALIBRATION && runMode <= RUN_MOTION_END;
}

}  // namespace

void TSession::Sleep(uint32_t ms) {
  if (Pause) {
    Pause(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

void TSession::ButtonMeasureClick() {
  // Only the operator's Stop of a sweep before its end comes here; the sweep's own end and a
  // teardown do not, and say what they have to say themselves.
  const bool sweep = Running() && (RunMode == RUN_CALIBRATION || RunMode == RUN_POVERKA);
  StartStopMeasure();
  if (sweep && !Running() && !SampleRing.RunComplete)
    Person.Message(SWEEP_STOPPED_TEXT, CAPTION, TIcon::Warning);
}

void TSession::StartStopMeasure() {
  if (!Device) return;
  if (!Running()) {
    // A run and a stream must never share the link; the buttons keep them apart already.
    if (StreamActive) return;
    View.ButtonMeasureCaption = "Stop";
    View.ButtonConnectEnabled = false;
    View.ButtonStreamEnabled = false;
    View.GridEnabled = false;
    MeasureLoop.StartRun();
    View.SeriesOsc.Axes = OscAxesOf(RunMode);
    RangeClass = RangeClassOf(MeasuringRange());
    View.TimerMainInterval = 1;
    if (IsStageMode(RunMode) && StageHooks) StageHooks->StageStart(RunMode);
    View.TimerMain = true;
    Sleep(RUN_PAUSE_MS);
    View.ButtonMeasureTag = 1;
    return;
  }
  View.TimerMain = false;
  View.ButtonMeasureCaption = "Measure";
  const bool streams = RunModeStreams(RunMode);
  View.ButtonStreamEnabled = streams;
  View.ButtonZeroEnabled = streams;
  if (IsStageMode(RunMode) && StageHooks) StageHooks->StageStopDrive(RunMode);
  View.ButtonConnectEnabled = true;
  if ((RunMode == RUN_CALIBRATION || RunMode == RUN_POVERKA) && StageHooks) {
    StageHooks->StageStopFinish(RunMode);
  }
  View.GridEnabled = true;
  DropProgressFooter();
  Sleep(RUN_PAUSE_MS);
  View.ButtonMeasureTag = 0;
}

void TSession::TimerMainTimer() {
  // A tick queued before the timer was stopped must not act.
  if (!Device || !View.TimerMain) return;
  if (RunMode <= RUN_TEMPERATURE) {
    if (TakeMeasurement()) MeasureLoop.RecordResult(RunMode, View.LabelRast);
  } else if (RunMode == RUN_PULSE) {
    TakeMeasurement();
  } else if (IsStageMode(RunMode) && StageHooks) {
    StageHooks->StageTick(RunMode);
    ShowSweepProgress();
  }
  SampleRing.FirstTick = false;
}

bool TSession::TakeMeasurement() {
  if (!Device) return false;
  const TMeasureTake take =
      MeasureLoop.Exchange(Device->Results(), RunMode, MeasuringRange(), View.LabelRast);
  SensorStatus = take.Status;
  if (ZeroRequest) {
    ZeroRequest = false;
    // The zero set takes this tick's result: a sum beyond the sensor's signed 16-bit zero
    // point is refused rather than sent cut to its low bits.
    if (take.HaveRaw) {
      const device::Result zeroed = Device->ZeroAt(take.Raw, ParamWrite);
      if (zeroed.Status == device::ST_BAD_VALUE) {
        Person.Message(ZERO_REFUSED_TEXT, CAPTION, TIcon::Exclamation);
      } else {
        AfterRowWritten(ROW_ZERO_POINT, zeroed);
        FillParamGrid();
      }
    }
  }
  LastStatus = SensorStatus.load();
  return take.Taken;
}

void TSession::ButtonZeroClick() {
  ZeroRequest = true;
}

void TSession::ButtonStreamClick() {
  if (!Device || View.TimerMore) return;
  if (!StreamActive) {
    // A run and a stream must never share the link; the buttons keep them apart already. A
    // worker on a closed port would fail for ever with no watchdog armed to end it.
    if (Running() || !Device->IsOpen()) return;
    SampleRing.RunComplete = false;
    SampleRing.SampleCount = 0;
    SampleRing.SampleReadIndex = 0;
    View.SeriesOsc.Clear();
    View.SeriesOsc.Axes = OscAxesOf(RunMode);
    View.ChartFooter.clear();
    SampleRing.LastValue = 0.0f;
    View.ButtonStreamCaption = "Stream stop";
    View.ButtonConnectEnabled = false;
    View.ButtonMeasureEnabled = false;
    View.ButtonZeroEnabled = false;
    // No parameter transfer may share the link with the worker.
    View.GridEnabled = false;
    ExpandNext = false;
    View.TimerMore = true;
    Sleep(STREAM_PAUSE_MS);
    TStreamSetup setup;
    setup.RunMode = RunMode;
    setup.Active = &StreamActive;
    setup.SensorStatus = &SensorStatus;
    setup.LastStatus = &LastStatus;
    setup.ValueReady = StreamValueReady;
    setup.SampleLimit = StreamSampleLimit;
    SensorStatus = Device->StartStream(Stream, setup).Status;
    LastStatus = SensorStatus.load();
    // A start the sensor did not take leaves no worker; the window still shows the stream
    // until the watchdog, which has the status, tears it down.
    StreamActive = true;
    return;
  }
  // Every sample the worker took is plotted once only if it is gone before the ring is read,
  // and the link must be free before the stop command goes out.
  SensorStatus = Device->StopStream(Stream, StreamActive).Status;
  View.ButtonStreamCaption = "Stream start";
  View.ButtonConnectEnabled = true;
  View.ButtonMeasureEnabled = true;
  View.ButtonZeroEnabled = true;
  View.GridEnabled = true;
  const std::string last = Stream.TakeText();
  if (Stream.Samples() > 0) View.LabelRast = last;
  Sleep(STREAM_PAUSE_MS);
  TSampleRing& ring = SampleRing;
  while (ring.SampleReadIndex < ring.SampleCount) {
    View.SeriesOsc.Append(ring.SampleBuffer[ring.SampleReadIndex],
                          std::to_string(ring.SampleReadIndex));
    ++ring.SampleReadIndex;
  }
  ExpandNext = true;
  View.TimerMore = true;
}

void TSession::ShowStreamValue() {
  // An update still queued when the stream ended must not cover what the stop or the
  // teardown put on the display.
  if (!StreamActive) return;
  View.LabelRast = Stream.TakeText();
}

void TSession::SaveClick() {
  // The ring is the worker's until the stream stops.
  if (StreamActive) return;
  const std::optional<std::string> name = Person.AskSaveFile(SaveDialogDataName);
  if (!name) return;
  SaveDialogDataName = *name;
  WriteFileShown(*name, DataFileBytes(SampleRing));
}

void TSession::ClearClick() {
  View.SeriesOsc.Clear();
}

}  // namespace karvo
