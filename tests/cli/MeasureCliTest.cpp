// The measure and stream commands against the simulated sensor.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Cli.h"
#include "sim/SensorSim.h"

namespace karvo::cli {
namespace {

class MeasureCli : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::TSensorSimOptions options;
    options.Address = 5;
    options.Baud = 115200;
    options.MeasuringRange = 300;  // the target is at half of it: 8192
    options.Pace = false;
    options.Noise = 0;
    sim_ = std::make_unique<sim::TSensorSim>(options);
    ASSERT_TRUE(sim_->Start());
    dir_ = std::filesystem::temp_directory_path() / ("karvo-measure-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Exit code, then stdout's lines; stderr in err_.
  std::vector<std::string> Cli(std::vector<std::string> args) {
    std::vector<std::string> full = {"--port", sim_->DevicePath(), "--baud",
                                     "115200", "--address",        "5"};
    full.insert(full.end(), args.begin(), args.end());
    std::ostringstream out, err;
    std::vector<std::string> lines = {std::to_string(cli::Run(full, out, err))};
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    err_ = err.str();
    return lines;
  }
  std::string File(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string Path(const std::string& name) { return (dir_ / name).string(); }

  std::unique_ptr<sim::TSensorSim> sim_;
  std::filesystem::path dir_;
  std::string err_;
};

using Lines = std::vector<std::string>;

TEST_F(MeasureCli, BadOptionsAreUsageErrorsBeforeTheSensorIsAsked) {
  const std::vector<Lines> cases = {
      {"measure", "--mode", "Calibration"},
      {"measure", "--count", "0"},
      {"measure", "--data="},
      {"measure", "--zero=1"},
      {"measure", "Line"},
      {"stream", "--count=65536"},
      {"stream", "--zero"},
      {"stream", "--count"},
  };
  for (const Lines& args : cases) EXPECT_EQ(Cli(args), Lines{"2"}) << args[1];
  EXPECT_TRUE(sim_->Requests().empty());
}

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
