// The simulated sensor's stream pace and sample count, its moving target, and the karvo-sim
// options for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"
#include "sim/SimArguments.h"

namespace karvo::sim {
namespace {

class SimStream : public ::testing::Test {
 protected:
  void Begin(const TSensorSimOptions& options) {
    sim_ = std::make_unique<TSensorSim>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    TLinkSettings settings;
    settings.Name = sim_->DevicePath();
    settings.BaudRate = options.Baud;
    ASSERT_EQ(link_.Open(settings), ST_OK);
  }
  // `count` stream samples, stopped after the last.
  std::vector<int16_t> Stream(int count) {
    std::vector<int16_t> samples;
    EXPECT_EQ(link_.StartStream(1), ST_OK);
    for (int i = 0; i < count; ++i) {
      uint16_t sample = 0;
      if (link_.ReadStreamSample(1, sample) != ST_OK) break;
      samples.push_back(static_cast<int16_t>(sample));
    }
    link_.StopStream(1);
    for (int i = 0; i < 500 && sim_->Streaming(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return samples;
  }

  std::unique_ptr<TSensorSim> sim_;
  TKARVOInterface link_;
};

// A benchmark's period is honoured down to the line's pace, and every sample put on the line
// is counted.
TEST_F(SimStream, ShortPeriodStreamsAtTheLinePaceAndCountsWhatItSent) {
  TSensorSimOptions options;
  options.Baud = 460800;
  options.StreamPeriodUs = 1;  // far below the line's 95.5 us a sample
  options.Noise = 0;
  Begin(options);
  const std::vector<int16_t> samples = Stream(2000);
  ASSERT_EQ(samples.size(), 2000u);
  // Every sample read was counted; those still on their way when the stop came are counted
  // too, and then the count stands still.
  const uint64_t sent = sim_->StreamSamplesSent();
  EXPECT_GE(sent, 2000u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(sim_->StreamSamplesSent(), sent);
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [&](int16_t s) { return s == 8192; }));
}

TEST_F(SimStream, MovingTargetsSwingAboutTheDistance) {
  for (TTargetMotion motion : {TTargetMotion::Sine, TTargetMotion::Ramp}) {
    TSensorSimOptions options;
    options.Baud = 115200;
    options.Pace = false;
    options.Noise = 0;
    options.StreamPeriodUs = 1000;
    options.Motion = motion;
    options.MotionAmplitudeMm = 10;  // of 100 mm: 1638 codes either side of 8192
    options.MotionPeriodS = 0.2;
    Begin(options);
    const std::vector<int16_t> samples = Stream(300);
    ASSERT_EQ(samples.size(), 300u);
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_LT(*low, 8192 - 1200) << int(motion);
    EXPECT_GT(*high, 8192 + 1200) << int(motion);
    EXPECT_GE(*low, 8192 - 1640) << int(motion);
    EXPECT_LE(*high, 8192 + 1640) << int(motion);
    link_.Close();
    sim_.reset();
  }
}

TEST(SimStreamArguments, MotionAndStreamPeriodOptions) {
  TSimArguments parsed;
  ASSERT_EQ(ParseSimArguments({"--motion", "ramp", "--amplitude", "5", "--period", "2.5",
                               "--stream-period", "50"},
                              parsed),
            "");
  EXPECT_EQ(parsed.Options.Motion, TTargetMotion::Ramp);
  EXPECT_EQ(parsed.Options.MotionAmplitudeMm, 5);
  EXPECT_EQ(parsed.Options.MotionPeriodS, 2.5);
  EXPECT_EQ(parsed.Options.StreamPeriodUs, 50u);
  const std::vector<std::vector<std::string>> bad = {{"--motion", "zigzag"},
                                                     {"--amplitude", "-1"},
                                                     {"--period", "0"},
                                                     {"--stream-period", "0"},
                                                     {"--motion"}};
  for (const auto& args : bad) {
    TSimArguments p;
    EXPECT_NE(ParseSimArguments(args, p), "") << args[0];
  }
}

}  // namespace
}  // namespace karvo::sim
