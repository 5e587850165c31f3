#include "publish/SampleQueue.h"

#include <algorithm>

namespace karvo::publish {

TSampleQueue::TSampleQueue(size_t capacity, double period)
    : capacity_(std::max<size_t>(capacity, 1)), period_(period) {}

void TSampleQueue::Add(double time, float value, bool follows) {
  std::lock_guard guard(lock_);
  waiting_.push_back({time, value, follows});
  ++nextSeq_;
  // Handed-out samples are with the client library already and cannot be taken back; room
  // is made among those still waiting.
  while (!waiting_.empty() && waiting_.size() + outstanding_ > capacity_) {
    waiting_.pop_front();
    ++firstWaitingSeq_;
    ++dropped_;
  }
}

bool TSampleQueue::Take(TBatch& batch, double now, double maxWait, bool flush, size_t maxValues) {
  std::lock_guard guard(lock_);
  if (waiting_.empty()) return false;
  size_t n = 1;
  while (n < waiting_.size() && n < maxValues && waiting_[n].Follows) ++n;
  const bool complete = n == maxValues || n < waiting_.size();
  if (!complete && !flush && now - waiting_.front().Time < maxWait) return false;
  batch.Seq = firstWaitingSeq_;
  batch.Time = waiting_.front().Time;
  batch.Period = period_;
  batch.Values.clear();
  for (size_t i = 0; i < n; ++i) batch.Values.push_back(waiting_[i].Value);
  waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(n));
  firstWaitingSeq_ += n;
  outstanding_ += n;
  return true;
}

void TSampleQueue::Delivered(size_t count) {
  std::lock_guard guard(lock_);
  count = std::min(count, outstanding_);
  outstanding_ -= count;
  delivered_ += count;
}

void TSampleQueue::GiveUp(size_t count) {
  std::lock_guard guard(lock_);
  count = std::min(count, outstanding_);
  outstanding_ -= count;
  dropped_ += count;
}

uint64_t TSampleQueue::Measured() const {
  std::lock_guard guard(lock_);
  return nextSeq_;
}

uint64_t TSampleQueue::Dropped() const {
  std::lock_guard guard(lock_);
  return dropped_;
}

uint64_t TSampleQueue::DeliveredCount() const {
  std::lock_guard guard(lock_);
  return delivered_;
}

size_t TSampleQueue::Waiting() const {
  std::lock_guard guard(lock_);
  return waiting_.size();
}

size_t TSampleQueue::Outstanding() const {
  std::lock_guard guard(lock_);
  return outstanding_;
}

}  // namespace karvo::publish
