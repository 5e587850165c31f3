// A stream through the device layer goes on past a lost byte and says how many samples it
// lost; a line that stays garbled ends it, and the sensor is told to stop either way.
#include <gtest/gtest.h>

#include <vector>

#include "device/Sensor.h"
#include "support/FastSensor.h"

namespace karvo::device {
namespace {

TEST(StreamLoss, ALostByteCostsOneSampleAGarbledLineEndsTheStream) {
  struct Case {
    const char* What;
    int Hit;  // samples that lose a byte, from the first
    uint32_t Status;
    uint64_t Lost;
  };
  for (const Case c : {Case{"clean", 0, ST_OK, 0}, Case{"one lost byte", 1, ST_OK, 1},
                       Case{"garbled for good", 1000000, ST_BAD_FRAME, 0}}) {
    sim::TSensorSim sim(
        {.Address = 5, .Baud = 115200, .Noise = 0, .StreamPeriodUs = 200, .StreamSequence = true});
    ASSERT_TRUE(sim.Start());
    Sensor dev;
    ASSERT_TRUE(dev.Open({.Port = sim.DevicePath(), .Baud = 115200, .Address = 5}));
    sim.DropByteOfNext(c.Hit);
    std::vector<float> values;
    uint64_t lost = 99;
    const Result r = dev.Stream(
        RUN_NONLINE, 300, [&values](float v) { values.push_back(v); }, nullptr, &lost);
    EXPECT_EQ(r.Status, c.Status) << c.What << ": " << r.Describe();
    EXPECT_EQ(lost, c.Lost) << c.What;
    if (r) {
      ASSERT_EQ(values.size(), 300u) << c.What;
      EXPECT_EQ(values.front(), float(c.Lost)) << c.What;
      EXPECT_EQ(values.back(), float(299 + c.Lost)) << c.What;
    } else {
      EXPECT_EQ(r.Doing, "streaming") << c.What;
    }
    EXPECT_TRUE(test::StreamStopped(sim)) << c.What;
  }
}

}  // namespace
}  // namespace karvo::device
