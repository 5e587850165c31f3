// karvo-cli scan: the line per sensor found, the given settings tried first, and the exit
// code of a port that cannot be opened.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "cli/Cli.h"
#include "sim/SensorSim.h"

namespace karvo::cli {
namespace {

struct TScanRun {
  int Code;
  std::string Out;
  std::string Err;
};

TScanRun Scan(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int code = Run(args, out, err);
  return {code, out.str(), err.str()};
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(ScanCli, PrintsBaudAddressTypeAndSerialOfTheSensorFound) {
  const struct {
    uint32_t baud;
    uint8_t address;
    std::vector<std::string> options;
    std::string line;
    size_t requests;  // identify requests on the wire: the probes and the confirming one
  } cases[] = {
      {115200, 17, {"--baud", "115200"}, "115200 17 7 4711\n", 17 + 1 + 1},
      {57600, 33, {"--baud=57600", "--address=33"}, "57600 33 7 4711\n", 1 + 1},
  };
  for (const auto& c : cases) {
    sim::TSensorSimOptions o;
    o.Baud = c.baud;
    o.Address = c.address;
    o.SerialNumber = 4711;
    sim::TSensorSim sim(o);
    ASSERT_TRUE(sim.Start());
    std::vector<std::string> args = {"--port", sim.DevicePath(), "--trace"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("scan");
    const TScanRun r = Scan(args);
    EXPECT_EQ(r.Code, EXIT_OK) << c.line << r.Err;
    EXPECT_EQ(r.Out, c.line);
    char request[16];
    std::snprintf(request, sizeof request, "> %02X 81", c.address);
    EXPECT_EQ(Count(r.Err, request), 2u) << c.line;  // the probe and its confirmation
    EXPECT_EQ(Count(r.Err, " > "), c.requests) << c.line;
  }
}

TEST(ScanCli, ArgumentsAndMissingPort) {
  EXPECT_EQ(Scan({"scan", "--every"}).Code, EXIT_USAGE);
  EXPECT_EQ(Scan({"scan", "--all", "more"}).Code, EXIT_USAGE);

  const TScanRun missing = Scan({"--port", "/dev/karvo-no-such-port", "scan"});
  EXPECT_EQ(missing.Code, EXIT_NO_PORT);
  EXPECT_TRUE(missing.Out.empty());
  EXPECT_NE(missing.Err.find("cannot open /dev/karvo-no-such-port: no such device"),
            std::string::npos)
      << missing.Err;
}

}  // namespace
}  // namespace karvo::cli
