#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>

#include "CliRun.h"
#include "channel/Interface.h"
#include "sim/SensorSim.h"
#include "support/PtyPeer.h"
#include "support/ScratchDir.h"

namespace karvo::cli {
namespace {

using test::RunCli;

TEST(CliArguments, BadArgumentsGetUsageAndExitTwo) {
  // Checked before the port is opened: a missing one would give another exit code.
  // clang-format off
  const std::vector<std::vector<std::string>> cases = {
      {}, {"frobnicate"}, {"--address", "0", "identify"}, {"--address", "128", "identify"},
      {"--address", "x", "identify"}, {"--baud", "fast", "identify"}, {"--port"},
      {"--colour", "identify"}, {"read-registers", "256", "1"}, {"read-registers", "0", "0"},
      {"read-registers", "250", "7"}, {"read-registers", "0x10", "1"},
      {"write-registers", "4", "300"}, {"write-registers", "255", "1", "2"},
      {"load-param", "36", "1"}, {"flash", "erase"}, {"identify", "extra"}, {"scan", "--every"},
      {"scan", "--all", "more"}, {"measure", "--mode", "Calibration"}, {"measure", "--count", "0"},
      {"measure", "--data="}, {"measure", "--zero=1"}, {"measure", "Line"},
      {"stream", "--count=65536"}, {"stream", "--zero"}, {"stream", "--count"}};
  // clang-format on
  for (auto args : cases) {
    args.insert(args.begin(), {"--port", "/dev/karvo-no-such-port"});
    const test::TRun r = RunCli(args);
    EXPECT_EQ(r.Code, EXIT_USAGE) << testing::PrintToString(args);
    EXPECT_NE(r.Err.find("usage: karvo-cli"), std::string::npos) << testing::PrintToString(args);
    EXPECT_TRUE(r.Out.empty()) << testing::PrintToString(args);
  }
}

TEST(CliPort, FailuresNameTheSystemsReason) {
  const test::TRun r = RunCli({"--port", "/dev/karvo-no-such-port", "identify"});
  EXPECT_EQ(r.Code, EXIT_NO_PORT);
  EXPECT_NE(r.Err.find("cannot open /dev/karvo-no-such-port: no such device"), std::string::npos)
      << r.Err;

  // The adapter is pulled while the answer is awaited.
  test::TPtyPeer peer;
  ASSERT_TRUE(peer.Ok()) << peer.Error();
  peer.Play({{.Expect = 2, .Answer = {}, .HangUp = true}});
  const test::TRun pulled = RunCli({"--port", peer.SlavePath(), "result"});
  EXPECT_EQ(pulled.Code, EXIT_DEVICE);
  EXPECT_NE(pulled.Err.find("status 4 (read failed): " + PortErrorReason(EIO)), std::string::npos)
      << pulled.Err;
}

// One simulated sensor for the whole table; the rows run in order and some build on the ones
// before (a value loaded, then compared; a file saved, then loaded).
TEST(CliWithSensor, CommandsAgainstASimulatedSensor) {
  sim::TSensorSim sim({.Address = 5,
                       .Baud = 115200,
                       .MeasuringRange = 300,
                       .BaseDistance = 80,
                       .SerialNumber = 4321,
                       .Pace = false,
                       .FlashWriteMs = 20});
  ASSERT_TRUE(sim.Start());
  test::TScratchDir dir;
  const std::string file = dir.Path("set.prm"), fifo = dir.Path("fifo.prm");
  test::PutFile(dir.Path("short.prm"), "0\t1\n1\t1\n");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  const struct {
    std::vector<std::string> args;
    int code;
    std::vector<std::string> out = {}, err = {};  // texts the output and messages contain
    std::function<void()> before = nullptr;
  } cases[] = {
      {{"identify"},
       EXIT_OK,
       {"device_type: 7\nrelease: 4\nserial_number: 4321\nbase_distance_mm: 80\n"
        "measuring_range_mm: 300\n"}},
      {{"--address", "6", "result"}, EXIT_DEVICE, {}, {"status 3"}},
      {{"--trace", "result"}, EXIT_OK, {}, {"> 05 86", " < "}},
      {{"write-registers", "160", "65", "66", "67", "0"}, EXIT_OK},
      {{"read-registers", "160", "3"}, EXIT_OK, {"160\t65\n161\t66\n162\t67\n"}},
      {{"read-params"},
       EXIT_OK,
       {"2\t    UART Baud Rate\t115200\t48\n", "31\t_\xD0\xA1ustomer\tABC\tABC\n"}},
      {{"load-param", "9", "1234"}, EXIT_OK},
      {{"compare", "9", "1234"}, EXIT_OK, {"Ok!"}},
      {{"compare", "9", "1235"}, EXIT_DIFFERENT, {"Write=1235, Read=1234."}},
      // Names and values with Cyrillic letters reach the terminal in UTF-8.
      {{"compare", "31", "\xD0\xA9"},
       EXIT_DIFFERENT,
       {"'_\xD0\xA1ustomer' not equal:\n'_\xD0\xA1ustomer': Write=\xD0\xA9, Read=ABC."}},
      {{"load-param", "9", "12x"}, EXIT_USAGE, {}, {"'12x' is not a valid integer value"}},
      {{"flash", "store"}, EXIT_OK, {"flash store: ok"}},
      {{"flash", "store"}, EXIT_DEVICE, {}, {"status 6"}, [&] { sim.WrongAckNext(); }},
      {{"save-params", file}, EXIT_OK},
      {{"save-params", file}, EXIT_FILE, {}, {"--force"}},
      {{"--force", "save-params", file}, EXIT_OK},
      {{"compare-params", file}, EXIT_OK},
      {{"load-param", "10", "777"}, EXIT_OK},
      {{"compare-params", file}, EXIT_DIFFERENT, {"'Max Integration Time': Write="}},
      {{"load-params", file}, EXIT_OK},
      {{"compare-params", file}, EXIT_OK},
      {{"load-params", dir.Path("short.prm")}, EXIT_FILE, {}, {"not a valid integer"}},
      {{"load-params", fifo}, EXIT_FILE},  // refused at once, not waited on for a writer
  };
  for (const auto& c : cases) {
    if (c.before) c.before();
    const test::TRun r = RunCli(c.args, sim.DevicePath());
    EXPECT_EQ(r.Code, c.code) << testing::PrintToString(c.args) << r.Err;
    for (const auto& text : c.out) EXPECT_NE(r.Out.find(text), std::string::npos) << r.Out;
    for (const auto& text : c.err) EXPECT_NE(r.Err.find(text), std::string::npos) << r.Err;
  }
  EXPECT_EQ(sim.Register(8), 1234 & 0xFF);
  EXPECT_EQ(sim.Register(9), 1234 >> 8);
}

}  // namespace
}  // namespace karvo::cli
