// A periodic timer on the kernel's clock, for the measurement loop's 1 ms tick.
//
// Qt rounds every wait for a timer up to a whole millisecond, counted from the end of the
// previous tick: at a 1 ms interval a tick of 0.3 ms then comes every 1.3 ms, and the loop
// loses a fifth of its results. A timerfd keeps its own beat; the event loop wakes the
// moment it expires. Beats missed during a long tick (a replot) give one timeout, not a
// burst, as with QTimer.
#pragma once

#include <QObject>

class QSocketNotifier;
class QTimer;

namespace karvo {

class TPeriodicTimer : public QObject {
  Q_OBJECT

 public:
  explicit TPeriodicTimer(QObject* parent = nullptr);
  ~TPeriodicTimer() override;

  // As QTimer: a new interval restarts a running timer. Below 1 ms counts as 1 ms.
  void setInterval(int ms);
  int interval() const { return interval_; }
  bool isActive() const { return active_; }
  void start();
  void stop();

 signals:
  void timeout();

 private:
  void Arm(bool on);
  void Expired();

  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* fallback_ = nullptr;  // only where no timerfd can be made
  int interval_ = 0;
  bool active_ = false;
};

}  // namespace karvo
