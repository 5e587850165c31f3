// The streaming worker: a thread that takes the results a streaming sensor sends by itself,
// keeps them in the sample ring and publishes the latest display text. The window thread
// starts it after the start-stream command and, to stop it, clears the active flag and joins
// it before it touches the link or the ring again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "measure/SampleRing.h"
#include "protocol/Karvointerface.h"

namespace karvo {

struct TStreamSetup {
  TKARVOInterface* Link = nullptr;
  uint8_t Address = 1;
  uint32_t RunMode = 0;
  int16_t MeasuringRange = 0;
  std::atomic<bool>* Active = nullptr;  // the worker runs while it is set
  std::atomic<uint32_t>* SensorStatus = nullptr;
  std::atomic<uint32_t>* LastStatus = nullptr;
  // Called on the worker's thread when a new display text is published and the previous one
  // has been taken (TakeText), so a slow window gets at most one pending update.
  std::function<void()> ValueReady;
  uint64_t SampleLimit = 0;  // the worker ends by itself after this many samples; 0: never
  // Called on the worker's thread with every value it stores, in order; empty by default.
  // Benchmarks see each sample of a long stream this way, after the ring has wrapped.
  std::function<void(float value)> Stored;
};

class TStreamWorker {
 public:
  explicit TStreamWorker(TSampleRing& ring) : ring_(ring) {}
  ~TStreamWorker() { Join(); }
  TStreamWorker(const TStreamWorker&) = delete;
  TStreamWorker& operator=(const TStreamWorker&) = delete;

  // Starts a worker; a previous one must have been joined. Nothing but the worker may touch
  // the link or the ring until Join returns.
  void Start(const TStreamSetup& setup);
  // Waits for the worker to end. It ends after its current read once the active flag is
  // clear (at most one read time-out), or by itself at the sample limit.
  void Join();
  bool Joinable() const { return StreamThread.joinable(); }
  // True once the worker has left its loop.
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  // The latest published display text; marks it taken, so that the next value notifies again.
  // Formatted here, on the taker's thread: the worker would format many a text nobody sees.
  std::string TakeText();

  // Of the last worker, valid after Join: samples it stored, and its CPU time.
  uint64_t Samples() const { return samples_; }
  // Samples stored so far, readable while the worker runs (for progress and benchmarks).
  uint64_t SamplesSoFar() const { return taken_.load(std::memory_order_relaxed); }
  double CpuSeconds() const { return cpuSeconds_; }
  // Samples the sensor sent that never arrived whole (lost or garbled bytes), as told by the
  // count in their tag bits; readable while the worker runs.
  uint64_t Lost() const { return lost_.load(std::memory_order_relaxed); }

  std::thread StreamThread;

 private:
  void StreamWorker(TStreamSetup setup);
  // One sample and its tag; after a read that straddles two samples (ST_BAD_FRAME) it drops
  // the broken one and reads on to the next whole sample.
  uint32_t ReadSample(TKARVOInterface& link, uint8_t address, uint16_t& result, uint8_t& tag,
                      bool& resynced);

  TSampleRing& ring_;
  std::mutex textLock_;
  bool published_ = false;  // under textLock_, with the two below
  float value_ = 0;
  uint32_t runMode_ = 0;
  std::atomic<bool> pending_{false};
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> taken_{0};
  std::atomic<uint64_t> lost_{0};
  uint64_t samples_ = 0;
  double cpuSeconds_ = 0;
};

}  // namespace karvo
