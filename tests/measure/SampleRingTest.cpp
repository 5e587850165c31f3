// The sample ring's wrap and the data file written from it, byte for byte.
#include <gtest/gtest.h>

#include "measure/DataFile.h"

namespace karvo {
namespace {

// The file's lines for slots [from, to) of a ring whose slot i holds i / 4.
std::string Lines(int from, int to) {
  std::string out;
  char line[32];
  for (int i = from; i < to; ++i) out.append(line, std::snprintf(line, 32, "%.3f\r\n", i / 4.0));
  return out;
}

TEST(DataFile, OldestKeptSampleFirstAndTheSlotAtTheWritePositionLeftOut) {
  struct Case {
    uint32_t stored;
    bool complete;
    std::string bytes;
  } cases[] = {
      {0, false, ""},
      {65535, false, Lines(0, 65535)},
      {65536, true, Lines(1, 65536)},
      {65536 + 5, true, Lines(6, 65536) + Lines(0, 5)},  // slot 5 is not written
  };
  for (const Case& c : cases) {
    TSampleRing ring;
    ring.ResetRun();
    for (uint32_t i = 0; i < c.stored; ++i) ring.Store(static_cast<float>(i % 65536) / 4.0f);
    EXPECT_EQ(ring.RunComplete, c.complete) << c.stored;
    EXPECT_TRUE(DataFileBytes(ring) == c.bytes) << c.stored;
    EXPECT_EQ(ring.SampleReadIndex, ring.SampleCount);
    EXPECT_TRUE(DataFileBytes(ring) == c.bytes) << "saving twice writes the same";
  }
}

}  // namespace
}  // namespace karvo
