// The Qt-free half of the main window: the program-wide state (port, baud rate, address,
// statuses, identity, the two parameter sets, run mode), what the window's controls show,
// and every operation behind the window's events: connection manager, parameter transfers,
// grid fill and commit, parameter file. The desktop window mirrors `View` into its widgets
// and forwards its events here; the command line and the tests drive it directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Operator.h"
#include "device/Sensor.h"
#include "device/Stage.h"
#include "measure/MeasureLoop.h"
#include "measure/OscSeries.h"
#include "measure/SampleRing.h"
#include "measure/StageHooks.h"
#include "measure/StreamWorker.h"
#include "params/ParamGridRows.h"
#include "params/ParamTable.h"
#include "stage/Calibration.h"
#include "stage/Motorinterface.h"
#include "stage/StageRun.h"
#include "stage/Verification.h"

namespace karvo {

inline constexpr const char* APP_TITLE = "KARVO-SP";
inline constexpr const char* MAIN_CAPTION = "KARVO-SP (Setup program: rel.4)";
inline constexpr const char* CAPTION = "KARVO-SP";       // connection, compare, measurement
inline constexpr const char* CAPTION_DOT = "KARVO-SP.";  // questions, flash results
inline constexpr const char* ZERO_REFUSED_TEXT =
    "Zero set refused: the zero point would leave -32768 to 32767.";
// Heads the list of rows "Load" did not send because they do not fit their rows.
inline constexpr const char* VALUES_NOT_SENT_TEXT = "Not loaded, outside their rows:";

inline constexpr int FOLDED_HEIGHT = 160;
inline constexpr int EXPANDED_HEIGHT = 716;
inline constexpr int FOLD_STEP = 100;

// Items of the top panel's selectors.
extern const char* const BaudItems[10];  // "2400" .. "460800"
constexpr int BAUD_ITEM_COUNT = 10;
constexpr int ADDRESS_ITEM_COUNT = 127;  // "1" .. "127"

// What the main window's controls show. The window copies it into its widgets after every
// event and on TOperator::Refresh.
struct TMainView {
  // Top panel.
  std::string PortText = "COM1";  // text of ComboBoxCOM (an item or a typed device path)
  int BaudIndex = 2;              // ComboBoxWorkBaund, "9600"
  int AddressIndex = 0;           // ComboBoxWorkCodeDev, "1"
  std::string ButtonConnectCaption = "Connect";
  int ButtonConnectTag = 0;  // 0 disconnected, 1 connected
  bool ButtonConnectEnabled = true;
  std::string ButtonMeasureCaption = "Measure";
  int ButtonMeasureTag = 0;  // measurement running
  bool ButtonMeasureEnabled = false;
  std::string ButtonStreamCaption = "Stream start";
  bool ButtonStreamEnabled = false;
  bool ButtonZeroEnabled = false;
  std::string LabelRast = "0.000 mm";
  bool LabelRastEnabled = false;

  // Bottom panel.
  std::string LabelModel = "none";
  std::string LabelRelease = "none";
  std::string LabelSerNum = "none";
  std::string LabelBase = "none mm";
  std::string LabelRange = "none mm";
  bool MotorComVisible = false;        // LabelCOMmotor and ComboBoxMotorCom
  std::string MotorPortText = "COM2";  // text of ComboBoxMotorCom, read when a stage run starts

  // Parameter grid, its menu and the progress bar.
  bool GridEnabled = true;
  std::vector<TGridRow> Grid;  // parameter rows 0..35 (grid row r shows Grid[r - 1]); empty
                               // until the first FillParamGrid
  bool WriteToFactoryVisible = false;
  int ProgressMax = 100;
  int ProgressPos = 0;

  // Oscilloscope: the series of Chart1 and its footer lines.
  TOscSeries SeriesOsc;
  std::vector<std::string> ChartFooter;

  // Window height and timers.
  int Height = FOLDED_HEIGHT;
  bool TimerMore = false;      // fold animation, 1 ms
  bool TimerAnswer = false;    // no-answer watchdog, 200 ms
  bool TimerMain = false;      // measurement loop
  int TimerMainInterval = 10;  // ms; a run sets 1
};

class TSession : public TParamGridOwner, public TStageRunOwner {
 public:
  explicit TSession(TOperator& person);
  ~TSession() override;
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  TOperator& Person;

  // ---- Program-wide state ----
  // The stage and the sensor, as the device layer has them; made stage first, gone after
  // FormClose. Every exchange of the session goes through them.
  std::unique_ptr<device::Stage> StageDevice;
  std::unique_ptr<device::Sensor> Device;
  uint32_t MotorResult = ST_OK;
  // The link settings are the sensor's own, read here under the window's names; empty or 0
  // once the session is closed.
  std::string PortName() const;
  uint32_t LinkBaud() const;
  uint8_t DeviceAddress() const;
  int16_t MeasuringRange() const;
  std::string MotorPortName() const;
  std::atomic<uint32_t> SensorStatus{0};
  IdentityRecord DeviceIdentity;
  int16_t BaseDistance = 0;
  TParamSet ParamWrite;
  TParamSet ParamRead;
  // What the sensor is known to hold: read from it, or loaded into it since. The grid marks the
  // rows whose working value differs, which "Load" would change.
  TParamSet ParamInSensor;
  bool ZeroRequest = false;
  uint32_t RunMode = RUN_LINE;
  std::atomic<bool> StreamActive{false};
  uint16_t ExpandedHeight = EXPANDED_HEIGHT;

  // Main window fields.
  std::atomic<uint32_t> LastStatus{0};
  bool ExpandNext = true;
  uint8_t SelParam = 0;

  TMainView View;

  // ---- Measurement ----
  TSampleRing SampleRing;  // SampleBuffer, SampleCount, SampleReadIndex, RunComplete, ...
  TMeasureLoop MeasureLoop{SampleRing, View.SeriesOsc, View.ChartFooter};
  // The streaming worker. Whoever stops a stream clears StreamActive and joins it before the
  // link or the ring is used again from the window thread.
  TStreamWorker Stream{SampleRing};
  // Modes 4 to 7 at the loop's hook points; null: they do only the loop's own steps.
  TStageHooks* StageHooks = nullptr;
  uint8_t RangeClass = 0;
  // Modes 4 to 7; StageHooks points here.
  TStageRun StageRun{*this};
  // What the last calibration's table load and the last verification came to.
  TTableLoadResult CalibrationLoad;
  TVerification Verification;
  // The name SaveDialogData offers next; the sweep file writers preset it.
  std::string SaveDialogDataName;
  // Set by the window: called on the worker's thread when a stream value waits to be shown,
  // at most once until ShowStreamValue has taken it. The window answers with a queued call of
  // ShowStreamValue on its own thread.
  std::function<void()> StreamValueReady;
  // The pauses of the run and stream start and stop (50 and 100 ms); a plain sleep when
  // empty. Tests set it to see the pauses without waiting them out.
  std::function<void(uint32_t ms)> Pause;
  // A stream started with this set ends its worker by itself after so many samples (the
  // command line's count); 0, as in the window: never.
  uint64_t StreamSampleLimit = 0;

  // Set from any thread to end a long operation (a connect's read, the All transfers, a table
  // load) between two requests, also inside a row of many registers: the sensor asks it
  // before every exchange. Each operation clears it when it starts.
  device::CancelToken Cancel;

  // Where a USB adapter is looked up; tests use a fake tree.
  std::string SysfsRoot = "/sys";

  // ---- Main window (start-up, fold animation, close) ----
  void FormCreate();
  void FormResize();
  void FormClose();
  void TimerMoreTimer();
  // The window's fold animation has reached its end: unfolded when `expanded`. The window
  // animates on its own thread; the session keeps only where the fold stands.
  void FinishFold(bool expanded);

  // ---- Connection manager ----
  // The selector handlers read the selection from View (PortText, BaudIndex, AddressIndex),
  // which the window sets before calling them.
  void ComboBoxCOMChange();
  void ComboBoxWorkBaundChange();
  void ComboBoxWorkCodeDevChange();
  void ButtonConnectClick();
  bool OpenSensorPort();
  void CloseSensorPort();
  // The stage port, from View.MotorPortText; a failure is shown.
  bool OpenMotorPort() override;
  void CloseMotorPort() override;
  bool IdentifySensor();
  void TimerAnswerTimer();
  void NoAnswerTeardown();
  void StopStreamForced();

  // ---- Parameter transfers ----
  void LoadParameter(int row) override;
  bool ReadParameter(int row);
  bool CompareParameter(int row);
  void LoadAllParameters();
  bool ReadAllParameters();
  bool CompareAllParameters();
  void AdoptReadValues();
  void WriteToFlash();
  void RestoreFactory();
  void WriteToFactory();
  // Handlers of the grid's pop-up menu.
  void PopupMenuLoadClick();
  void PopupMenuReadClick();
  void PopupMenuCompareClick();
  void PopupMenuLoadAllClick();
  void PopupMenuReadAllClick();
  void PopupMenuCompareAllClick();
  void PopupMenuFLASHClick();
  void PopupMenuDefaultClick();
  void PopupMenuFactoryClick();
  // The messages of "Compare" and "Compare All", built as shown; nothing when the read
  // failed, which is a failure for the watchdog and never a difference.
  std::optional<std::string> CompareMessage(int row);
  std::optional<std::string> CompareAllMessage();

  // ---- Parameter grid ----
  void FillParamGrid();
  void CommitParamEdit();
  void ValueListEditorParamSelectCell(int newGridRow) override;
  void ValueListEditorParamExit() override;
  void ValueListEditorParamContextPopup() override;
  void ValueListEditorParamEditButtonClick(int currentGridRow) override;
  // The grid's events as the window's own copy of the grid sends them, once it has checked
  // them itself: the text committed in a row's cell, and the row selected (0..35, or 0xFF).
  void CommitCell(int row, const std::string& text);
  void SelectRow(int row);
  // Key filter for a typed character (8 = backspace) in the cell of row SelParam; false
  // when the character is discarded (with a beep).
  bool ValueListEditorParamKeyPress(char key) override;
  std::vector<TGridRow>& GridRows() override { return View.Grid; }
  bool GridEnabled() const override { return View.GridEnabled; }
  uint8_t SelectedRow() const override { return SelParam; }
  // Cell text of a row in its grid form, from ParamWrite (what FillParamGrid shows).
  std::string DisplayText(int row) const;

  // ---- Parameter file ----
  void SaveParamFile();
  void LoadParamFile();
  void WrParamFileClick() { SaveParamFile(); }
  void RdParamFileClick() { LoadParamFile(); }

  // ---- Measurement loop, streaming, oscilloscope ----
  bool Running() const { return View.ButtonMeasureTag != 0; }
  void ButtonMeasureClick();
  void StartStopMeasure() override;
  void TimerMainTimer();
  bool TakeMeasurement() override;
  void ButtonZeroClick();
  void ButtonStreamClick();
  // Window thread: shows the stream's latest value in LabelRast.
  void ShowStreamValue();
  // Handlers of PopupMenuSave: "Save data to file" and "Clear".
  void SaveClick();
  void ClearClick();

  // ---- Results of the calibration and verification sweeps ----
  // Chart and footer, the table loaded into the sensor and checked, then the ".klb" file.
  void WriteCalibrationFile() override;
  // Deviation curve and error in the chart and footer, then the ".pvk" file.
  void WriteVerificationFile() override;
  // While a sweep runs: samples taken of those expected and the stage's travel, in the footer.
  void ShowSweepProgress();
  // A sweep's progress line leaves the footer with the run it belongs to.
  void DropProgressFooter();

  // What the stage runs reach of the window.
  TParamSet& WorkingParams() override { return ParamWrite; }
  const TParamSet& ReadParams() override { return ParamRead; }
  TSampleRing& Ring() override { return SampleRing; }
  std::string& ResultDisplay() override { return View.LabelRast; }
  int16_t Range() const override { return MeasuringRange(); }
  uint8_t CurrentRangeClass() const override { return RangeClass; }
  TStageMotion& Motor() override { return *StageDevice; }
  uint32_t& MotorStatus() override { return MotorResult; }
  void StagePause(uint32_t ms) override { Sleep(ms); }
  void RunEndedMessage(const std::string& text) override;

 private:
  void SetProgress(int max, int pos);
  // Sends the rows of ParamWrite that fit their rows; one box names those that do not.
  void LoadCheckedRows(const std::vector<int>& rows);
  // What a row's write does to the session and the view, sent or not (`written`).
  void AfterRowWritten(int row, const device::Result& written);
  // The sensor's settings with one of them changed, for the next open.
  void Reconfigure(const std::function<void(device::SensorSettings&)>& change);
  void ShowOpenError();
  void ShowDisconnectedLook();
  // Writes a file through the safe replacing path; a failure is shown with its reason.
  bool WriteFileShown(const std::string& path, const std::string& bytes);
  // Offers serial number + extension, asks before replacing, writes; true when written.
  bool SaveSweepResult(const std::string& extension, const std::string& bytes);
  void Sleep(uint32_t ms);
};

}  // namespace karvo
