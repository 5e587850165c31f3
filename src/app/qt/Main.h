// The main window: top panel with the port, baud rate and address selectors, the four
// buttons and the large display; the parameter grid and the oscilloscope; the identity
// labels at the bottom. It shows the session's View and forwards every event to the
// session, and answers the session's questions to the operator with real dialogs.
//
// The session lives on a device thread of its own, which owns the sensor and stage links:
// the window hands it the events and never waits on the line. The window reads the session
// (to mirror its View) only while the device thread is not inside a handler, or while the
// device thread waits for the operator's answer to a box.
#pragma once

#include <QWidget>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
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
class QThread;
class QPushButton;
class QTimer;
class QToolButton;

namespace karvo {

// Work handed to the thread an object lives on, through a queue of our own: the hand-over is
// then one the thread sanitizer sees (it cannot see Qt's, Qt not being built for it).
class TTaskQueue : public QObject {
  Q_OBJECT

 public:
  explicit TTaskQueue(QObject* parent = nullptr) : QObject(parent) {}
  // Deleted by another thread once this one has ended: what that thread did is seen first.
  ~TTaskQueue() override { std::lock_guard lock(lock_); }
  // From any thread: `task` runs on this object's thread after those posted before it.
  void Post(std::function<void()> task);
  // From another thread: runs `task` there and waits until it has run.
  void Call(const std::function<void()>& task);

 public slots:
  void RunTasks();

 private:
  std::mutex lock_;
  std::condition_variable ran_;
  std::vector<std::function<void()>> tasks_;
};

class TFormRange;
class TParamGridView;
class TOscilloscope;

class TFormMain : public QWidget {
  Q_OBJECT

 public:
  explicit TFormMain(QWidget* parent = nullptr);
  ~TFormMain() override;

  // The session itself: only for reading while Idle() from the window's thread, or with
  // WithSession.
  TSession& Session() { return *session_; }
  // Runs `f` on the calling thread with the session to itself: waits while the device thread
  // is inside a handler. For tests, benchmarks and the tour, which must not race the device
  // thread.
  template <typename F>
  decltype(auto) WithSession(F&& f) {
    std::lock_guard lock(sessionLock_);
    return f(*session_);
  }
  // Hands `op` to the device thread as an event of the window would be (for the tour, tests
  // and benchmarks that start what has no control of its own).
  void Post(std::function<void(TSession&)> op) {
    Forward([this, op = std::move(op)] { op(*session_); });
  }
  // True when the device thread has no handler queued or running.
  bool Idle() const { return pendingOps_.load() == 0 && !deviceInTask_.load(); }
  // Serves the window's events until the device thread is idle and the window shows the
  // session's View (at most `ms`); true when it got there.
  bool WaitIdle(int ms = 30000);
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
  TPeriodicTimer* TimerMain = nullptr;  // lives on the device thread
  // Cancels the running operation between two requests; shown in place of "Find sensor..."
  // while the device thread is busy.
  QToolButton* ButtonCancel = nullptr;

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
  // Hands a session handler to the device thread, which runs it after those before it and
  // then has the window show what it changed; nothing reaches the session once the window is
  // closing or while the widgets are being set from the View.
  void Forward(std::function<void()> handler);
  // Forward for events that may wait on the sensor.
  void ForwardBusy(std::function<void()> handler) { Forward(std::move(handler)); }
  // Runs a grid event on the window's thread at once, when the device thread is idle (the
  // grid needs its answer before the event returns); false when it was not run.
  bool ForwardNow(const std::function<void()>& handler);
  // Timer ticks go to the device thread too, at most one of each kind waiting; a tick that
  // comes while a handler's box is open is served after the handler.
  enum { TICK_MORE, TICK_ANSWER, TICK_MAIN };
  void ForwardTick(int tick);
  // Device thread: one handler or tick with the session held; then the window is told.
  void RunOnDevice(const std::function<void()>& handler, bool operation);
  void PublishView();
  // Device thread: waits (briefly) until the window has shown the View just published.
  void GiveWindowItsTurn();
  void SyncDeviceTimers();
  // Runs `f` on the window's thread; from the device thread the session is let go meanwhile,
  // so that the window can show it.
  void RunOnWindow(const std::function<void()>& f);
  // A button's click, dropped when the button no longer says what the operator clicked.
  void ForwardClick(QPushButton* button, void (TSession::*click)());
  // Controls that would start another operation are off while the device thread works.
  void ShowBusy(bool busy);
  void FindSensor();
  // The window's height and its limits from the session's fold height.
  void FollowFoldHeight(int viewHeight);
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
  bool closed_ = false;
  bool syncRetryArmed_ = false;
  bool windowHolds_ = false;  // a grid event runs on the window's thread with the session
  bool busyShown_ = false;
  int unfoldedHeight_ = EXPANDED_HEIGHT;  // the operator's, kept while the window is folded
  std::atomic<bool> closing_{false};
  std::atomic<bool> streamValuePending_{false};
  std::atomic<bool> syncQueued_{false};
  std::atomic<bool> tickPending_[3] = {false, false, false};
  std::atomic<int> pendingOps_{0};
  std::atomic<bool> deviceInTask_{false};
  std::atomic<bool> tickTurnedLong_{false};  // a tick asked the operator or showed progress
  bool inTick_ = false;                      // device thread only
  std::chrono::steady_clock::time_point lastPublish_{};  // device thread only
  static constexpr std::chrono::milliseconds VIEW_PERIOD{33};
  static constexpr std::chrono::milliseconds HANDOFF_LIMIT{20};
  std::mutex handoffLock_;
  std::condition_variable handoff_;

  // The session is held by the device thread while it runs a handler or a tick.
  std::mutex sessionLock_;
  std::unique_lock<std::mutex>* deviceHold_ = nullptr;  // device thread only
  // How long a grid event waits for a tick (the watchdog's, a measure run's) to let go.
  static constexpr std::chrono::milliseconds GRID_WAIT{100};
  QThread* deviceThread_ = nullptr;
  TTaskQueue* deviceTasks_ = nullptr;  // lives on the device thread
  TTaskQueue* windowTasks_ = nullptr;  // lives on the window's thread
};

}  // namespace karvo
