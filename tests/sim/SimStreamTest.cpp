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
    TSimArguments parsed;
    ASSERT_EQ(
        ParseSimArguments({"--no-pace", "--motion", motion == TTargetMotion::Sine ? "sine" : "ramp",
                           "--amplitude", "10", "--period", "0.2", "--stream-period", "1000"},
                          parsed),
        "");
    parsed.Options.Noise = 0;
    Begin(parsed.Options);
    const std::vector<int16_t> samples = Stream(300);
    ASSERT_EQ(samples.size(), 300u);
    // 10 mm of 100: 1638 codes either side of 8192.
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_TRUE(*low < 8192 - 1200 && *low >= 8192 - 1640) << *low;
    EXPECT_TRUE(*high > 8192 + 1200 && *high <= 8192 + 1640) << *high;
    link_.Close();
  }
}

}  // namespace
}  // namespace karvo::sim
