// The main window: top panel with the port, baud rate and address selectors, the four
// buttons and the large display; the parameter grid and the oscilloscope; the identity
// labels at the bottom.
//
// The session lives on a device thread of its own, which alone owns it and the sensor and
// stage links. The window and the device thread exchange messages and share nothing else: the
// window sends the operator's events (a click with the caption seen, a selector's committed
// choice, a grid cell's committed text, a menu item), each handled once and in order; the
// device thread sends updates of what the window shows, and asks the operator through the
// window, waiting for the answer without holding anything the window needs.
//
// Main.cpp builds the window, MainHandOver.cpp carries the messages, MainDialogs.cpp answers
// what the session asks of the operator.
#pragma once

#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/GridMirror.h"
#include "app/Operator.h"
#include "app/Session.h"
#include "app/ViewUpdate.h"
#include "app/qt/PeriodicTimer.h"
#include "app/qt/TaskQueue.h"

class QAction;
class QComboBox;
class QCPGraph;
class QLabel;
class QMenu;
class QProgressBar;
class QThread;
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

  // Hands `op` to the device thread as one of the window's events (for the tour, tests and
  // benchmarks that start what has no control of its own).
  void Post(std::function<void(TSession&)> op) { Send(std::move(op), true); }
  // Runs `look` on the device thread as an event and serves the window until it has run and
  // the window shows its outcome; what `look` returns. For tests and the tour.
  template <typename F>
  auto Inspect(F look) {
    using R = std::invoke_result_t<F&, TSession&>;
    if constexpr (std::is_void_v<R>) {
      Post([look](TSession& s) mutable { look(s); });
      WaitIdle();
    } else {
      auto result = std::make_shared<std::optional<R>>();
      Post([look, result](TSession& s) mutable { *result = look(s); });
      WaitIdle();
      return std::move(**result);
    }
  }
  // True when the device thread has no event queued or running.
  bool Idle() const { return pendingOps_.load() == 0 && !deviceInTask_.load(); }
  // Serves the window's events until the device thread is idle and the window shows its last
  // update (at most `ms`); true when it got there.
  bool WaitIdle(int ms = 30000);

  // The range window the grid's edit button opens; one is made on first use when none was
  // given.
  void SetFormRange(TFormRange* form) { formRange_ = form; }
  TFormRange* FormRange();

  // Messages, questions, file dialogs and beeps go to `dialogs` instead of real dialogs
  // (tests); the range window stays with the window. nullptr restores them.
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
  // Why the value last committed in the grid was refused, until the next edit.
  QLabel* LabelGridReason = nullptr;
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
  QTimer* TimerMore = nullptr;          // the fold animation, on the window's thread
  QTimer* TimerAnswer = nullptr;        // its ticks go to the device thread
  TPeriodicTimer* TimerMain = nullptr;  // lives on the device thread
  // Cancels the running operation between two requests; shown in place of "Find sensor..."
  // while the device thread is busy.
  QToolButton* ButtonCancel = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class TWindowOperator;
  using Event = std::function<void(TSession&)>;

  // ---- Building (Main.cpp) ----
  void BuildTopPanel(QWidget* panel);
  void BuildParamPanel(QWidget* panel);
  void BuildChart(QWidget* parent);
  void BuildBottomPanel(QWidget* panel);
  void BuildMenus();
  void StartDeviceThread();

  // ---- Messages (MainHandOver.cpp) ----
  // Window: hands an event to the device thread; its number. `operation`: it may wait on the
  // line, and a Cancel is for it.
  uint64_t Send(Event event, bool operation = true);
  // Window: a button's click, for the button as the operator saw it: a run that ended
  // meanwhile must not be started again by a Stop that was queued behind its end.
  void SendClick(QPushButton* button, void (TSession::*click)());
  // Window: a selector's committed choice; nothing when it is what the session has.
  void CommitPort(const QString& text);
  void CommitMotorPort(const QString& text);
  // Device thread: one event or tick; then the window is sent what changed.
  void RunOnDevice(const Event& handler, bool operation, bool event);
  void SyncDeviceTimers();
  // Device thread: sends the window an update (coalesced with one it has not taken yet).
  void Publish(bool busy);
  // Device thread: runs `f` on the window's thread once it shows the latest update, and waits
  // for it; the device thread holds nothing the window needs meanwhile.
  void AskWindow(const std::function<void()>& f);
  // Device thread: the same for what shows progress, without waiting.
  void RefreshWindow(const std::function<void()>& f);
  // Window: takes the update waiting, if any, and shows it.
  void TakeUpdate();
  bool UpdateWaiting();
  void ShowUpdate(TViewUpdate& update);
  // Window: one step of the fold animation.
  void FoldStep();
  void ShowBusy(bool busy);
  // The window's height and its limits from the fold height.
  void FollowFoldHeight(int viewHeight);
  template <typename Timer>
  static void SyncTimer(Timer* timer, bool run);

  // ---- The operator's dialogs (MainDialogs.cpp) ----
  void FindSensor();
  // "Export points as CSV..." and "Export picture as PNG..." of the chart's menu.
  void ExportChart(bool picture);

  std::unique_ptr<TWindowOperator> person_;
  // Made here, then the device thread's alone until it has ended.
  std::unique_ptr<TSession> session_;
  TOperator* dialogs_ = nullptr;
  TFormRange* formRange_ = nullptr;
  QWidget* middleCover_ = nullptr;
  QThread* deviceThread_ = nullptr;
  TTaskQueue* deviceTasks_ = nullptr;  // lives on the device thread
  TTaskQueue* windowTasks_ = nullptr;  // lives on the window's thread
  std::atomic<bool> closing_{false};
  std::atomic<bool> deviceEnded_{false};  // the device thread has closed the links
  std::atomic<int> pendingOps_{0};
  std::atomic<bool> deviceInTask_{false};
  // A tick that turned into an operation: it asked the operator or showed progress (a
  // sweep's table load).
  std::atomic<bool> tickBusy_{false};
  std::atomic<bool> streamValuePending_{false};
  std::atomic<bool> answerTickPending_{false};

  // The hand-over of updates: the only state both threads touch, under its own lock.
  std::mutex outboxLock_;
  std::optional<TViewUpdate> outbox_;
  bool takeQueued_ = false;

  // Device thread only.
  TViewPublisher publisher_;
  uint64_t handledEvents_ = 0;
  bool inTick_ = false;
  std::chrono::steady_clock::time_point lastPublish_{};
  static constexpr std::chrono::milliseconds VIEW_PERIOD{33};

  // Window thread only.
  TGridMirror grid_;
  TOscSeries chartSeries_;  // the window's copy of the session's series
  TViewUpdate shown_;       // the last update shown
  uint64_t sentEvents_ = 0;
  uint64_t portEvent_ = 0, baudEvent_ = 0, addressEvent_ = 0, motorEvent_ = 0, gridEvent_ = 0,
           foldEvent_ = 0;
  QString committedPort_ = "COM1";
  QString committedMotorPort_ = "COM2";
  bool applying_ = false;  // the widgets are being set from an update
  bool closed_ = false;
  bool busyShown_ = false;
  QTimer* busyLook_ = nullptr;      // the busy look comes only for work that takes a moment
  int foldHeight_ = FOLDED_HEIGHT;  // the height the animation has reached
  bool foldExpands_ = true;
  int unfoldedHeight_ = EXPANDED_HEIGHT;  // the operator's, kept while the window is folded
};

}  // namespace karvo
