// A simulated sensor for tests that talk to it through the program: address 5 at 115200
// baud, answering at once, without noise unless asked. The link's own timing is tested with
// the link.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "sim/SensorSim.h"

namespace karvo::test {

inline sim::TSensorSimOptions FastSensor(int16_t range = 100, double noise = 2.0) {
  return {.Address = 5,
          .Baud = 115200,
          .MeasuringRange = range,
          .Pace = false,
          .Noise = noise,
          .FlashWriteMs = 20};
}

// The stop request goes out without an answer; the simulator takes it a moment later.
inline bool StreamStopped(const sim::TSensorSim& sim) {
  for (int i = 0; i < 100 && sim.Streaming(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !sim.Streaming();
}

}  // namespace karvo::test
