// The measure and stream commands against the simulated sensor.
#include <gtest/gtest.h>

#include <algorithm>

#include "CliRun.h"
#include "sim/SensorSim.h"
#include "support/ScratchDir.h"

namespace karvo::cli {
namespace {

class MeasureCli : public ::testing::Test {
 protected:
  void SetUp() override {
    // The target is at half the range: 8192.
    sim_ = std::make_unique<sim::TSensorSim>(sim::TSensorSimOptions{
        .Address = 5, .Baud = 115200, .MeasuringRange = 300, .Pace = false, .Noise = 0});
    ASSERT_TRUE(sim_->Start());
  }

  // Exit code, then stdout's lines; stderr in err_.
  test::Lines Cli(const test::Lines& args) {
    const test::TRun r = test::RunCli(args, sim_->DevicePath());
    err_ = r.Err;
    return r.CodeAndLines();
  }
  std::string File(const std::string& name) { return test::FileBytes(Path(name)); }
  std::string Path(const std::string& name) { return dir_.Path(name); }

  std::unique_ptr<sim::TSensorSim> sim_;
  test::TScratchDir dir_;
  std::string err_;
};

using test::Lines;

TEST_F(MeasureCli, MeasureAndStreamPrintWhatTheDisplayShowsAndSaveTheDataFile) {
  EXPECT_EQ(Cli({"measure", "--count", "2"}), (Lines{"0", "150.0000 mm", "150.0000 mm"}));
  EXPECT_EQ(Cli({"measure", "--mode=NonLine", "--count=1"}), (Lines{"0", "8192 px"}));
  // The loop's mode only: the sensor is not written and still gives its "Line" result.
  EXPECT_EQ(Cli({"measure", "--mode", "Temperature", "--count", "1"}), (Lines{"0", "8192 cl"}));
  EXPECT_EQ(sim_->Register(7), 0);

  Lines streamed(31, "150.0000 mm");
  streamed[0] = "0";
  EXPECT_EQ(Cli({"stream", "--count", "30", "--data", Path("stream.dat")}), streamed);
  EXPECT_EQ(err_.rfind("stream: 30 samples in ", 0), 0u) << err_;
  std::string expected;
  for (int i = 0; i < 30; ++i) expected += "150.000\r\n";
  EXPECT_EQ(File("stream.dat"), expected);

  // The zero request is served by the first result; the sensor keeps the zero point.
  EXPECT_EQ(Cli({"measure", "--zero", "--count", "2", "--data", Path("zero.dat")}),
            (Lines{"0", "150.0000 mm", "0.0000 mm"}));
  EXPECT_EQ(File("zero.dat"), "150.000\r\n0.000\r\n");

  const Lines pulse = Cli({"measure", "--mode", "Pulse", "--count", "1", "--data", Path("p")});
  ASSERT_EQ(pulse.size(), 4u);
  EXPECT_EQ(pulse[1].rfind("position: ", 0) + pulse[2].rfind("exposure: ", 0), 0u);
  EXPECT_EQ(std::count(pulse[3].begin(), pulse[3].end(), ' '), 127);
  EXPECT_EQ(File("p"), "") << "a pulse run stores no samples";
}

TEST_F(MeasureCli, ASilentSensorIsExitFourAndAnUnwritableFileExitFive) {
  EXPECT_EQ(Cli({"measure", "--count", "1", "--data", Path("no/x.dat")}),
            (Lines{"5", "150.0000 mm"}));
  EXPECT_NE(err_.find("Error writing "), std::string::npos) << err_;
  // As many answers as the last run took: the connect and one result.
  sim_->FailSilentAfter(static_cast<int>(sim_->AnswerCount()));
  EXPECT_EQ(Cli({"measure", "--count", "3"}), (Lines{"4", "150.0000 mm"}));
  EXPECT_NE(err_.find("the sensor stopped answering: status 3"), std::string::npos) << err_;
}

}  // namespace
}  // namespace karvo::cli
