// The measure and stream commands against the simulated sensor.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Cli.h"
#include "sim/SensorSim.h"

namespace karvo::cli {
namespace {

std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class MeasureCli : public ::testing::Test {
 protected:
  struct TRun {
    int Code;
    std::string Out;
    std::string Err;
  };

  void SetUp() override {
    sim::TSensorSimOptions options;
    options.Address = 5;
    options.Baud = 115200;
    options.MeasuringRange = 300;
    options.Pace = false;
    options.Noise = 0;
    sim_ = std::make_unique<sim::TSensorSim>(options);
    ASSERT_TRUE(sim_->Start());
    sim_->SetTargetDistance(150);  // half the range: 8192
    dir_ = std::filesystem::temp_directory_path() /
           ("karvo-measure-cli-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  TRun Cli(std::vector<std::string> args) {
    std::vector<std::string> full = {"--port", sim_->DevicePath(), "--baud",
                                     "115200", "--address",        "5"};
    full.insert(full.end(), args.begin(), args.end());
    std::ostringstream out, err;
    const int code = cli::Run(full, out, err);
    return {code, out.str(), err.str()};
  }
  std::string Contents(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::unique_ptr<sim::TSensorSim> sim_;
  std::filesystem::path dir_;
};

TEST_F(MeasureCli, BadOptionsGetUsageAndExitTwoBeforeTheSensorIsAsked) {
  const std::vector<std::vector<std::string>> cases = {
      {"measure", "--mode", "Calibration"},
      {"measure", "--mode"},
      {"measure", "--count", "0"},
      {"measure", "--count", "ten"},
      {"measure", "--data="},
      {"measure", "--zero=1"},
      {"measure", "Line"},
      {"stream", "--count", "65536"},
      {"stream", "--zero"},
      {"stream", "--count=-1"},
  };
  for (const auto& args : cases) {
    const TRun r = Cli(args);
    EXPECT_EQ(r.Code, EXIT_USAGE) << args[1];
    EXPECT_NE(r.Err.find("usage: karvo-cli"), std::string::npos) << r.Err;
  }
  EXPECT_TRUE(sim_->Requests().empty());
}

TEST_F(MeasureCli, MeasurePrintsEachResultAsShownAndZeroSetsBeforeTheFirst) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> lines;
  } cases[] = {
      {{"measure", "--count", "2"}, {"150.0000 mm", "150.0000 mm"}},
      {{"measure", "--mode=NonLine", "--count=1"}, {"8192 px"}},
      // The loop's mode only: the sensor itself still gives its "Line" result.
      {{"measure", "--mode", "Temperature", "--count", "1"}, {"8192 cl"}},
      {{"measure", "--zero", "--count", "3", "--data", (dir_ / "zero.dat").string()},
       {"150.0000 mm", "0.0000 mm", "0.0000 mm"}},
  };
  for (const Case& c : cases) {
    const TRun r = Cli(c.args);
    ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
    EXPECT_EQ(LinesOf(r.Out), c.lines) << c.args[1];
  }
  EXPECT_EQ(Contents("zero.dat"), "150.000\r\n0.000\r\n0.000\r\n");
  EXPECT_EQ(sim_->Register(7), 0) << "the mode of run was not written";
}

TEST_F(MeasureCli, PulsePrintsPositionExposureAndTheWholeProfile) {
  const TRun r =
      Cli({"measure", "--mode", "Pulse", "--count", "2", "--data", (dir_ / "pulse.dat").string()});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  const auto lines = LinesOf(r.Out);
  ASSERT_EQ(lines.size(), 6u);
  for (size_t k = 0; k < 6; k += 3) {
    EXPECT_EQ(lines[k].rfind("position: ", 0), 0u) << lines[k];
    EXPECT_EQ(lines[k].substr(lines[k].size() - 3), " px");
    EXPECT_EQ(lines[k + 1].rfind("exposure: ", 0), 0u) << lines[k + 1];
    EXPECT_EQ(lines[k + 1].substr(lines[k + 1].size() - 4), " mks");
    std::istringstream samples(lines[k + 2]);
    int count = 0;
    for (long v; samples >> v; ++count) EXPECT_TRUE(v >= 0 && v <= 65535);
    EXPECT_EQ(count, 128);
  }
  EXPECT_EQ(Contents("pulse.dat"), "") << "a pulse run stores no samples";
}

TEST_F(MeasureCli, StreamTakesTheCountThroughTheWorkerAndSavesIt) {
  const TRun r = Cli({"stream", "--count", "40", "--data", (dir_ / "stream.dat").string()});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  EXPECT_EQ(LinesOf(r.Out), std::vector<std::string>(40, "150.0000 mm"));
  EXPECT_EQ(r.Err.rfind("stream: 40 samples in ", 0), 0u) << r.Err;
  std::string expected;
  for (int i = 0; i < 40; ++i) expected += "150.000\r\n";
  EXPECT_EQ(Contents("stream.dat"), expected);
  EXPECT_FALSE(sim_->Streaming());
}

TEST_F(MeasureCli, ASensorThatStopsAnsweringEndsWithExitFourAndTheReason) {
  ASSERT_EQ(Cli({"read-params"}).Code, EXIT_OK);
  const uint32_t connect = sim_->AnswerCount();
  sim_->FailSilentAfter(static_cast<int>(connect) + 2);
  const TRun r = Cli({"measure", "--count", "5"});
  EXPECT_EQ(r.Code, EXIT_DEVICE);
  EXPECT_EQ(LinesOf(r.Out), std::vector<std::string>(2, "150.0000 mm"));
  EXPECT_NE(r.Err.find("the sensor stopped answering: status 3"), std::string::npos) << r.Err;
}

TEST_F(MeasureCli, AnUnwritableDataFileIsExitFive) {
  const TRun r = Cli({"measure", "--count", "1", "--data", (dir_ / "none" / "x.dat").string()});
  EXPECT_EQ(r.Code, EXIT_FILE);
  EXPECT_NE(r.Err.find("Error writing "), std::string::npos) << r.Err;
}

}  // namespace
}  // namespace karvo::cli
