// One sensor's samples between the measuring and the broker: numbered from 0 as they are
// measured, kept until the broker has them, and bounded, so that a broker away for long
// costs the oldest samples (counted) and never the memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "publish/Payloads.h"

namespace karvo::publish {

inline constexpr size_t MAX_BATCH_VALUES = 1000;

class TSampleQueue {
 public:
  // `capacity`: samples kept, waiting and handed out together; `period`: their spacing (s).
  TSampleQueue(size_t capacity, double period);

  // A new sample measured at `time` (Unix seconds). `follows` tells that it is the next in
  // time after the one before; a sample after a gap (a missed poll, a sensor that was lost)
  // starts a new batch, since a batch's times are its first time and the period.
  void Add(double time, float value, bool follows = true);

  // The oldest waiting samples as one batch of at most `maxValues`, once the batch is full,
  // broken by a gap, or its first sample has waited `maxWait` seconds before `now`; `flush`
  // takes whatever waits. The batch's samples then count as handed out until Delivered.
  bool Take(TBatch& batch, double now, double maxWait, bool flush = false,
            size_t maxValues = MAX_BATCH_VALUES);
  // The broker has acknowledged `count` handed-out samples.
  void Delivered(size_t count);
  // Handed-out samples that will never be delivered: counted as dropped.
  void GiveUp(size_t count);

  uint64_t Measured() const;  // samples numbered so far
  uint64_t Dropped() const;   // samples dropped for room
  uint64_t DeliveredCount() const;
  size_t Waiting() const;      // measured, not handed out
  size_t Outstanding() const;  // handed out, not acknowledged
  double Period() const { return period_; }

 private:
  struct TSample {
    double Time;
    float Value;
    bool Follows;
  };

  mutable std::mutex lock_;
  const size_t capacity_;
  const double period_;
  std::deque<TSample> waiting_;
  uint64_t firstWaitingSeq_ = 0;
  uint64_t nextSeq_ = 0;
  uint64_t dropped_ = 0;
  uint64_t delivered_ = 0;
  size_t outstanding_ = 0;
};

}  // namespace karvo::publish
