// karvo-cli run in the test's process: its arguments, and each command against the simulated
// sensor (and stage), seen through the output lines, the messages and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <sstream>

#include "channel/Interface.h"
#include "cli/Cli.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"
#include "support/PtyPeer.h"
#include "support/ScratchDir.h"

namespace karvo::cli {
namespace {

using Lines = std::vector<std::string>;

struct TRun {
  int Code;
  std::string Out, Err;
};

// With a port, the simulated sensor's settings go before `args`.
TRun RunCli(Lines args, const std::string& port = "") {
  if (!port.empty())
    args.insert(args.begin(), {"--port", port, "--baud", "115200", "--address", "5"});
  std::ostringstream out, err;
  const int code = Run(args, out, err);
  return {code, out.str(), err.str()};
}

// A simulated sensor at the settings RunCli gives, its target at half the range (8192), and a
// folder for files.
class SimCli : public ::testing::Test {
 protected:
  explicit SimCli(int16_t range = 300)
      : Sensor({.Address = 5,
                .Baud = 115200,
                .MeasuringRange = range,
                .Pace = false,
                .Noise = 0,
                .FlashWriteMs = 20}) {}
  void SetUp() override { ASSERT_TRUE(Sensor.Start()); }

  // Exit code, then stdout's lines; stderr in Err.
  Lines Cli(const Lines& args) {
    const TRun r = RunCli(args, Sensor.DevicePath());
    Err = r.Err;
    Lines lines = {std::to_string(r.Code)};
    std::istringstream in(r.Out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  sim::TSensorSim Sensor;
  test::TScratchDir Dir;
  std::string Err;
};

TEST(CliArguments, BadArgumentsGetUsageAndExitTwo) {
  // Checked before the port is opened: a missing one would give another exit code.
  // clang-format off
  const std::vector<std::vector<std::string>> cases = {
      {}, {"frobnicate"}, {"--address", "0", "identify"}, {"--address", "128", "identify"},
      {"--baud", "fast", "identify"}, {"--port"}, {"--colour", "identify"},
      {"read-registers", "256", "1"}, {"read-registers", "0", "0"}, {"read-registers", "250", "7"},
      {"write-registers", "4", "300"}, {"write-registers", "255", "1", "2"},
      {"load-param", "36", "1"}, {"flash", "erase"}, {"identify", "extra"}, {"scan", "--every"},
      {"scan", "--all", "more"}, {"measure", "--mode", "Calibration"}, {"measure", "--count", "0"},
      {"measure", "--data="}, {"measure", "--zero=1"}, {"measure", "Line"},
      {"stream", "--count=65536"}, {"stream", "--zero"}, {"stream", "--count"},
      {"sweep"}, {"sweep", "park", "--stage", "x"}, {"sweep", "home"},
      {"sweep", "home", "--stage", "x", "--file", "y"}, {"sweep", "verify", "--stage"}};
  // clang-format on
  for (auto args : cases) {
    args.insert(args.begin(), {"--port", "/dev/karvo-no-such-port"});
    const TRun r = RunCli(args);
    EXPECT_EQ(r.Code, EXIT_USAGE) << testing::PrintToString(args);
    EXPECT_NE(r.Err.find("usage: karvo-cli"), std::string::npos) << testing::PrintToString(args);
    EXPECT_TRUE(r.Out.empty()) << testing::PrintToString(args);
  }
}

TEST(CliPort, FailuresNameTheSystemsReason) {
  const TRun r = RunCli({"--port", "/dev/karvo-no-such-port", "identify"});
  EXPECT_EQ(r.Code, EXIT_NO_PORT);
  EXPECT_NE(r.Err.find("cannot open /dev/karvo-no-such-port: no such device"), std::string::npos)
      << r.Err;

  // The adapter is pulled while the answer is awaited.
  test::TPtyPeer peer;
  ASSERT_TRUE(peer.Ok()) << peer.Error();
  peer.Play({{.Expect = 2, .Answer = {}, .HangUp = true}});
  const TRun pulled = RunCli({"--port", peer.SlavePath(), "result"});
  EXPECT_EQ(pulled.Code, EXIT_DEVICE);
  EXPECT_NE(pulled.Err.find("status 4 (read failed): " + PortErrorReason(EIO)), std::string::npos)
      << pulled.Err;
}

// The rows run in order against one sensor and some build on the ones before (a value loaded,
// then compared; a file saved, then loaded).
TEST_F(SimCli, CommandsPrintTheirResultsAndExitByTheOutcome) {
  const std::string file = Dir.Path("set.prm");
  test::PutFile(Dir.Path("short.prm"), "0\t1\n1\t1\n");

  const struct {
    std::vector<std::string> args;
    int code;
    std::vector<std::string> out = {}, err = {};  // texts the output and messages contain
    std::function<void()> before = nullptr;
  } cases[] = {
      {{"identify"},
       EXIT_OK,
       {"device_type: 7\nrelease: 4\nserial_number: 1234\nbase_distance_mm: 60\n"
        "measuring_range_mm: 300\n"}},
      {{"--trace", "result"}, EXIT_OK, {}, {"> 05 86", " < "}},
      {{"write-registers", "160", "65", "66", "67", "0"}, EXIT_OK},
      {{"read-registers", "160", "3"}, EXIT_OK, {"160\t65\n161\t66\n162\t67\n"}},
      {{"read-params"},
       EXIT_OK,
       {"2\t    UART Baud Rate\t115200\t48\n", "31\t_\xD0\xA1ustomer\tABC\tABC\n"}},
      {{"load-param", "9", "1234"}, EXIT_OK},
      {{"compare", "9", "1234"}, EXIT_OK, {"Ok!"}},
      // Names and values with Cyrillic letters reach the terminal in UTF-8.
      {{"compare", "31", "\xD0\xA9"},
       EXIT_DIFFERENT,
       {"'_\xD0\xA1ustomer' not equal:\n'_\xD0\xA1ustomer': Write=\xD0\xA9, Read=ABC."}},
      {{"load-param", "9", "12x"}, EXIT_USAGE, {}, {"'12x' is not a valid integer value"}},
      {{"flash", "store"}, EXIT_OK, {"flash store: ok"}},
      {{"flash", "store"}, EXIT_DEVICE, {}, {"status 6"}, [&] { Sensor.WrongAckNext(); }},
      {{"save-params", file}, EXIT_OK},
      {{"save-params", file}, EXIT_FILE, {}, {"--force"}},
      {{"--force", "save-params", file}, EXIT_OK},
      {{"load-param", "10", "777"}, EXIT_OK},
      {{"compare-params", file}, EXIT_DIFFERENT, {"'Max Integration Time': Write="}},
      {{"load-params", file}, EXIT_OK},
      {{"compare-params", file}, EXIT_OK},
      {{"load-params", Dir.Path("short.prm")}, EXIT_FILE, {}, {"not a valid integer"}},
  };
  for (const auto& c : cases) {
    if (c.before) c.before();
    const TRun r = RunCli(c.args, Sensor.DevicePath());
    EXPECT_EQ(r.Code, c.code) << testing::PrintToString(c.args) << r.Err;
    for (const auto& text : c.out) EXPECT_NE(r.Out.find(text), std::string::npos) << r.Out;
    for (const auto& text : c.err) EXPECT_NE(r.Err.find(text), std::string::npos) << r.Err;
  }

  // Baud rate, address, type and serial number of the sensor found at the given settings first.
  EXPECT_EQ(Cli({"--trace", "scan"}), (Lines{"0", "115200 5 7 1234"})) << Err;
  // The first probe finds it; the same request again confirms it.
  EXPECT_EQ(std::count(Err.begin(), Err.end(), '>'), 2) << Err;
}

TEST_F(SimCli, MeasureAndStreamPrintWhatTheDisplayShowsSaveTheDataFileAndExitByTheOutcome) {
  EXPECT_EQ(Cli({"measure", "--count", "2"}), (Lines{"0", "150.0000 mm", "150.0000 mm"}));
  EXPECT_EQ(Cli({"measure", "--mode=NonLine", "--count=1"}), (Lines{"0", "8192 px"}));
  // The loop's mode only: the sensor is not written and still gives its "Line" result.
  EXPECT_EQ(Cli({"measure", "--mode", "Temperature", "--count", "1"}), (Lines{"0", "8192 cl"}));
  EXPECT_EQ(Sensor.Register(7), 0);

  // The samples are out before the data file turns out unwritable.
  Lines streamed(31, "150.0000 mm");
  streamed[0] = "5";
  EXPECT_EQ(Cli({"stream", "--count", "30", "--data", Dir.Path("no/x.dat")}), streamed);
  EXPECT_EQ(Err.rfind("stream: 30 samples in ", 0), 0u) << Err;
  EXPECT_NE(Err.find("Error writing "), std::string::npos) << Err;

  // The zero request is served by the first result; the sensor keeps the zero point.
  EXPECT_EQ(Cli({"measure", "--zero", "--count", "2", "--data", Dir.Path("zero.dat")}),
            (Lines{"0", "150.0000 mm", "0.0000 mm"}));
  EXPECT_EQ(test::FileBytes(Dir.Path("zero.dat")), "150.000\r\n0.000\r\n");

  const uint32_t answers = Sensor.AnswerCount();
  const Lines pulse = Cli({"measure", "--mode", "Pulse", "--count", "1"});
  ASSERT_EQ(pulse.size(), 4u);
  EXPECT_EQ(pulse[1].rfind("position: ", 0) + pulse[2].rfind("exposure: ", 0), 0u);
  EXPECT_EQ(std::count(pulse[3].begin(), pulse[3].end(), ' '), 127);

  // As many answers as the last run took: the connect and one result.
  Sensor.FailSilentAfter(static_cast<int>(Sensor.AnswerCount() - answers));
  EXPECT_EQ(Cli({"measure", "--count", "3"}), (Lines{"4", "0.0000 mm"}));
  EXPECT_NE(Err.find("the sensor stopped answering: status 3"), std::string::npos) << Err;
}

// The sensor rides on the simulated stage.
class SweepCli : public SimCli {
 protected:
  SweepCli() : SimCli(10) {}
  void SetUp() override {
    SimCli::SetUp();
    ASSERT_TRUE(Stage.Start());
    sim::CoupleSensorToStage(Sensor, Stage);
  }
  void TearDown() override {
    Sensor.SetTargetDistance(0);  // the stage goes before the sensor
  }

  sim::TStageSim Stage{{.MmPerUnit = sim::StageMmPerUnitForRange(10), .TimeScale = 0.001}};
};

TEST_F(SweepCli, SweepsWriteTheirFilesAnExistingOneNeedsForceAndStageFailuresHaveTheirExit) {
  const std::string stage = Stage.DevicePath(), verified = Dir.Path("v.pvk");
  const std::filesystem::path was = std::filesystem::current_path();
  std::filesystem::current_path(Dir.Root);
  const Lines calibrated = Cli({"sweep", "calibrate", "--stage", stage});
  std::filesystem::current_path(was);
  EXPECT_EQ(calibrated, (Lines{"0", "Steps: 681", "Table: loaded and checked"})) << Err;
  EXPECT_TRUE(std::filesystem::exists(Dir.Path("1234.klb")));

  const Lines verify = Cli({"sweep", "verify", "--stage=" + stage, "--file", verified});
  ASSERT_EQ(verify.size(), 2u) << Err;
  EXPECT_EQ(verify[0], "0") << Err;
  EXPECT_EQ(verify[1].rfind("Error: 0.0", 0), 0u) << verify[1];

  Stage.ClearRequests();
  EXPECT_EQ(Cli({"sweep", "verify", "--stage", stage, "--file", verified}), Lines{"5"});
  EXPECT_NE(Err.find("exists"), std::string::npos) << Err;
  EXPECT_TRUE(Stage.Requests().empty());
  EXPECT_EQ(Cli({"--force", "sweep", "verify", "--stage", stage, "--file", verified})[0], "0");

  EXPECT_EQ(Cli({"sweep", "end", "--stage", "/nonexistent/stage"}), Lines{"3"});
  EXPECT_NE(Err.find("cannot open the stage port /nonexistent/stage"), std::string::npos) << Err;

  Stage.FailSilent();
  EXPECT_EQ(Cli({"sweep", "home", "--stage", Stage.DevicePath()}), Lines{"4"});
  EXPECT_NE(Err.find("the stage stopped answering"), std::string::npos) << Err;
}

}  // namespace
}  // namespace karvo::cli
