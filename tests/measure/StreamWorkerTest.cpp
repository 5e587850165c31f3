// The streaming worker against a sensor streaming numbered samples as fast as the line
// carries: it gathers them in batches, and none may be lost, repeated or reordered on the way.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "measure/RunModes.h"
#include "measure/StreamWorker.h"
#include "params/ParamTable.h"
#include "sim/SensorSim.h"

namespace karvo {
namespace {

TEST(StreamWorker, StoresEverySampleOnceInOrderAndShowsTheLast) {
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
  setup.SampleLimit = 5000;  // half a second
  setup.Stored = [&stored](float value) { stored.push_back(value); };
  ASSERT_EQ(link.StartStream(1), ST_OK);
  worker.Start(setup);
  worker.Join();
  link.StopStream(1);

  ASSERT_EQ(stored.size(), 5000u);
  for (size_t i = 0; i < stored.size(); ++i) ASSERT_EQ(stored[i], float(i)) << i;
  EXPECT_EQ(ring.SampleCount, 5000u);
  EXPECT_EQ(ring.SampleBuffer[4999], 4999.0f);
  EXPECT_EQ(worker.TakeText(), ResultText(RUN_NONLINE, 4999));
  EXPECT_EQ(lastStatus, ST_OK);
}

}  // namespace
}  // namespace karvo
