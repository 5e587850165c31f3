#include "cli/Cli.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/SensorSim.h"

namespace karvo::cli {
namespace {

struct TRun {
  int Code;
  std::string Out;
  std::string Err;
};

TRun RunCli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int code = Run(args, out, err);
  return {code, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(CliArguments, BadArgumentsGetUsageAndExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"--address", "0", "identify"},
      {"--address", "128", "identify"},
      {"--address", "x", "identify"},
      {"--baud", "fast", "identify"},
      {"--port"},
      {"--colour", "identify"},
      {"read-registers", "256", "1"},
      {"read-registers", "0", "0"},
      {"read-registers", "250", "7"},
      {"read-registers", "0x10", "1"},
      {"write-registers", "4", "300"},
      {"write-registers", "255", "1", "2"},
      {"load-param", "36", "1"},
      {"flash", "erase"},
      {"identify", "extra"},
  };
  for (const auto& args : cases) {
    TRun r = RunCli(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(r.Code, EXIT_USAGE) << shown;
    EXPECT_NE(r.Err.find("usage: karvo-cli"), std::string::npos) << shown;
    EXPECT_TRUE(r.Out.empty()) << shown;
  }
}

TEST(CliArguments, MissingPortNamesTheReason) {
  TRun r = RunCli({"--port", "/dev/karvo-no-such-port", "identify"});
  EXPECT_EQ(r.Code, EXIT_NO_PORT);
  EXPECT_NE(r.Err.find("cannot open /dev/karvo-no-such-port"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("no such device"), std::string::npos) << r.Err;
}

class CliWithSensor : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::TSensorSimOptions options;
    options.Address = 5;
    options.Baud = 115200;
    options.SerialNumber = 4321;
    options.MeasuringRange = 300;
    options.BaseDistance = 80;
    options.Pace = false;
    sim_ = std::make_unique<sim::TSensorSim>(options);
    ASSERT_TRUE(sim_->Start());
    dir_ =
        std::filesystem::temp_directory_path() / ("karvo-cli-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  TRun Cli(std::vector<std::string> args) {
    std::vector<std::string> full = {"--port", sim_->DevicePath(), "--baud",
                                     "115200", "--address",        "5"};
    full.insert(full.end(), args.begin(), args.end());
    return RunCli(full);
  }

  std::unique_ptr<sim::TSensorSim> sim_;
  std::filesystem::path dir_;
};

TEST_F(CliWithSensor, IdentifyPrintsTheFiveFields) {
  TRun r = Cli({"identify"});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  EXPECT_EQ(r.Out,
            "device_type: 7\nrelease: 4\nserial_number: 4321\nbase_distance_mm: 80\n"
            "measuring_range_mm: 300\n");
}

TEST_F(CliWithSensor, WrongAddressIsADeviceFailureNamingTheStatus) {
  TRun r = RunCli({"--port", sim_->DevicePath(), "--baud", "115200", "--address", "6", "result"});
  EXPECT_EQ(r.Code, EXIT_DEVICE);
  EXPECT_NE(r.Err.find("status 3"), std::string::npos) << r.Err;
}

TEST_F(CliWithSensor, RegistersWrittenAreReadBack) {
  TRun w = Cli({"write-registers", "160", "65", "66", "67"});
  ASSERT_EQ(w.Code, EXIT_OK) << w.Err;
  EXPECT_EQ(sim_->Register(160), 65);
  EXPECT_EQ(sim_->Register(162), 67);
  TRun r = Cli({"read-registers", "160", "3"});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  EXPECT_EQ(r.Out, "160\t65\n161\t66\n162\t67\n");
}

TEST_F(CliWithSensor, TraceShowsFramesInHex) {
  TRun r = Cli({"--trace", "result"});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  EXPECT_NE(r.Err.find("> 05 86"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(" < "), std::string::npos) << r.Err;
}

TEST_F(CliWithSensor, ReadParamsListsAllRowsWithShownAndRawValues) {
  TRun r = Cli({"read-params"});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  auto lines = Lines(r.Out);
  ASSERT_EQ(lines.size(), 36u);
  EXPECT_EQ(lines[2], "2\t    UART Baud Rate\t115200\t48");
  EXPECT_EQ(lines[3], "3\t    UART Network Address\t5\t5");
  EXPECT_EQ(lines[28], "28\t__Serial Number\t4321\t4321");
  EXPECT_EQ(lines[31].rfind("31\t_\xD0\xA1ustomer\t", 0), 0u) << lines[31];
}

TEST_F(CliWithSensor, LoadParamWritesTheValueAsTyped) {
  TRun r = Cli({"load-param", "9", "1234"});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  EXPECT_EQ(sim_->Register(8), 1234 & 0xFF);
  EXPECT_EQ(sim_->Register(9), 1234 >> 8);
  EXPECT_EQ(Cli({"compare", "9", "1234"}).Code, EXIT_OK);
  TRun differs = Cli({"compare", "9", "1235"});
  EXPECT_EQ(differs.Code, EXIT_DIFFERENT);
  EXPECT_NE(differs.Out.find("Write=1235, Read=1234."), std::string::npos) << differs.Out;
}

TEST_F(CliWithSensor, LoadParamRejectsANonInteger) {
  TRun r = Cli({"load-param", "9", "12x"});
  EXPECT_EQ(r.Code, EXIT_USAGE);
  EXPECT_NE(r.Err.find("'12x' is not a valid integer value"), std::string::npos) << r.Err;
}

TEST_F(CliWithSensor, ParameterFileRoundTrip) {
  std::string file = (dir_ / "set.prm").string();
  ASSERT_EQ(Cli({"save-params", file}).Code, EXIT_OK);
  std::ifstream in(file, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 36);
  EXPECT_EQ(content.rfind("0\t", 0), 0u);

  // Saving again over the file needs --force.
  TRun again = Cli({"save-params", file});
  EXPECT_EQ(again.Code, EXIT_FILE);
  EXPECT_EQ(Cli({"--force", "save-params", file}).Code, EXIT_OK);

  EXPECT_EQ(Cli({"compare-params", file}).Code, EXIT_OK);
  ASSERT_EQ(Cli({"load-param", "10", "777"}).Code, EXIT_OK);
  TRun differs = Cli({"compare-params", file});
  EXPECT_EQ(differs.Code, EXIT_DIFFERENT);
  EXPECT_NE(differs.Out.find("'Max Integration Time': Write="), std::string::npos) << differs.Out;

  ASSERT_EQ(Cli({"load-params", file}).Code, EXIT_OK);
  EXPECT_EQ(Cli({"compare-params", file}).Code, EXIT_OK);
}

TEST_F(CliWithSensor, UnreadableParameterFileIsAFileFailure) {
  TRun r = Cli({"load-params", (dir_ / "missing.prm").string()});
  EXPECT_EQ(r.Code, EXIT_FILE);
  std::string partial = (dir_ / "short.prm").string();
  std::ofstream(partial) << "0\t1\n1\t1\n";
  TRun s = Cli({"load-params", partial});
  EXPECT_EQ(s.Code, EXIT_FILE);
  EXPECT_NE(s.Err.find("is not a valid integer value"), std::string::npos) << s.Err;
}

TEST_F(CliWithSensor, FlashStoreReportsSuccessAndAWrongEchoFails) {
  TRun ok = Cli({"flash", "store"});
  EXPECT_EQ(ok.Code, EXIT_OK) << ok.Err;
  sim_->WrongAckNext();
  TRun bad = Cli({"flash", "store"});
  EXPECT_EQ(bad.Code, EXIT_DEVICE);
  EXPECT_NE(bad.Err.find("status 6"), std::string::npos) << bad.Err;
}

}  // namespace
}  // namespace karvo::cli
