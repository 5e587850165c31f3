// karvo-cli run in the test's process (and once as a child, for its signals): its arguments,
// and each command against the simulated sensor (and stage), seen through the output, the
// exit status and what reached the sensor.
#include <filesystem>
#include <functional>

#include "CliFixture.h"
#include "channel/Interface.h"
#include "cli/Json.h"
#include "sim/StageSim.h"
#include "support/PtyPeer.h"

namespace karvo::cli {
namespace {

TEST(CliArguments, BadArgumentsGetOneLineAndAHintAndExitTwo) {
  // Checked before the port is opened: a missing one would give another exit code.
  // clang-format off
  const std::vector<std::vector<std::string>> cases = {
      {}, {"frobnicate"}, {"--address", "0", "identify"}, {"identify", "--address", "128"},
      {"--baud", "fast", "identify"}, {"--port"}, {"--colour", "identify"}, {"--json=1", "identify"},
      {"read-registers", "256", "1"}, {"read-registers", "0", "0"}, {"read-registers", "250", "7"},
      {"write-registers", "4", "300"}, {"write-registers", "255", "1", "2"},
      {"load-param", "36", "1"}, {"flash", "erase"}, {"identify", "extra"}, {"scan", "--every"},
      {"identify", "--", "--trace"}, {"compare", "31", "-x"},
      {"scan", "--all", "more"}, {"measure", "--mode", "Calibration"}, {"measure", "--count", "0"},
      {"measure", "--data="}, {"measure", "--zero=1"}, {"measure", "Line"},
      {"stream", "--count=65536"}, {"stream", "--zero"}, {"stream", "--count"},
      {"sweep"}, {"sweep", "park", "--stage", "x"}, {"sweep", "home"},
      {"sweep", "home", "--stage", "x", "--file", "y"}, {"sweep", "verify", "--stage"},
      {"--address", "1,2", "flash", "store"}, {"--address", "1,1", "identify"},
      {"--address", "1,", "result"}, {"--address", "+1", "result"}, {"--address", "1,2", "stream"},
      {"--address", "3,4", "scan"}, {"--address", "1,2", "measure", "--data", "x"},
      {"--address", "1,2", "measure", "--mode", "Pulse"}, {"measure", "--count", "2x"},
      {"measure", "--count", " 2"}, {"--baud", "9600.0", "result"}, {"--baud", "", "result"},
      {"result", "--json", "--json=yes"}, {"--", "--", "result"},
      {"--baud", "12345", "result"}, {"--baud", "9601", "--json", "result"},
      {"measure", "--count", "2147483647"}, {"measure", "--count", "100000001", "--json"},
      {"stream", "--count", "70000"}, {"measure", "--mode", "lime", "--json"},
      {"--port", "ttyUSB0", "result"}, {"--port", "com9", "result"},
      {"--port", "tcp://host", "result"}, {"--port", "rfc2217://h:70000", "--json", "result"},
      {"--json", "frobnicate"}};
  // clang-format on
  for (auto args : cases) {
    args.insert(args.begin(), {"--port", "/dev/karvo-no-such-port"});
    const TRun r = RunCli(args);
    EXPECT_EQ(r.Code, EXIT_USAGE) << testing::PrintToString(args);
    // One line saying what is wrong, then where the help is; never the whole usage.
    EXPECT_TRUE(std::regex_match(
        r.Err, std::regex("karvo-cli: [^\n]+\nTry 'karvo-cli ([a-z-]+ )?--help' for more "
                          "information\\.\n")))
        << testing::PrintToString(args) << r.Err;
    // Asked for JSON, the error is a document too.
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    EXPECT_EQ(r.Out.rfind("{\"error\":{\"status\":30,\"name\":\"usage\",", 0) == 0, json)
        << testing::PrintToString(args) << r.Out;
    EXPECT_TRUE(!json || ValidJson(r.Out)) << r.Out;
  }
}

TEST(CliJson, EveryByteOfAStringSurvivesTheEscaping) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_TRUE(ValidJson(JsonQuoted(AsUtf8(all)) + "\n"));
  for (const char* bad :
       {"{\"a\":1,}\n", "[1 2]\n", "\"\x01\"\n", "{1:2}\n", "[01]\n", "\"\\x\"\n"})
    EXPECT_FALSE(ValidJson(bad)) << bad;  // the check itself
  EXPECT_EQ(JsonQuoted("a\"\\\n\x01"), "\"a\\\"\\\\\\n\\u0001\"");
  // Names are Windows-1251; the system's reasons are UTF-8 already.
  EXPECT_EQ(AsUtf8("_\xD1ustomer"), "_\xD0\xA1ustomer");
  EXPECT_EQ(AsUtf8("\xD0\xA1"), "\xD0\xA1");
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
// then compared; a file saved, then loaded). `changes`: register writes and flash commands the
// row may send, when that matters.
TEST_F(SimCli, CommandsPrintTheirResultsAndExitByTheOutcome) {
  const std::string file = Dir.Path("set.prm"), wide = Dir.Path("wide.prm");
  test::PutFile(Dir.Path("short.prm"), "0\t1\n1\t1\n");
  // "Number of Averaged Values" (register 6) takes 1 to 128.
  const auto widen = [&] {
    test::PutFile(wide,
                  std::regex_replace(test::FileBytes(file), std::regex("\n6\t\\d+"), "\n6\t200"));
  };
  // Identify answers; the compare's read does not (a row of its own register needs no other).
  const auto silent = [&] { Sensor.FailSilentAfter(1); };

  const struct {
    std::vector<std::string> args;
    int code;
    std::vector<std::string> out = {}, err = {};  // texts the output and messages contain
    std::function<void()> before = nullptr;
    long changes = -1;
  } cases[] = {
      {{"identify", "--json"},
       EXIT_OK,
       {"{\"device_type\":7,\"release\":4,\"serial_number\":1234,\"base_distance_mm\":60,"
        "\"measuring_range_mm\":300}\n"}},
      {{"result", "--trace"}, EXIT_OK, {"8192\n"}, {"> 05 86", " < "}},
      {{"--json", "result"}, EXIT_OK, {"{\"result\":8192}\n"}},
      {{"write-registers", "160", "65", "66", "67", "0"}, EXIT_OK},
      {{"read-registers", "160", "3"}, EXIT_OK, {"160\t65\n161\t66\n162\t67\n"}},
      {{"read-registers", "--json", "160", "2"},
       EXIT_OK,
       {"[{\"register\":160,\"value\":65},{\"register\":161,\"value\":66}]\n"}},
      {{"read-params"},
       EXIT_OK,
       {"2\tUART Baud Rate\t115200\t48\n", "31\t\xD0\xA1ustomer\tABC\tABC\n"}},
      {{"read-params", "--json"},
       EXIT_OK,
       {"[{\"row\":0,",
        "{\"row\":2,\"key\":\"uart_baud_rate\",\"name\":\"UART Baud Rate\",\"value\":\"115200\","
        "\"raw\":48}",
        "{\"row\":31,\"key\":\"customer\",\"name\":\"\xD0\xA1ustomer\",\"value\":\"ABC\","
        "\"raw\":null}"}},
      {{"load-param", "9", "1234"}, EXIT_OK},
      {{"compare", "9", "1234"}, EXIT_OK, {"Ok!"}},
      // Names and values with Cyrillic letters reach the terminal in UTF-8.
      {{"compare", "31", "\xD0\xA9"},
       EXIT_DIFFERENT,
       {"'\xD0\xA1ustomer' not equal:\n'\xD0\xA1ustomer': Write=\xD0\xA9, Read=ABC."}},
      {{"compare", "31", "\xD0\xA9", "--json"},
       EXIT_DIFFERENT,
       {"{\"equal\":false,\"differences\":[{\"row\":31,\"key\":\"customer\",\"name\":"
        "\"\xD0\xA1ustomer\",\"expected\":\"\xD0\xA9\",\"read\":\"ABC\",\"expected_raw\":null,"
        "\"read_raw\":null}]}\n"}},
      {{"compare", "--", "31", "-x"}, EXIT_DIFFERENT, {"Write=-x, Read=ABC."}},
      // Values their rows refuse go nowhere.
      {{"load-param", "9", "12x"}, EXIT_USAGE, {}, {"row 9"}, nullptr, 0},
      {{"load-param", "3", "200"}, EXIT_USAGE, {}, {"row 3"}, nullptr, 0},
      {{"load-param", "17", "zz"}, EXIT_USAGE, {}, {"row 17"}, nullptr, 0},
      {{"load-param", "9", "99999"}, EXIT_USAGE, {}, {"row 9"}, nullptr, 0},
      {{"flash", "store"}, EXIT_OK, {"flash store: ok"}},
      {{"flash", "store"}, EXIT_DEVICE, {}, {"status 6"}, [&] { Sensor.WrongAckNext(); }},
      // A failed factory write is not followed by the restore.
      {{"flash", "factory"}, EXIT_DEVICE, {}, {"status 6"}, [&] { Sensor.WrongAckNext(); }, 1},
      {{"save-params", file}, EXIT_OK},
      {{"save-params", file}, EXIT_FILE, {}, {"--force"}},
      {{"save-params", file, "--force"}, EXIT_OK},
      {{"load-param", "10", "777"}, EXIT_OK},
      {{"compare-params", file}, EXIT_DIFFERENT, {"'Max Integration Time': Write="}},
      {{"load-params", file}, EXIT_OK},
      {{"compare-params", file}, EXIT_OK},
      {{"load-params", wide}, EXIT_FILE, {}, {"row 8 (Number of Averaged Values): 200"}, widen, 0},
      {{"load-params", wide, "--force"}, EXIT_OK},
      {{"compare-params", wide, "--json"}, EXIT_OK, {"{\"equal\":true,\"differences\":[]}\n"}},
      {{"load-params", Dir.Path("short.prm")}, EXIT_FILE, {}, {"not a valid integer"}, nullptr, 0},
      // A read that fails is a failure, never a difference.
      {{"compare", "9", "1234"}, EXIT_DEVICE, {}, {"reading row 9 failed: status 3"}, silent},
      {{"compare", "9", "1234", "--json"}, EXIT_DEVICE, {"{\"error\":{\"status\":3,"}, {}, silent},
  };
  for (const auto& c : cases) {
    Sensor.ClearFaults();
    if (c.before) c.before();
    Sensor.ClearRequests();
    const TRun r = RunCli(At(c.args));
    const std::string name = testing::PrintToString(c.args);
    EXPECT_EQ(r.Code, c.code) << name << r.Err;
    for (const auto& text : c.out) EXPECT_NE(r.Out.find(text), std::string::npos) << name << r.Out;
    for (const auto& text : c.err) EXPECT_NE(r.Err.find(text), std::string::npos) << name << r.Err;
    EXPECT_TRUE(c.changes < 0 || Changes() == c.changes) << name << Changes();
    const bool json = std::count(c.args.begin(), c.args.end(), "--json") > 0;
    // Success or failure, one document.
    EXPECT_TRUE(!json || ValidJson(r.Out)) << name << r.Out;
  }
  Sensor.ClearFaults();

  // Baud rate, address, type and serial number of the sensor found at the given settings first.
  EXPECT_EQ(Said({"--trace", "scan"}), (Lines{"0", "115200 5 7 1234"})) << Err;
  // The first probe finds it; the same request again confirms it.
  EXPECT_EQ(std::count(Err.begin(), Err.end(), '>'), 2) << Err;
  EXPECT_EQ(
      Said({"scan", "--json"}),
      (Lines{"0", "[{\"baud\":115200,\"address\":5,\"device_type\":7,\"serial_number\":1234}]"}));
  // The port's own options may follow the command too.
  EXPECT_EQ(
      RunCli({"identify", "--port", Sensor.DevicePath(), "--baud=115200", "--address", "5"}).Code,
      EXIT_OK);
}

TEST_F(SimCli, MeasureAndStreamPrintWhatTheDisplayShowsSaveTheDataFileAndExitByTheOutcome) {
  EXPECT_EQ(Said({"measure", "--count", "2"}), (Lines{"0", "150.0000 mm", "150.0000 mm"}));
  EXPECT_EQ(Said({"measure", "--mode=NonLine", "--count=1"}), (Lines{"0", "8192 px"}));
  // The mode of this run only: the sensor is not written and still gives its "Line" result.
  EXPECT_EQ(Said({"measure", "--mode", "Temperature", "--count", "1"}), (Lines{"0", "8192 cl"}));
  EXPECT_EQ(Sensor.Register(7), 0);
  EXPECT_EQ(Cli({"measure", "--count", "2", "--json"}), EXIT_OK);
  EXPECT_EQ(WithoutTimes(Out), "{\"unit\":\"mm\",\"values\":[150,150]}\n");
  EXPECT_EQ(Cli({"--json", "stream", "--count", "3"}), EXIT_OK);
  EXPECT_EQ(WithoutTimes(Out), "{\"unit\":\"mm\",\"lost\":0,\"values\":[150,150,150]}\n");
  const Lines pulses = Said({"measure", "--mode", "Pulse", "--count", "2", "--json"});
  ASSERT_EQ(pulses.size(), 2u);
  EXPECT_TRUE(ValidJson(pulses[1] + "\n")) << pulses[1];

  // A data file that cannot be written is refused before the run, not after it.
  EXPECT_EQ(Said({"stream", "--count", "30", "--data", Dir.Path("no/x.dat")}), (Lines{"5"}));
  EXPECT_EQ(Err.rfind("karvo-cli: Error writing ", 0), 0u) << Err;

  // The zero set comes first; the sensor keeps the zero point.
  EXPECT_EQ(Said({"measure", "--zero", "--count", "2", "--data", Dir.Path("zero.dat")}),
            (Lines{"0", "0.0000 mm", "0.0000 mm"}));
  EXPECT_EQ(test::FileBytes(Dir.Path("zero.dat")), "0.000\r\n0.000\r\n");
  EXPECT_EQ(Said({"result"}), (Lines{"0", "0"}));

  const Lines pulse = Said({"measure", "--mode", "Pulse", "--count", "1"});
  ASSERT_EQ(pulse.size(), 4u);
  EXPECT_EQ(pulse[1].rfind("position: ", 0) + pulse[2].rfind("exposure: ", 0), 0u);
  EXPECT_EQ(std::count(pulse[3].begin(), pulse[3].end(), ' '), 127);

  // Identify, the mode row and one result.
  Sensor.FailSilentAfter(3);
  EXPECT_EQ(Said({"measure", "--count", "3"}), (Lines{"4", "0.0000 mm"}));
  EXPECT_NE(Err.find("status 3"), std::string::npos) << Err;
}

// The program itself, stopped by Ctrl-C in the middle of a stream that would last a minute.
TEST_F(SimCli, AnInterruptedStreamStopsTheSensorAndEndsWith130) {
  const auto child = Child({"stream", "--count", "65535"});
  for (int i = 0; i < 1000 && Sensor.StreamSamplesSent() < 100; ++i) usleep(10000);
  child->Signal(SIGINT);
  EXPECT_EQ(child->Wait(), 130) << test::FileBytes(Dir.Path("err"));
  EXPECT_EQ(test::FileBytes(Dir.Path("out")).rfind("150.0000 mm\n", 0), 0u);
  EXPECT_TRUE(test::StreamStopped(Sensor));
  EXPECT_EQ(Said({"identify"})[0], "0") << Err;
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
  const Lines calibrated = Said({"sweep", "calibrate", "--stage", stage});
  std::filesystem::current_path(was);
  EXPECT_EQ(calibrated, (Lines{"0", "Steps: 681", "Table: loaded and checked"})) << Err;
  EXPECT_TRUE(std::filesystem::exists(Dir.Path("1234.klb")));

  const Lines verify = Said({"sweep", "verify", "--stage=" + stage, "--file", verified});
  ASSERT_EQ(verify.size(), 2u) << Err;
  EXPECT_EQ(verify[0], "0") << Err;
  EXPECT_EQ(verify[1].rfind("Error: 0.0", 0), 0u) << verify[1];

  Stage.ClearRequests();
  EXPECT_EQ(Said({"sweep", "verify", "--stage", stage, "--file", verified}), Lines{"5"});
  EXPECT_NE(Err.find("exists"), std::string::npos) << Err;
  EXPECT_TRUE(Stage.Requests().empty());
  const Lines json =
      Said({"sweep", "verify", "--stage", stage, "--file", verified, "--force", "--json"});
  ASSERT_EQ(json.size(), 2u) << Err;
  EXPECT_TRUE(ValidJson(json[1] + "\n")) << json[1];
  EXPECT_NE(json[1].find("\"error_percent\":0.0"), std::string::npos) << json[1];

  EXPECT_EQ(Said({"sweep", "end", "--stage", "/nonexistent/stage"}), Lines{"3"});
  EXPECT_NE(Err.find("cannot open the stage port /nonexistent/stage"), std::string::npos) << Err;

  Stage.FailSilent();
  EXPECT_EQ(Said({"sweep", "home", "--stage", stage}), Lines{"4"});
  EXPECT_NE(Err.find("the stage on " + stage + " stopped answering"), std::string::npos) << Err;
}

}  // namespace
}  // namespace karvo::cli
