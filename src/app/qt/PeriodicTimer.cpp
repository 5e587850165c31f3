#include "app/qt/PeriodicTimer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cstdint>

namespace karvo {

TPeriodicTimer::TPeriodicTimer(QObject* parent) : QObject(parent) {
  fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd_ >= 0) {
    notifier_ = new QSocketNotifier(static_cast<qintptr>(fd_), QSocketNotifier::Read, this);
    notifier_->setEnabled(false);
    connect(notifier_, &QSocketNotifier::activated, this, &TPeriodicTimer::Expired);
  } else {
    fallback_ = new QTimer(this);
    fallback_->setTimerType(Qt::PreciseTimer);
    connect(fallback_, &QTimer::timeout, this, &TPeriodicTimer::timeout);
  }
}

TPeriodicTimer::~TPeriodicTimer() {
  // The notifier must not outlive the descriptor it watches.
  delete notifier_;
  if (fd_ >= 0) ::close(fd_);
}

void TPeriodicTimer::setInterval(int ms) {
  interval_ = ms;
  if (active_) start();
}

void TPeriodicTimer::start() {
  active_ = true;
  if (fallback_) {
    fallback_->start(std::max(interval_, 1));
    return;
  }
  Arm(true);
}

void TPeriodicTimer::stop() {
  active_ = false;
  if (fallback_) {
    fallback_->stop();
    return;
  }
  Arm(false);
}

void TPeriodicTimer::Arm(bool on) {
  itimerspec beat{};
  if (on) {
    const long ms = std::max(interval_, 1);
    beat.it_interval = {ms / 1000, (ms % 1000) * 1'000'000};
    beat.it_value = beat.it_interval;
  }
  // Setting the timer, also to disarm it, drops expiries not yet read.
  (void)timerfd_settime(fd_, 0, &beat, nullptr);
  notifier_->setEnabled(on);
}

void TPeriodicTimer::Expired() {
  uint64_t expiries = 0;
  if (::read(fd_, &expiries, sizeof expiries) != static_cast<ssize_t>(sizeof expiries)) return;
  if (active_) emit timeout();
}

}  // namespace karvo
