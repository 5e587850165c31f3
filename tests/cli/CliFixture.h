// karvo-cli run in the test's process against a simulated sensor, and what tests read from it:
// the exit code, the output, what reached the sensor.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"
#include "support/FastSensor.h"
#include "support/LocalServer.h"
#include "support/ScratchDir.h"

namespace karvo::cli {

using Lines = std::vector<std::string>;

struct TRun {
  int Code;
  std::string Out, Err;
};

inline TRun RunCli(const Lines& args) {
  std::ostringstream out, err;
  const int code = Run(args, out, err);
  return {code, out.str(), err.str()};
}

// A run's output without its clock readings, which differ every time.
inline std::string WithoutTimes(const std::string& text) {
  static const std::regex times(R"RE(,"start":[-0-9.e]+,"period_s":[-0-9.e]+)RE");
  return std::regex_replace(text, times, "");
}

// Whether `text` is one JSON document and a line end: strings, then numbers and literals become
// single letters, and innermost containers of them fold into one until a single value is left.
inline bool ValidJson(std::string text) {
  static const std::regex string(R"("([^"\\\x00-\x1f]|\\(["\\/bfnrt]|u[0-9a-fA-F]{4}))*")"),
      scalar(R"(-?(0|[1-9]\d*)(\.\d+)?([eE][+-]?\d+)?|true|false|null)"),
      container(R"(\[([SV](,[SV])*)?\]|\{(S:[SV](,S:[SV])*)?\})");
  text = std::regex_replace(std::regex_replace(text, string, "S"), scalar, "V");
  for (std::string before; before != text;) {
    before = text;
    text = std::regex_replace(text, container, "V");
  }
  return text == "V\n" || text == "S\n";
}

// A simulated sensor at address 5, 115200 baud, its target at half the range (8192), and a
// folder for files.
class SimCli : public ::testing::Test {
 protected:
  explicit SimCli(int16_t range = 300) : Sensor(test::FastSensor(range, 0)) {}
  void SetUp() override { ASSERT_TRUE(Sensor.Start()); }

  // `args` with the sensor's port settings before them.
  Lines At(Lines args) const {
    args.insert(args.begin(),
                {"--port", Sensor.DevicePath(), "--baud", "115200", "--address", "5"});
    return args;
  }
  // The exit code; stdout and stderr in Out and Err.
  int Cli(const Lines& args) {
    const TRun r = RunCli(At(args));
    Out = r.Out;
    Err = r.Err;
    return r.Code;
  }
  // The exit code, then stdout's lines.
  Lines Said(const Lines& args) {
    Lines lines = {std::to_string(Cli(args))};
    std::istringstream in(Out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // karvo-cli itself as a child, its output in the folder's files "out" and "err".
  std::unique_ptr<test::TChild> Child(const Lines& args, const std::function<void()>& setup = {}) {
    Lines argv = At(args);
    argv.insert(argv.begin(), KARVO_CLI_PATH);
    return std::make_unique<test::TChild>(argv, Dir.Path("out"), Dir.Path("err"), Lines{}, setup);
  }

  // Register writes and flash commands the sensor was sent.
  long Changes() const {
    const auto requests = Sensor.Requests();
    return std::count_if(requests.begin(), requests.end(), [](const std::vector<uint8_t>& r) {
      return r.size() > 1 && (r[1] == (0x80 | CMD_WRITE_REGISTER) || r[1] == (0x80 | CMD_FLASH));
    });
  }

  sim::TSensorSim Sensor;
  test::TScratchDir Dir;
  std::string Out, Err;
};

}  // namespace karvo::cli
