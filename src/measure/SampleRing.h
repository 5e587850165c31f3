// The sample ring of the last run or stream, shared by the measurement loop, the streaming
// worker, the data file and the sweep writers. Only one thread writes it at a time: the
// window thread, or the streaming worker between its start and the join that ends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace karvo {

constexpr size_t SAMPLE_RING_SIZE = 65536;

class TSampleRing {
 public:
  TSampleRing() : SampleBuffer(SAMPLE_RING_SIZE, 0.0f) {}

  std::vector<float> SampleBuffer;  // always SAMPLE_RING_SIZE values, in display units
  uint16_t SampleCount = 0;         // write position; wraps in continuous runs and streams
  uint16_t SampleReadIndex = 0;     // read position of the stream plot and the data file
  bool RunComplete = false;         // the ring has wrapped (or a sweep reached its end)
  float LastValue = 0.0f;
  uint32_t PointCounter = 0;  // chart points of the current run, the label of the next
  bool FirstTick = false;

  // Indexes and flags of a new run or stream; the stored values stay for the data file.
  void ResetRun() {
    FirstTick = true;
    RunComplete = false;
    SampleCount = 0;
    SampleReadIndex = 0;
    PointCounter = 0;
    LastValue = 0.0f;
  }

  // Keeps `value` at the write position and moves on, wrapping after the last slot.
  void Store(float value) {
    SampleBuffer[SampleCount] = value;
    if (SampleCount == SAMPLE_RING_SIZE - 1) RunComplete = true;
    SampleCount = static_cast<uint16_t>(SampleCount + 1);
  }
};

}  // namespace karvo
