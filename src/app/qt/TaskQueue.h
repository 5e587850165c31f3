// Work handed to the thread an object lives on, through a queue of our own: the hand-over is
// then one the thread sanitizer sees (it cannot see Qt's, Qt not being built for it).
#pragma once

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace karvo {

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
  std::deque<std::function<void()>> tasks_;
};

}  // namespace karvo
