// A simulated sensor for tests that talk to it through the program: address 5 at 115200
// baud, answering at once, without noise unless asked. The link's own timing is tested with
// the link.
#pragma once

#include <cstdint>

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

}  // namespace karvo::test
