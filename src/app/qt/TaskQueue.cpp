#include "app/qt/TaskQueue.h"

#include <utility>

namespace karvo {

void TTaskQueue::Post(std::function<void()> task) {
  {
    std::lock_guard lock(lock_);
    tasks_.push_back(std::move(task));
  }
  // By name: no functor made on this thread is read on the other.
  QMetaObject::invokeMethod(this, "RunTasks", Qt::QueuedConnection);
}

void TTaskQueue::Call(const std::function<void()>& task) {
  bool done = false;
  Post([&] {
    task();
    {
      std::lock_guard lock(lock_);
      done = true;
    }
    ran_.notify_all();
  });
  std::unique_lock lock(lock_);
  ran_.wait(lock, [&] { return done; });
}

void TTaskQueue::RunTasks() {
  std::function<void()> task;
  {
    std::lock_guard lock(lock_);
    if (tasks_.empty()) return;
    task = std::move(tasks_.front());
    tasks_.pop_front();
  }
  task();
}

}  // namespace karvo
