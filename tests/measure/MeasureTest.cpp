// The run modes' conversion of a sensor result and the number texts it is shown with, the
// sample ring's wrap and the data file written from it byte for byte, and the figures and the
// export of the shown points; the streaming worker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "measure/DataFile.h"
#include "measure/RunModes.h"
#include "measure/SeriesStats.h"
#include "measure/StreamWorker.h"
#include "params/ParamTable.h"
#include "sim/SensorSim.h"

namespace karvo {
namespace {

TEST(RunModes, ConversionDecimalsAndUnitPerMode) {
  struct Case {
    uint32_t mode;
    int16_t range;
    uint16_t word;
    const char* text;
  } cases[] = {
      {RUN_LINE, 100, 0xC000, "-100.0000 mm"},  // signed
      {RUN_LINE, 100, 1, "0.0061 mm"},
      {RUN_LINE, 32767, 32767, "65532.0000 mm"},  // held as a single-precision value
      {RUN_POVERKA, 500, 16384, "500.0000 mm"},
      {RUN_NONLINE, 100, 0xFFFF, "-1 px"},
      {RUN_CALIBRATION, 100, 12000, "12000 px"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResultText(c.mode, ConvertResult(c.mode, c.word, c.range)), c.text);
}

TEST(RunModes, FixedTextRoundsToTenSignificantDigitsAndDropsTheSignOfZero) {
  struct Case {
    double value;
    int decimals;
    const char* text;
  } cases[] = {{12.3456f, 3, "12.346"},
               {1234567.891234, 4, "1234567.8910"},
               {0.0005, 3, "0.001"},
               {-0.00001, 4, "0.0000"},
               {-0.4, 0, "0"}};
  for (const Case& c : cases) EXPECT_EQ(FixedText(c.value, c.decimals), c.text) << c.value;
}

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

TEST(SeriesStats, FiguresOfTheShownPoints) {
  TSeriesStats stats;
  EXPECT_EQ(stats.Text(), "n 0");
  for (double y : {2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0}) stats.Add(y);
  // The spread of the sample: sqrt(32 / 7).
  EXPECT_EQ(stats.Text(), "n 8  mean 5  sd 2.1381  min 2  max 9  p-p 7");

  // A large offset with a small spread loses no digits (a naive sum of squares would).
  stats.Clear();
  for (double y : {1e9 + 0.1, 1e9 + 0.2, 1e9 + 0.3}) stats.Add(y);
  EXPECT_NEAR(stats.StdDev(), 0.1, 1e-6);
  EXPECT_NEAR(stats.PeakToPeak(), 0.2, 1e-6);
}

// The first tick's point is no reading: a spreadsheet must not average it in.
TEST(SeriesStats, CsvHasOneLineAReadingWithExactNumbersAndQuotedLabels) {
  TOscSeries series;
  series.Append(1800.0, "0", true);
  series.Append(0.1, "1");
  series.Append(-2.5, "pos, \"x\"");
  EXPECT_EQ(SeriesCsv(series),
            "index,x,y,label\r\n"
            "0,1,0.1,1\r\n"
            "1,2,-2.5,\"pos, \"\"x\"\"\"\r\n");
  EXPECT_EQ(SeriesCsv(TOscSeries()), "index,x,y,label\r\n");
}

// The streaming worker against a sensor streaming numbered samples as fast as the line
// carries: it gathers them in batches, and none may be lost, repeated or reordered on the way;
// bytes lost on the line (as in a UART overrun) cost only the samples they hit, and only a
// line that stays garbled is a failure.

TEST(StreamWorker, StoresEverySampleOnceInOrderAndCountsWhatLostBytesCost) {
  struct Case {
    const char* What;
    int Hit;          // samples in a row that lose a byte
    bool AtTheStart;  // from the first sample, else once 100 are out
    uint32_t Status;
  };
  for (const Case c :
       {Case{"clean", 0, false, ST_OK}, Case{"one byte", 1, false, ST_OK},
        Case{"three samples in a row", 3, false, ST_OK}, Case{"the first sample", 1, true, ST_OK},
        Case{"a line that stays garbled", 1000000, false, ST_BAD_FRAME}}) {
    SCOPED_TRACE(c.What);
    sim::TSensorSim sensor({.Baud = 460800, .StreamPeriodUs = 1, .StreamSequence = true});
    ASSERT_TRUE(sensor.Start());
    TKARVOInterface link;
    ASSERT_EQ(link.Open({.Name = sensor.DevicePath(), .BaudRate = 460800}), ST_OK);
    TSampleRing ring;
    TStreamWorker worker(ring);
    std::atomic<bool> active{true};
    std::atomic<uint32_t> sensorStatus{99}, lastStatus{99};
    std::vector<float> stored;
    TStreamSetup setup;
    setup.Link = &link;
    setup.RunMode = RUN_NONLINE;
    setup.Active = &active;
    setup.SensorStatus = &sensorStatus;
    setup.LastStatus = &lastStatus;
    setup.SampleLimit = 2000;
    setup.Stored = [&stored](float value) { stored.push_back(value); };
    if (c.AtTheStart) sensor.DropByteOfNext(c.Hit);
    ASSERT_EQ(link.StartStream(1), ST_OK);
    worker.Start(setup);
    for (int i = 0; i < 2000 && !c.AtTheStart && sensor.StreamSamplesSent() < 100; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!c.AtTheStart) sensor.DropByteOfNext(c.Hit);
    for (int i = 0; i < 3000 && !worker.Finished() && lastStatus != ST_BAD_FRAME; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    active = false;
    worker.Join();
    link.StopStream(1);

    EXPECT_EQ(lastStatus, c.Status);
    if (c.Status != ST_OK) continue;
    ASSERT_EQ(stored.size(), 2000u);
    // The samples carry their number: what is missing is what the worker says it lost.
    uint64_t missing = static_cast<uint64_t>(stored.front());
    for (size_t i = 1; i < stored.size(); ++i) {
      ASSERT_GT(stored[i], stored[i - 1]) << " at " << i;
      missing += static_cast<uint64_t>(stored[i] - stored[i - 1]) - 1;
    }
    EXPECT_EQ(missing, static_cast<uint64_t>(c.Hit));
    EXPECT_EQ(worker.Lost(), missing);
    EXPECT_EQ(ring.SampleCount, 2000u);
    EXPECT_EQ(ring.SampleBuffer[1999], stored.back());
    EXPECT_EQ(worker.TakeText(), ResultText(RUN_NONLINE, stored.back()));
  }
}

}  // namespace
}  // namespace karvo
