// The streaming worker against a sensor streaming numbered samples as fast as the line
// carries: it gathers them in batches, and none may be lost, repeated or reordered on the way;
// bytes lost on the line (as in a UART overrun) cost only the samples they hit, and only a
// line that stays garbled is a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "measure/RunModes.h"
#include "measure/StreamWorker.h"
#include "params/ParamTable.h"
#include "sim/SensorSim.h"

namespace karvo {
namespace {

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
