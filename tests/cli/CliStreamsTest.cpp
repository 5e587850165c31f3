// The program as scripts meet it: standard streams that are closed, full or gone, one JSON
// document for every outcome, an interrupted run that keeps what it took, files that are no
// regular files or hold bad lines, and a parameter file from another sensor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "CliFixture.h"
#include "support/Ser2net.h"

namespace karvo::cli {
namespace {

using CliStreams = SimCli;

// Nothing but requests reaches the sensor, whatever the standard descriptors are.
TEST_F(CliStreams, ClosedOrFullStandardStreamsNeverReachTheSensorAndAreReported) {
  const auto full = [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); };
  const struct {
    const char* Name;
    std::vector<std::string> Args;
    std::function<void()> Setup;
    int Status;
    const char* Said;  // on stderr
  } cases[] = {
      {"stdout closed", {"identify"}, [] { close(STDOUT_FILENO); }, 0, ""},
      {"stderr closed", {"--trace", "read-params"}, [] { close(STDERR_FILENO); }, 0, ""},
      {"all closed", {"--trace", "identify"}, [] { close(0), close(1), close(2); }, 0, ""},
      {"stdout full",
       {"identify"},
       full,
       EXIT_FILE,
       "karvo-cli: writing the output: No space left on device\n"},
      {"measure into a full disk",
       {"measure", "--count", "3000"},
       full,
       EXIT_FILE,
       "No space left on device"},
  };
  for (const auto& c : cases) {
    Sensor.ClearRequests();
    const int status = Child(c.Args, c.Setup)->Wait();
    const std::string err = test::FileBytes(Dir.Path("err"));
    EXPECT_EQ(status, c.Status) << c.Name << err;
    EXPECT_NE(err.find(c.Said), std::string::npos) << c.Name << err;
    // Every request is one the sensor understood: a request of ours starts with its address.
    for (const auto& request : Sensor.Requests()) {
      ASSERT_FALSE(request.empty());
      EXPECT_EQ(request[0], 5) << c.Name;
    }
    // A run cut short by its output does not go on measuring.
    EXPECT_LT(Sensor.Requests().size(), 3000u) << c.Name;
  }
}

// `stream | head -1`: the reader goes away, the sensor stops streaming, exit 141.
TEST_F(CliStreams, AReaderThatGoesAwayStopsTheStreamWith141) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const auto child = Child({"stream", "--count", "60000"}, [&pipeFds] {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
  });
  close(pipeFds[1]);
  // The first line comes while the stream runs: lines into a pipe are not held back.
  std::string line;
  char c = 0;
  while (read(pipeFds[0], &c, 1) == 1 && c != '\n') line += c;
  EXPECT_EQ(line, "150.0000 mm");
  EXPECT_TRUE(Sensor.Streaming());
  close(pipeFds[0]);
  // Ended by the signal itself or exiting as a shell would report that.
  const int status = child->Wait();
  EXPECT_EQ(status == -SIGPIPE ? 141 : status, 141) << test::FileBytes(Dir.Path("err"));
  EXPECT_TRUE(test::StreamStopped(Sensor));
  EXPECT_EQ(Cli({"result"}), EXIT_OK) << Err;
}

// Every failure kind with --json: one document, the exit status, a stable name and the
// reason stderr gives.
TEST_F(CliStreams, EveryFailureIsOneErrorDocument) {
  const std::string dir = Dir.Path("");
  const struct {
    std::vector<std::string> Args;
    int Code;
    const char* Name;
    int SilentAfter = -1;
  } cases[] = {
      {{"load-param", "8", "FOUR"}, EXIT_USAGE, "usage"},
      {{"--port", "/dev/karvo-no-such-port", "identify"}, EXIT_NO_PORT, "not_open"},
      {{"identify"}, EXIT_DEVICE, "no_answer", 0},
      {{"load-params", "/nonexistent/x.prm"}, EXIT_FILE, "file"},
      {{"save-params", dir}, EXIT_FILE, "file"},
      {{"measure", "--data", dir}, EXIT_FILE, "file"},
  };
  const std::regex document(
      R"RE(\{"error":\{"status":(\d+),"name":"([a-z_]+)","reason":"([^"]+)","doing":"[^"]*"\}\}\n)RE");
  for (const auto& c : cases) {
    Sensor.ClearFaults();
    if (c.SilentAfter >= 0) Sensor.FailSilentAfter(c.SilentAfter);
    std::vector<std::string> args = c.Args;
    args.push_back("--json");
    EXPECT_EQ(Cli(args), c.Code) << testing::PrintToString(c.Args) << Err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(Out, m, document)) << testing::PrintToString(c.Args) << Out;
    EXPECT_EQ(m[2].str(), c.Name) << Out;
    EXPECT_EQ(StatusNameOf(static_cast<uint32_t>(std::stoul(m[1].str()))), c.Name);
    // The same words as on stderr (there also JSON-escaped, so compare the start).
    EXPECT_NE(Err.find(m[3].str().substr(0, 20)), std::string::npos) << Err << Out;
  }
}

// Ctrl-C in the middle of a measure: what was measured is printed and written, exit 130.
TEST_F(CliStreams, AnInterruptedMeasureKeepsWhatItTook) {
  const std::string data = Dir.Path("m.dat");
  for (const bool json : {true, false}) {
    std::filesystem::remove(data);
    TInterrupt interrupt;
    std::ostringstream out, err;
    const uint32_t before = Sensor.AnswerCount();
    std::thread stopper([&] {
      for (int i = 0; i < 500 && Sensor.AnswerCount() < before + 60; ++i) {
        usleep(10000);
      }
      interrupt.Raise(SIGINT);
    });
    Lines args = At({"measure", "--count", "100000000", "--data", data});
    if (json) args.push_back("--json");
    const int code = cli::Run(args, out, err, &interrupt);
    stopper.join();
    EXPECT_EQ(code, 130) << err.str();
    const std::string text = out.str();
    if (json) {
      EXPECT_EQ(text.rfind("{\"unit\":\"mm\",\"start\":", 0), 0u) << text;
      EXPECT_NE(text.find("\"values\":[150,"), std::string::npos) << text;
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    } else {
      EXPECT_EQ(text.rfind("150.0000 mm\n150.0000 mm\n", 0), 0u) << text;
    }
    EXPECT_GT(std::filesystem::file_size(data), 0u);
  }
}

// A one-row command reads only the register its row shares: identify, that read, the write.
// The neighbours' bits stay; pick-list values and modes are taken in any letter case.
TEST_F(CliStreams, OneShotCommandsReadOnlyWhatTheyNeed) {
  const struct {
    std::vector<std::string> Args;
    size_t Requests;
    int Register2 = -1;
  } cases[] = {
      {{"load-param", "6", "full"}, 3, 9 | 2},  // register 2 shared by four rows
      {{"load-param", "6", "WINDOW"}, 3, 9},
      {{"compare", "6", "window"}, 3},
      {{"load-param", "9", "1000"}, 3},  // a register pair of its own: no read, two writes
      {{"measure", "--count", "1"}, 3},  // identify, the mode row, one result
      {{"measure", "--count", "1", "--mode", "nonline"}, 2},
      {{"stream", "--count", "1"}, 3},  // and the stream's start and stop
  };
  ASSERT_EQ(Cli({"write-registers", "2", "9"}), EXIT_OK) << Err;
  for (const auto& c : cases) {
    Sensor.ClearRequests();
    EXPECT_EQ(Cli(c.Args), EXIT_OK) << testing::PrintToString(c.Args) << Err;
    const size_t requests = Sensor.Requests().size();
    // A stream's own requests (start, stop) come on top of its reads.
    if (c.Args[0] == "stream") {
      EXPECT_LE(requests, c.Requests + 2) << testing::PrintToString(c.Args);
    } else {
      EXPECT_EQ(requests, c.Requests) << testing::PrintToString(c.Args);
    }
    if (c.Register2 >= 0) {
      EXPECT_EQ(Sensor.Register(2), c.Register2);
    }
  }
}

// Ctrl-C in the middle of a long command ends it after the exchange under way, not at the
// end of a row (the Customer row alone is many exchanges).
TEST_F(CliStreams, AStopIsServedWithinOneExchange) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"read-params"}, {"save-params", Dir.Path("stop.prm")}}) {
    for (const uint32_t after : {40u, 100u}) {
      TInterrupt interrupt;
      const uint32_t before = Sensor.AnswerCount();
      std::atomic<uint32_t> atStop{0};
      std::thread stopper([&] {
        for (int i = 0; i < 500 && Sensor.AnswerCount() < before + after; ++i) usleep(1000);
        interrupt.Raise(SIGINT);
        atStop = Sensor.AnswerCount();
      });
      std::ostringstream out, err;
      const int code = cli::Run(At(args), out, err, &interrupt);
      stopper.join();
      EXPECT_EQ(code, 130) << testing::PrintToString(args) << err.str();
      EXPECT_LE(Sensor.AnswerCount(), atStop + 1) << testing::PrintToString(args) << after;
      EXPECT_FALSE(std::filesystem::exists(Dir.Path("stop.prm")));
    }
  }
}

// A file saved from another sensor: its identity rows are warned of, or kept.
TEST_F(CliStreams, AnotherSensorsFileKeepsTheIdentityOnlyWhenAsked) {
  const std::string file = Dir.Path("golden.prm");
  ASSERT_EQ(Cli({"save-params", file}), EXIT_OK) << Err;
  std::string bytes = test::FileBytes(file);
  bytes = std::regex_replace(bytes, std::regex("\n146\t1234"), "\n146\t4321");
  test::PutFile(file, bytes);

  ASSERT_EQ(Cli({"load-params", file, "--keep-identity"}), EXIT_OK) << Err;
  EXPECT_EQ(Err.find("warning"), std::string::npos) << Err;
  ASSERT_EQ(Cli({"identify"}), EXIT_OK);
  EXPECT_NE(Out.find("serial_number: 1234\n"), std::string::npos) << Out;

  ASSERT_EQ(Cli({"load-params", file}), EXIT_OK) << Err;
  EXPECT_NE(Err.find("warning"), std::string::npos) << Err;
  EXPECT_NE(Err.find("4321"), std::string::npos) << Err;
  ASSERT_EQ(Cli({"identify"}), EXIT_OK);
  EXPECT_NE(Out.find("serial_number: 4321\n"), std::string::npos) << Out;
}

// A network port the program cannot set the line of says so on stderr, and works.
TEST(CliNetworkPort, ATcpPortsNoticeGoesToStderr) {
  sim::TSensorSim sim({.Baud = 9600, .Pace = false, .Noise = 0});
  ASSERT_TRUE(sim.Start());
  test::TSer2net server;
  std::string why;
  if (!server.Start({{sim.DevicePath(), "9600e81"}}, why)) GTEST_SKIP() << why;
  std::ostringstream out, err;
  const int code = cli::Run({"--port", server.RawUrl(), "--json", "result"}, out, err);
  EXPECT_EQ(code, EXIT_OK) << err.str();
  EXPECT_EQ(out.str(), "{\"result\":8192}\n") << err.str();
  EXPECT_NE(err.str().find("karvo-cli: a tcp:// port cannot set the line"), std::string::npos)
      << err.str();
}

// Files the command line writes and reads: what is no regular file is refused and left as it
// is, before the sensor is touched where that can be known; texts keep their leading blanks;
// a bad parameter file is named with its line and never echoed raw.
TEST_F(CliStreams, WhatIsNoRegularFileIsRefusedAndLeftAsItIs) {
  ASSERT_EQ(mkfifo(Dir.Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(Dir.Path("adir").c_str(), 0700), 0);
  struct Case {
    std::vector<std::string> Args;
    std::string Said;
    bool SensorTouched;
  };
  const Case cases[] = {
      {{"save-params", Dir.Path("fifo")}, "Error writing '" + Dir.Path("fifo") + "'. ", false},
      {{"save-params", Dir.Path("fifo"), "--force"}, "File exists.", false},
      {{"save-params", Dir.Path("adir")}, "'. Is a directory.", false},
      {{"save-params", ""}, "Error writing ''. No such file or directory.", false},
      {{"measure", "--count", "3", "--data", Dir.Path("fifo")}, Dir.Path("fifo") + "'", false},
      {{"stream", "--data", Dir.Path("fifo"), "--force"}, Dir.Path("fifo") + "'", false},
  };
  for (const Case& c : cases) {
    Sensor.ClearRequests();
    EXPECT_EQ(Cli(c.Args), EXIT_FILE) << c.Args[0] << " " << c.Args[1];
    EXPECT_NE(Err.find(c.Said), std::string::npos) << Err;
    EXPECT_EQ(!Sensor.Requests().empty(), c.SensorTouched) << Err;
  }
  struct stat info {};
  ASSERT_EQ(stat(Dir.Path("fifo").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(Dir.Entries(), 2u);

  // An existing data file is replaced only with --force, as every other file.
  const std::string old = Dir.Path("old.dat");
  test::PutFile(old, "kept\r\n");
  Sensor.ClearRequests();
  EXPECT_EQ(Cli({"measure", "--count", "2", "--data", old}), EXIT_FILE);
  EXPECT_NE(Err.find("exists; --force replaces it"), std::string::npos) << Err;
  EXPECT_TRUE(Sensor.Requests().empty());
  EXPECT_EQ(test::FileBytes(old), "kept\r\n");
  EXPECT_EQ(Cli({"measure", "--count", "2", "--data", old, "--force"}), EXIT_OK) << Err;
  EXPECT_NE(test::FileBytes(old), "kept\r\n");
}

TEST_F(CliStreams, ATextKeepsItsLeadingBlanksAndABadFileIsNamedWithItsLine) {
  const std::string file = Dir.Path("s.prm");
  ASSERT_EQ(Cli({"load-param", "31", "  ACME"}), EXIT_OK) << Err;
  ASSERT_EQ(Cli({"save-params", file}), EXIT_OK) << Err;
  EXPECT_NE(test::FileBytes(file).find("\n160\t  ACME\n"), std::string::npos);
  EXPECT_EQ(Cli({"compare-params", file}), EXIT_OK) << Out << Err;

  std::string bytes = test::FileBytes(file);
  const size_t line10 = [&] {
    size_t at = 0;
    for (int i = 0; i < 9; ++i) at = bytes.find('\n', at) + 1;
    return at;
  }();
  bytes.replace(line10, bytes.find('\n', line10) - line10, "8\t\x1b]0;owned\x07");
  test::PutFile(file, bytes);
  EXPECT_EQ(Cli({"load-params", file}), EXIT_FILE);
  EXPECT_NE(Err.find(file + ", line 10: '\\x1B]0;owned\\x07' is not a valid integer value"),
            std::string::npos)
      << Err;
  EXPECT_EQ(Err.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace karvo::cli
