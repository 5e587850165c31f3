// The sample ring and the data file written from it.
#include <gtest/gtest.h>

#include <string>

#include "measure/DataFile.h"
#include "measure/SampleRing.h"

namespace karvo {
namespace {

// The file's lines, for a ring whose slot i holds i / 4.
std::string Lines(int from, int to) {
  std::string out;
  for (int i = from; i < to; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "%.3f\r\n", i / 4.0);
    out += line;
  }
  return out;
}

TEST(SampleRing, WrapsAfterTheLastSlotAndSaysSoOnlyThen) {
  TSampleRing ring;
  ring.ResetRun();
  for (uint32_t i = 0; i < SAMPLE_RING_SIZE - 1; ++i) ring.Store(static_cast<float>(i));
  EXPECT_EQ(ring.SampleCount, 65535);
  EXPECT_FALSE(ring.RunComplete);
  ring.Store(-1.0f);
  EXPECT_EQ(ring.SampleCount, 0);
  EXPECT_TRUE(ring.RunComplete);
  EXPECT_EQ(ring.SampleBuffer[65535], -1.0f);
  ring.Store(7.0f);
  EXPECT_EQ(ring.SampleBuffer[0], 7.0f);

  // A new run resets the indexes and flags but keeps the values for the data file.
  ring.PointCounter = 9;
  ring.ResetRun();
  EXPECT_EQ(ring.SampleCount, 0);
  EXPECT_FALSE(ring.RunComplete);
  EXPECT_TRUE(ring.FirstTick);
  EXPECT_EQ(ring.PointCounter, 0u);
  EXPECT_EQ(ring.SampleBuffer[0], 7.0f);
}

TEST(DataFile, OldestKeptSampleFirstAndTheSlotAtTheWritePositionLeftOut) {
  struct Case {
    const char* name;
    uint32_t stored;  // samples stored after the reset
    std::string bytes;
  } cases[] = {
      {"nothing measured", 0, ""},
      {"ten results", 10, Lines(0, 10)},
      // 65536 + 5: slots 6 .. 65535, then 0 .. 4; slot 5 is not written.
      {"wrapped", 65536 + 5, Lines(6, 65536) + Lines(0, 5)},
      {"exactly full", 65536, Lines(1, 65536)},
  };
  for (const Case& c : cases) {
    TSampleRing ring;
    ring.ResetRun();
    for (uint32_t i = 0; i < c.stored; ++i) ring.Store(static_cast<float>(i % 65536) / 4.0f);
    const std::string bytes = DataFileBytes(ring);
    EXPECT_EQ(bytes.size(), c.bytes.size()) << c.name;
    EXPECT_TRUE(bytes == c.bytes) << c.name;
    EXPECT_EQ(ring.SampleReadIndex, ring.SampleCount) << c.name;
    EXPECT_EQ(DataFileBytes(ring), bytes) << c.name << ": saving twice writes the same";
  }
}

TEST(DataFile, ThreeDecimalsOfTheStoredFloat) {
  TSampleRing ring;
  ring.ResetRun();
  for (float v : {12.3456f, -100.0f, 0.0004f, 2000.0f}) ring.Store(v);
  EXPECT_EQ(DataFileBytes(ring), "12.346\r\n-100.000\r\n0.000\r\n2000.000\r\n");
}

}  // namespace
}  // namespace karvo
