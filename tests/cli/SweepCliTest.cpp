// The sweep command against the simulated sensor riding on the simulated stage.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Cli.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"

namespace karvo::cli {
namespace {

using Lines = std::vector<std::string>;

class SweepCli : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::TSensorSimOptions options;
    options.Address = 5;
    options.Baud = 115200;
    options.MeasuringRange = 10;
    options.Pace = false;
    options.Noise = 0;
    Sensor = std::make_unique<sim::TSensorSim>(options);
    sim::TStageSimOptions stage;
    stage.MmPerUnit = sim::StageMmPerUnitForRange(options.MeasuringRange);
    stage.TimeScale = 0.001;
    Stage = std::make_unique<sim::TStageSim>(stage);
    ASSERT_TRUE(Sensor->Start());
    ASSERT_TRUE(Stage->Start());
    sim::CoupleSensorToStage(*Sensor, *Stage);
    Dir = std::filesystem::temp_directory_path() / ("karvo-sweepcli-" + std::to_string(getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override {
    Sensor->SetTargetDistance(0);  // the stage goes before the sensor
    std::filesystem::remove_all(Dir);
  }
  // Exit code, then stdout's lines; stderr in Err.
  Lines Cli(std::vector<std::string> args) {
    std::vector<std::string> full = {"--port", Sensor->DevicePath(), "--baud",
                                     "115200", "--address",          "5"};
    full.insert(full.end(), args.begin(), args.end());
    std::ostringstream out, err;
    Lines lines = {std::to_string(cli::Run(full, out, err))};
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    Err = err.str();
    return lines;
  }
  std::string Path(const std::string& name) { return (Dir / name).string(); }

  std::unique_ptr<sim::TSensorSim> Sensor;
  std::unique_ptr<sim::TStageSim> Stage;
  std::filesystem::path Dir;
  std::string Err;
};

TEST_F(SweepCli, CalibrateThenVerifyWriteTheirFilesAndAnExistingOneNeedsForce) {
  const std::string stage = Stage->DevicePath();
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(Dir);
  const Lines calibrated = Cli({"sweep", "calibrate", "--stage", stage});
  std::filesystem::current_path(was);
  EXPECT_EQ(calibrated, (Lines{"0", "Steps: 681", "Table: loaded and checked"})) << Err;
  std::ifstream klb(Path("1234.klb"), std::ios::binary);
  const std::string table(std::istreambuf_iterator<char>(klb), {});
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 20992);
  EXPECT_NE(Err.find("sweep: "), std::string::npos);

  const Lines verified = Cli({"sweep", "verify", "--stage=" + stage, "--file", Path("v.pvk")});
  ASSERT_EQ(verified.size(), 2u) << Err;
  EXPECT_EQ(verified[0], "0") << Err;
  EXPECT_EQ(verified[1].rfind("Error: 0.0", 0), 0u) << verified[1];
  EXPECT_TRUE(std::filesystem::exists(Path("v.pvk")));

  Stage->ClearRequests();
  EXPECT_EQ(Cli({"sweep", "verify", "--stage", stage, "--file", Path("v.pvk")}), Lines{"5"});
  EXPECT_NE(Err.find("exists"), std::string::npos) << Err;
  EXPECT_TRUE(Stage->Requests().empty());
  EXPECT_EQ(Cli({"--force", "sweep", "verify", "--stage", stage, "--file", Path("v.pvk")})[0], "0");
}

TEST_F(SweepCli, BadArgumentsAnUnopenedStageAndASilentOneEachHaveTheirExit) {
  const std::vector<Lines> usage = {
      {"sweep"},
      {"sweep", "park", "--stage", "x"},
      {"sweep", "home"},
      {"sweep", "home", "--stage", "x", "--file", "y"},
      {"sweep", "verify", "--stage"},
  };
  for (const Lines& args : usage) EXPECT_EQ(Cli(args), Lines{"2"}) << args.back();
  EXPECT_TRUE(Sensor->Requests().empty());

  EXPECT_EQ(Cli({"sweep", "end", "--stage", "/nonexistent/stage"}), Lines{"3"});
  EXPECT_NE(Err.find("cannot open the stage port /nonexistent/stage"), std::string::npos) << Err;

  Stage->FailSilent();
  EXPECT_EQ(Cli({"sweep", "home", "--stage", Stage->DevicePath()}), Lines{"4"});
  EXPECT_NE(Err.find("the stage stopped answering"), std::string::npos) << Err;
}

}  // namespace
}  // namespace karvo::cli
