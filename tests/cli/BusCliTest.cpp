// karvo-cli with several sensors on one line: lists of addresses, rounds of measurements, the
// rule for a sensor that stops answering, and the parser's own answers (help, version).
#include <csignal>
#include <filesystem>

#include "CliFixture.h"

namespace karvo::cli {
namespace {

// Three sensors at 1, 2 and 3, their targets at half the range (150 mm, 8192).
class BusCli : public ::testing::Test {
 protected:
  BusCli()
      : Sim({.Baud = 115200,
             .MeasuringRange = 300,
             .Pace = false,
             .Noise = 0,
             .Addresses = {1, 2, 3}}) {}
  void SetUp() override { ASSERT_TRUE(Sim.Start()); }

  TRun Cli(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", Sim.DevicePath(), "--baud", "115200"});
    return RunCli(args);
  }

  sim::TSensorSim Sim;
  test::TScratchDir Dir;
};

std::string IdentityLines(int serial) {
  return "device_type: 7\nrelease: 4\nserial_number: " + std::to_string(serial) +
         "\nbase_distance_mm: 60\nmeasuring_range_mm: 300\n";
}

TEST_F(BusCli, ListsGiveOneEntryASensorInTheOrderGiven) {
  const std::string mm = "150.0000 mm";
  const struct {
    std::vector<std::string> Args;
    std::string Out;
  } cases[] = {
      {{"identify", "--address", "3,1"},
       "address 3\n" + IdentityLines(1236) + "address 1\n" + IdentityLines(1234)},
      {{"--json", "--address=2,3", "identify"},
       "[{\"address\":2,\"device_type\":7,\"release\":4,\"serial_number\":1235,"
       "\"base_distance_mm\":60,\"measuring_range_mm\":300},{\"address\":3,\"device_type\":7,"
       "\"release\":4,\"serial_number\":1236,\"base_distance_mm\":60,\"measuring_range_mm\":300}]"
       "\n"},
      {{"result", "--address", "1,2,3", "--json"},
       "[{\"address\":1,\"result\":8192},{\"address\":2,\"result\":8192},"
       "{\"address\":3,\"result\":8192}]\n"},
      {{"result", "--address", "2,1"}, "address 2\n8192\naddress 1\n8192\n"},
      // One address keeps the single sensor's document.
      {{"result", "--address", "2", "--json"}, "{\"result\":8192}\n"},
      {{"measure", "--address", "1,3,2", "--count", "2"},
       "round\t1\t3\t2\n1\t" + mm + "\t" + mm + "\t" + mm + "\n2\t" + mm + "\t" + mm + "\t" + mm +
           "\n"},
      // A command's own options may come before it too.
      {{"--count", "2", "--address=1,3,2", "measure"},
       "round\t1\t3\t2\n1\t" + mm + "\t" + mm + "\t" + mm + "\n2\t" + mm + "\t" + mm + "\t" + mm +
           "\n"},
      {{"measure", "--address", "3,2", "--count", "2", "--json", "--mode", "NonLine"},
       "{\"unit\":\"px\",\"addresses\":[3,2],\"rounds\":[[8192,8192],[8192,8192]]}\n"},
  };
  for (const auto& c : cases) {
    const TRun r = Cli(c.Args);
    EXPECT_EQ(r.Code, EXIT_OK) << testing::PrintToString(c.Args) << r.Err;
    EXPECT_EQ(WithoutTimes(r.Out), c.Out) << testing::PrintToString(c.Args);
  }
}

TEST_F(BusCli, ReadParamsNestsEachSensorsSet) {
  const TRun r = Cli({"read-params", "--address", "2,3", "--json"});
  ASSERT_EQ(r.Code, EXIT_OK) << r.Err;
  EXPECT_EQ(r.Out.rfind("[{\"address\":2,\"parameters\":[{\"row\":0,", 0), 0u) << r.Out;
  // Each set has its own address in row 3.
  for (const char* address : {"2", "3"}) {
    EXPECT_NE(r.Out.find(
                  std::string("{\"row\":3,\"key\":\"uart_network_address\",\"name\":\"UART Network "
                              "Address\",\"value\":\"") +
                  address + "\""),
              std::string::npos);
  }
  const TRun text = Cli({"read-params", "--address", "3,2"});
  EXPECT_EQ(text.Out.rfind("address 3\n0\t", 0), 0u);
  EXPECT_NE(text.Out.find("\naddress 2\n0\t"), std::string::npos);
}

// Round 1 whole; then 2 is silent for rounds 2 to 4, and the run ends after the third of
// them, keeping what it measured.
TEST_F(BusCli, ASensorSilentThreeRoundsInARowEndsTheRunWithWhatWasMeasured) {
  Sim.FailSilentAt(2, 3);  // identify, its mode register, round 1
  const std::string csv = Dir.Path("rounds.csv");
  const TRun r = Cli({"measure", "--address", "1,2,3", "--count", "10", "--json", "--csv", csv});
  EXPECT_EQ(r.Code, EXIT_DEVICE);
  EXPECT_NE(r.Err.find("address 2 did not answer 3 rounds in a row"), std::string::npos) << r.Err;
  EXPECT_EQ(WithoutTimes(r.Out),
            "{\"unit\":\"mm\",\"addresses\":[1,2,3],\"rounds\":[[150,150,150],[150,null,150],"
            "[150,null,150],[150,null,150]]}\n");
  const std::string written = test::FileBytes(csv);
  EXPECT_TRUE(std::regex_match(written, std::regex("round,time_s,1,2,3\n"
                                                   "1,\\d+\\.\\d{6},150,150,150\n"
                                                   "(\\d,\\d+\\.\\d{6},150,,150\n){3}")))
      << written;
}

TEST_F(BusCli, AStoppedRunPrintsOneDocumentAndOneSensorKeepsItsDataFile) {
  TInterrupt interrupt;
  interrupt.Raise(SIGINT);
  std::ostringstream out, err;
  const int code = cli::Run(
      {"--port", Sim.DevicePath(), "--baud", "115200", "--address", "1,2", "measure", "--json"},
      out, err, &interrupt);
  EXPECT_EQ(code, 130);
  // Stopped before a round: nothing taken, and the stop is the document.
  EXPECT_EQ(out.str().rfind("{\"error\":{\"status\":20,\"name\":\"cancelled\",", 0), 0u)
      << out.str();

  const std::string csv = Dir.Path("one.csv"), data = Dir.Path("one.dat");
  const TRun r = Cli({"measure", "--address", "3", "--count", "3", "--csv", csv, "--data", data});
  EXPECT_EQ(r.Code, EXIT_OK) << r.Err;
  EXPECT_EQ(r.Out.rfind("round\t3\n1\t150.0000 mm\n", 0), 0u) << r.Out;
  EXPECT_TRUE(std::filesystem::exists(csv));
  EXPECT_GT(std::filesystem::file_size(data), 0u);
}

TEST(CliHelp, HelpAndVersionGoToStdoutAndSucceed) {
  const struct {
    std::vector<std::string> Args;
    std::string Begins;
    std::string Holds;
  } cases[] = {
      {{"--help"}, "usage: karvo-cli ", "  sweep calibrate|verify|home|end --stage PORT"},
      {{"-h"}, "usage: karvo-cli ", "exit status: 0 success"},
      {{"measure", "--help"}, "usage: karvo-cli ", "  measure [--mode Line|NonLine|"},
      {{"--port", "x", "flash", "-h"}, "usage: karvo-cli ", "  flash store|restore|factory"},
      {{"--version"}, "karvo-cli ", ""},
  };
  for (const auto& c : cases) {
    const TRun r = RunCli(c.Args);
    EXPECT_EQ(r.Code, EXIT_OK) << testing::PrintToString(c.Args);
    EXPECT_EQ(r.Out.rfind(c.Begins, 0), 0u) << r.Out;
    EXPECT_NE(r.Out.find(c.Holds), std::string::npos) << r.Out;
    EXPECT_TRUE(r.Err.empty());
  }
  // A command's help is about that command.
  EXPECT_EQ(RunCli({"flash", "--help"}).Out.find("  measure "), std::string::npos);
}

TEST(CliNumbers, OnlyWholeDecimalNumbersInRangeAreTaken) {
  const std::pair<const char*, long> taken[] = {{"0", 0}, {"-5", -5}, {"+7", 7}, {"127", 127}};
  for (const auto& [text, expected] : taken) {
    long value = 4242;
    EXPECT_TRUE(ParseNumber(text, -128, 127, value)) << text;
    EXPECT_EQ(value, expected) << text;
  }
  for (const char* text : {"128", "", "+", "-", "1e2", "0x10", " 1", "1 ", "+-1", "--1", "12a",
                           "-129", "99999999999999999999"}) {
    long value = 4242;
    EXPECT_FALSE(ParseNumber(text, -128, 127, value)) << text;
    EXPECT_EQ(value, 4242) << text;  // left alone
  }
}

}  // namespace
}  // namespace karvo::cli
