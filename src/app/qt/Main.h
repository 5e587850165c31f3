// The main window: top panel with the port, baud rate and address selectors, the four
// buttons and the large display; the parameter grid and the oscilloscope; the identity
// labels at the bottom. It shows the session's View and forwards every event to the
// session, and answers the session's questions to the operator with real dialogs.
#pragma once

#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/Operator.h"
#include "app/Session.h"
#include "app/qt/PeriodicTimer.h"

class QAction;
class QComboBox;
class QCPGraph;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolButton;

namespace karvo {

class TFormRange;
class TParamGridView;
class TOscilloscope;

class TFormMain : public QWidget {
  Q_OBJECT

 public:
  explicit TFormMain(QWidget* parent = nullptr);
  ~TFormMain() override;

  TSession& Session() { return *session_; }
  // Copies all of the session's View into the widgets.
  void SyncFromView();

  // The range window the grid's edit button opens; one is made on first use when none was
  // given.
  void SetFormRange(TFormRange* form) { formRange_ = form; }
  TFormRange* FormRange();

  // Messages, questions, file dialogs and beeps go to `dialogs` instead of real dialogs
  // (tests); the range window and refreshing stay with the window. nullptr restores them.
  void SetDialogs(TOperator* dialogs) { dialogs_ = dialogs; }

  // Appends a device to the port list; `select` makes it the chosen port.
  void AddPort(const std::string& devicePath, bool select);
  // Appends a device to the stage port list and makes it the chosen stage port.
  void AddMotorPort(const std::string& devicePath);
  // Serial devices present on this machine, in the order the port list shows them.
  static std::vector<std::string> FindSerialDevices();

  // Window events.
  void FormClose();
  bool Closed() const { return closed_; }

  // Controls, named as in the window's description.
  QComboBox* ComboBoxWorkBaund = nullptr;
  QComboBox* ComboBoxCOM = nullptr;
  QComboBox* ComboBoxWorkCodeDev = nullptr;
  QPushButton* ButtonConnect = nullptr;
  QPushButton* ButtonMeasure = nullptr;
  QPushButton* ButtonStream = nullptr;
  QPushButton* ButtonZero = nullptr;
  QToolButton* ButtonFindSensor = nullptr;
  QLabel* LabelRast = nullptr;
  QWidget* PanelMiddle = nullptr;  // the grid and the chart
  TParamGridView* ValueListEditorParam = nullptr;
  QProgressBar* ProgressBarParam = nullptr;
  QProgressBar* ProgressStrip = nullptr;  // the progress while the window is folded
  TOscilloscope* Chart1 = nullptr;
  QCPGraph* SeriesOsc = nullptr;
  QLabel* LabelModel = nullptr;
  QLabel* LabelSerNum = nullptr;
  QLabel* LabelRelease = nullptr;
  QLabel* LabelBase = nullptr;
  QLabel* LabelRange = nullptr;
  QLabel* LabelCOMmotor = nullptr;
  QComboBox* ComboBoxMotorCom = nullptr;
  QMenu* PopupMenuParam = nullptr;
  QMenu* PopupMenuSave = nullptr;
  QAction* WriteToFactory = nullptr;
  QTimer* TimerMore = nullptr;
  QTimer* TimerAnswer = nullptr;
  TPeriodicTimer* TimerMain = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private slots:
  // The streaming worker's latest value into the display; queued from the worker.
  void ShowStreamValue();

 private:
  class TWindowOperator;

  void BuildTopPanel(QWidget* panel);
  void BuildParamPanel(QWidget* panel);
  void BuildChart(QWidget* parent);
  void BuildBottomPanel(QWidget* panel);
  void BuildMenus();
  // Runs a session handler and shows what it changed; nothing reaches the session once the
  // window is closing or while the widgets are being set from the View.
  template <typename Handler>
  void Forward(Handler&& handler);
  // Forward for events that may wait on the sensor: a wait cursor while they run.
  template <typename Handler>
  void ForwardBusy(Handler&& handler);
  // Timer ticks go through here: held back while a handler runs, run once it has returned.
  enum { TICK_MORE, TICK_ANSWER, TICK_MAIN };
  void ForwardTick(int tick);
  void RunDeferredTicks();
  void FindSensor();
  // "Export points as CSV..." and "Export picture as PNG..." of the chart's menu.
  void ExportChart(bool picture);
  template <typename Timer>
  static void SyncTimer(Timer* timer, bool run);

  std::unique_ptr<TWindowOperator> person_;
  std::unique_ptr<TSession> session_;
  TOperator* dialogs_ = nullptr;
  TFormRange* formRange_ = nullptr;
  QWidget* middleCover_ = nullptr;
  bool syncing_ = false;
  int handlerDepth_ = 0;
  unsigned deferredTicks_ = 0;
  bool closed_ = false;
  std::atomic<bool> streamValuePending_{false};
};

}  // namespace karvo
