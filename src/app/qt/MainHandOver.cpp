// The messages between the window and the device thread: the operator's events one way, the
// updates of what the window shows the other, each in order and none dropped.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <algorithm>

#include "app/qt/Main.h"
#include "app/qt/WindowText.h"
#include "measure/qt/Oscilloscope.h"
#include "params/qt/ParamGridView.h"

namespace karvo {

namespace {

// The operator is in this box: the device thread's updates leave it alone.
bool OperatorIn(const QComboBox* box) {
  return box->hasFocus() || (box->lineEdit() && box->lineEdit()->hasFocus()) ||
         box->view()->isVisible();
}

}  // namespace

void TFormMain::StartDeviceThread() {
  // The device thread, with the measurement loop's timer on it: a replot or a dragged window
  // never delays a tick, and a tick never waits for the window.
  deviceThread_ = new QThread(this);
  deviceThread_->setObjectName("KarvoDevice");
  deviceTasks_ = new TTaskQueue;
  deviceTasks_->moveToThread(deviceThread_);
  // The streaming worker announces each new value from its own thread; the device thread takes
  // it into the View, with at most one announcement waiting at a time.
  session_->StreamValueReady = [this] {
    if (streamValuePending_.exchange(true)) return;
    deviceTasks_->Post([this] {
      streamValuePending_ = false;
      if (closing_) return;
      session_->ShowStreamValue();
      if (std::chrono::steady_clock::now() - lastPublish_ >= VIEW_PERIOD)
        Publish(pendingOps_.load() > 0);
    });
  };
  deviceThread_->start();
  deviceTasks_->Call([this] {
    TimerMain = new TPeriodicTimer(deviceTasks_);
    TimerMain->setObjectName("TimerMain");
    TimerMain->setInterval(session_->View.TimerMainInterval);
    connect(TimerMain, &TPeriodicTimer::timeout, deviceTasks_,
            [this] { RunOnDevice([](TSession& s) { s.TimerMainTimer(); }, false, false); });
  });
}

// ---- Window to device ----

uint64_t TFormMain::Send(Event event, bool operation) {
  if (closed_ || closing_) return sentEvents_;
  const uint64_t number = ++sentEvents_;
  ++pendingOps_;
  // What may wait on the line looks busy at once; a choice or a commit only if it takes a
  // moment (a Connect pressed right after typing a port must not find itself disabled).
  if (operation) {
    ShowBusy(true);
  } else if (!busyShown_ && !busyLook_->isActive()) {
    busyLook_->start();
  }
  deviceTasks_->Post(
      [this, event = std::move(event), operation] { RunOnDevice(event, operation, true); });
  return number;
}

void TFormMain::SendClick(QPushButton* button, void (TSession::*click)()) {
  const std::string seen = Utf8ToCp1251(button->text().toStdString());
  std::string TMainView::*caption = button == ButtonConnect   ? &TMainView::ButtonConnectCaption
                                    : button == ButtonMeasure ? &TMainView::ButtonMeasureCaption
                                                              : &TMainView::ButtonStreamCaption;
  Send([seen, caption, click](TSession& s) {
    if (s.View.*caption == seen) (s.*click)();
  });
}

void TFormMain::CommitPort(const QString& text) {
  if (applying_ || text == committedPort_) return;
  committedPort_ = text;
  const std::string name = QFile::encodeName(text).toStdString();
  portEvent_ = Send(
      [name](TSession& s) {
        s.View.PortText = name;
        s.ComboBoxCOMChange();
      },
      false);
}

void TFormMain::CommitMotorPort(const QString& text) {
  if (applying_ || text == committedMotorPort_) return;
  committedMotorPort_ = text;
  const std::string name = QFile::encodeName(text).toStdString();
  motorEvent_ = Send([name](TSession& s) { s.View.MotorPortText = name; }, false);
}

// ---- The device thread ----

void TFormMain::RunOnDevice(const Event& handler, bool operation, bool event) {
  // A run's ticks follow each other with hardly a gap: only events make the device busy.
  if (event) deviceInTask_ = true;
  inTick_ = !event;
  // A cancel is for the operation that was running when it was asked.
  if (operation && !closing_) session_->Cancel.Reset();
  if (!closing_) handler(*session_);
  SyncDeviceTimers();
  inTick_ = false;
  const bool turnedLong = tickBusy_.exchange(false);
  if (event) ++handledEvents_;
  // Ticks follow each other with hardly a gap: the window is sent the View about 30 times a
  // second during a run, and after every event, a run's end and a tick that asked something.
  const bool runEnded = !session_->View.TimerMain;
  if (event || runEnded || turnedLong ||
      std::chrono::steady_clock::now() - lastPublish_ >= VIEW_PERIOD)
    Publish(pendingOps_.load() > (event ? 1 : 0));
  // Counted down only once the update is on its way: a window that sees the device idle finds
  // the update waiting.
  if (event) {
    deviceInTask_ = false;
    --pendingOps_;
  }
}

void TFormMain::SyncDeviceTimers() {
  const TMainView& v = session_->View;
  if (!TimerMain) return;
  if (TimerMain->interval() != v.TimerMainInterval) TimerMain->setInterval(v.TimerMainInterval);
  const bool run = v.TimerMain && !closing_;
  if (run && !TimerMain->isActive()) TimerMain->start();
  if (!run && TimerMain->isActive()) TimerMain->stop();
}

void TFormMain::Publish(bool busy) {
  TViewUpdate update = publisher_.Take(*session_);
  update.HandledEvents = handledEvents_;
  update.Busy = busy;
  lastPublish_ = std::chrono::steady_clock::now();
  bool post = false;
  {
    std::lock_guard lock(outboxLock_);
    if (outbox_) {
      outbox_->Absorb(std::move(update));
    } else {
      outbox_ = std::move(update);
    }
    post = !takeQueued_;
    takeQueued_ = true;
  }
  if (post) windowTasks_->Post([this] { TakeUpdate(); });
}

void TFormMain::AskWindow(const std::function<void()>& f) {
  if (QThread::currentThread() == thread()) return f();
  if (inTick_) tickBusy_ = true;
  Publish(true);
  windowTasks_->Call([&] {
    TakeUpdate();
    f();
  });
}

void TFormMain::RefreshWindow(const std::function<void()>& f) {
  if (QThread::currentThread() == thread()) return f();
  if (inTick_) tickBusy_ = true;
  Publish(true);
  // Not waited for: progress must not slow the work it shows.
  windowTasks_->Post(f);
}

// ---- Device to window ----

void TFormMain::TakeUpdate() {
  std::optional<TViewUpdate> update;
  {
    std::lock_guard lock(outboxLock_);
    update.swap(outbox_);
    takeQueued_ = false;
  }
  if (update && !closed_) ShowUpdate(*update);
}

bool TFormMain::UpdateWaiting() {
  std::lock_guard lock(outboxLock_);
  return takeQueued_ || outbox_.has_value();
}

void TFormMain::ShowUpdate(TViewUpdate& update) {
  ApplySeries(chartSeries_, update);
  shown_ = std::move(update);
  const TMainView& v = shown_.View;
  // A choice of the operator's still on its way is not undone by an update made before it.
  const auto handled = [this](uint64_t event) { return shown_.HandledEvents >= event; };
  applying_ = true;

  const QString port = QFile::decodeName(QByteArray::fromStdString(v.PortText));
  if (handled(portEvent_) && !OperatorIn(ComboBoxCOM)) {
    if (ComboBoxCOM->currentText() != port) {
      const int found = ComboBoxCOM->findText(port, Qt::MatchExactly | Qt::MatchCaseSensitive);
      if (found >= 0 && found != ComboBoxCOM->currentIndex()) ComboBoxCOM->setCurrentIndex(found);
      if (ComboBoxCOM->currentText() != port) ComboBoxCOM->setEditText(port);
    }
    committedPort_ = port;
  }
  if (handled(baudEvent_) && !ComboBoxWorkBaund->view()->isVisible() &&
      ComboBoxWorkBaund->currentIndex() != v.BaudIndex)
    ComboBoxWorkBaund->setCurrentIndex(v.BaudIndex);
  if (handled(addressEvent_) && !ComboBoxWorkCodeDev->view()->isVisible() &&
      ComboBoxWorkCodeDev->currentIndex() != v.AddressIndex)
    ComboBoxWorkCodeDev->setCurrentIndex(v.AddressIndex);
  const QString motorPort = QFile::decodeName(QByteArray::fromStdString(v.MotorPortText));
  if (handled(motorEvent_) && !OperatorIn(ComboBoxMotorCom)) {
    if (ComboBoxMotorCom->currentText() != motorPort) ComboBoxMotorCom->setEditText(motorPort);
    committedMotorPort_ = motorPort;
  }

  ButtonConnect->setText(Decode(v.ButtonConnectCaption));
  ButtonConnect->setProperty("Tag", v.ButtonConnectTag);
  ButtonConnect->setEnabled(v.ButtonConnectEnabled);
  ButtonMeasure->setText(Decode(v.ButtonMeasureCaption));
  ButtonMeasure->setProperty("Tag", v.ButtonMeasureTag);
  ButtonMeasure->setEnabled(v.ButtonMeasureEnabled);
  ButtonStream->setText(Decode(v.ButtonStreamCaption));
  ButtonStream->setEnabled(v.ButtonStreamEnabled);
  ButtonZero->setEnabled(v.ButtonZeroEnabled);
  LabelRast->setText(Decode(v.LabelRast));
  LabelRast->setEnabled(v.LabelRastEnabled);

  LabelModel->setText(Decode(v.LabelModel));
  LabelRelease->setText(Decode(v.LabelRelease));
  LabelSerNum->setText(Decode(v.LabelSerNum));
  LabelBase->setText(Decode(v.LabelBase));
  LabelRange->setText(Decode(v.LabelRange));
  for (QLabel* label : {LabelModel, LabelRelease, LabelSerNum}) label->adjustSize();
  LabelCOMmotor->setVisible(v.MotorComVisible);
  ComboBoxMotorCom->setVisible(v.MotorComVisible);

  WriteToFactory->setVisible(v.WriteToFactoryVisible);
  WriteToFactory->setEnabled(v.WriteToFactoryVisible);
  const int max = std::max(v.ProgressMax, 0);
  if (ProgressBarParam->maximum() != max) ProgressBarParam->setMaximum(max);
  // The bar shows a position past its maximum as full, as the transfers expect.
  ProgressBarParam->setValue(std::clamp(v.ProgressPos, 0, max));
  if (ProgressStrip->maximum() != max) ProgressStrip->setMaximum(max);
  ProgressStrip->setValue(ProgressBarParam->value());
  ProgressStrip->setVisible(shown_.Busy && middleCover_->isVisible() && v.ProgressPos > 0);
  Chart1->Show(chartSeries_, v.ChartFooter);

  // The fold: the session says where it goes, the window animates it on its own thread.
  if (v.TimerMore) {
    if (handled(foldEvent_) && (!TimerMore->isActive() || foldExpands_ != shown_.FoldExpands)) {
      if (!TimerMore->isActive()) foldHeight_ = v.Height;
      foldExpands_ = shown_.FoldExpands;
      TimerMore->start();
    }
  } else {
    TimerMore->stop();
    foldHeight_ = v.Height;
  }
  FollowFoldHeight(foldHeight_);
  SyncTimer(TimerAnswer, v.TimerAnswer && !closing_);
  applying_ = false;

  if (handled(gridEvent_)) grid_.Take(shown_);
  ValueListEditorParam->SyncFromView(true);
  // After the View: its buttons are what the operator gets back once the work is done. Work
  // the window asked for looks busy only once it takes a moment; a tick that turned into an
  // operation at once.
  if (!shown_.Busy) {
    busyLook_->stop();
    ShowBusy(false);
  } else if (busyShown_ || !busyLook_->isActive()) {
    ShowBusy(true);
  }
}

void TFormMain::FoldStep() {
  const int target = foldExpands_ ? EXPANDED_HEIGHT : FOLDED_HEIGHT;
  foldHeight_ = foldExpands_ ? std::min(foldHeight_ + FOLD_STEP, target)
                             : std::max(foldHeight_ - FOLD_STEP, target);
  FollowFoldHeight(foldHeight_);
  if (foldHeight_ != target) return;
  TimerMore->stop();
  foldEvent_ = Send([expanded = foldExpands_](TSession& s) { s.FinishFold(expanded); }, false);
}

void TFormMain::ShowBusy(bool busy) {
  if (closed_) return;
  if (busy != busyShown_) {
    busyShown_ = busy;
    // The operator sees that the window is busy with the sensor, not hung, and can stop it.
    if (busy) {
      QApplication::setOverrideCursor(Qt::BusyCursor);
    } else {
      QApplication::restoreOverrideCursor();
    }
    ButtonCancel->setVisible(busy);
    ButtonFindSensor->setVisible(!busy);
    PopupMenuParam->setEnabled(!busy);
    PopupMenuSave->setEnabled(!busy);
  }
  // A choice made meanwhile waits its turn; the box the operator is in stays theirs, and so
  // does the keyboard focus.
  for (QComboBox* box : {ComboBoxCOM, ComboBoxWorkBaund, ComboBoxWorkCodeDev, ComboBoxMotorCom})
    box->setEnabled(!busy || OperatorIn(box));
  if (!busy) return;
  // Whatever the View says meanwhile: no second operation, and a Stop comes back with it.
  for (QWidget* w :
       std::initializer_list<QWidget*>{ButtonConnect, ButtonMeasure, ButtonStream, ButtonZero})
    w->setEnabled(false);
  QWidget* editor = ValueListEditorParam->OpenEditor();
  QWidget* focus = QApplication::focusWidget();
  const bool typing = editor && focus && (focus == editor || editor->isAncestorOf(focus));
  if (!typing) ValueListEditorParam->setEnabled(false);
}

bool TFormMain::WaitIdle(int ms) {
  QElapsedTimer clock;
  clock.start();
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (Idle() && !UpdateWaiting() && !busyShown_ && !busyLook_->isActive()) return true;
    if (clock.elapsed() > ms) return false;
    QThread::msleep(1);
  }
}

template <typename Timer>
void TFormMain::SyncTimer(Timer* timer, bool run) {
  if (run && !timer->isActive()) timer->start();
  if (!run && timer->isActive()) timer->stop();
}

void TFormMain::FormClose() {
  if (closed_ || closing_) return;
  // No tick and no event may reach the session or its links from here on.
  TimerMore->stop();
  TimerAnswer->stop();
  busyLook_->stop();
  closing_ = true;
  session_->Cancel.Cancel();
  // The device thread finishes what it is doing (cancelled between requests), closes the
  // links and ends; its questions are still answered meanwhile.
  deviceTasks_->Post([this] {
    // The timer's notifier belongs to this thread's event loop: it goes with it.
    delete TimerMain;
    TimerMain = nullptr;
    session_->FormClose();
    deviceEnded_.store(true, std::memory_order_release);
    QThread::currentThread()->quit();
  });
  // The acquire makes what the device thread did last seen from here (the thread sanitizer
  // cannot see Qt's own hand-over in wait()).
  while (!deviceThread_->wait(5) || !deviceEnded_.load(std::memory_order_acquire))
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  delete deviceTasks_;
  deviceTasks_ = nullptr;
  closed_ = true;
  ShowBusy(false);
  ValueListEditorParam->Detach();
}

}  // namespace karvo
