// The sweep command against the simulated sensor riding on the simulated stage.
#include <gtest/gtest.h>

#include <filesystem>

#include "CliRun.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"
#include "support/ScratchDir.h"

namespace karvo::cli {
namespace {

using test::Lines;

class SweepCli : public ::testing::Test {
 protected:
  void SetUp() override {
    Sensor = std::make_unique<sim::TSensorSim>(sim::TSensorSimOptions{
        .Address = 5, .Baud = 115200, .MeasuringRange = 10, .Pace = false, .Noise = 0});
    Stage = std::make_unique<sim::TStageSim>(
        sim::TStageSimOptions{.MmPerUnit = sim::StageMmPerUnitForRange(10), .TimeScale = 0.001});
    ASSERT_TRUE(Sensor->Start());
    ASSERT_TRUE(Stage->Start());
    sim::CoupleSensorToStage(*Sensor, *Stage);
  }
  void TearDown() override {
    Sensor->SetTargetDistance(0);  // the stage goes before the sensor
  }
  // Exit code, then stdout's lines; stderr in Err.
  Lines Cli(const Lines& args) {
    const test::TRun r = test::RunCli(args, Sensor->DevicePath());
    Err = r.Err;
    return r.CodeAndLines();
  }
  std::string Path(const std::string& name) { return Dir.Path(name); }

  std::unique_ptr<sim::TSensorSim> Sensor;
  std::unique_ptr<sim::TStageSim> Stage;
  test::TScratchDir Dir;
  std::string Err;
};

TEST_F(SweepCli, CalibrateThenVerifyWriteTheirFilesAndAnExistingOneNeedsForce) {
  const std::string stage = Stage->DevicePath();
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Root);
  const Lines calibrated = Cli({"sweep", "calibrate", "--stage", stage});
  std::filesystem::current_path(was);
  EXPECT_EQ(calibrated, (Lines{"0", "Steps: 681", "Table: loaded and checked"})) << Err;
  const std::string table = test::FileBytes(Path("1234.klb"));
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 20992);

  const Lines verified = Cli({"sweep", "verify", "--stage=" + stage, "--file", Path("v.pvk")});
  ASSERT_EQ(verified.size(), 2u) << Err;
  EXPECT_EQ(verified[0], "0") << Err;
  EXPECT_EQ(verified[1].rfind("Error: 0.0", 0), 0u) << verified[1];

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
