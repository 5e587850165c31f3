// karvo-cli scan: the line per sensor found, the given settings tried first, and the exit
// code of a port that cannot be opened.
#include <gtest/gtest.h>

#include "CliRun.h"
#include "sim/SensorSim.h"

namespace karvo::cli {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(ScanCli, PrintsBaudAddressTypeAndSerialOfTheSensorFoundAtTheGivenSettingsFirst) {
  sim::TSensorSim sim({.Address = 33, .Baud = 57600, .SerialNumber = 4711});
  ASSERT_TRUE(sim.Start());
  const test::TRun r =
      test::RunCli({"--port", sim.DevicePath(), "--trace", "--baud=57600", "--address=33", "scan"});
  EXPECT_EQ(r.CodeAndLines(), (test::Lines{"0", "57600 33 7 4711"})) << r.Err;
  // The first probe finds it; the same request again confirms it.
  EXPECT_EQ(Count(r.Err, "> 21 81"), 2u) << r.Err;
  EXPECT_EQ(Count(r.Err, " > "), 2u) << r.Err;

  // Scan opens the port on its own path, with its own message.
  const test::TRun none = test::RunCli({"--port", "/dev/karvo-no-such-port", "scan"});
  EXPECT_EQ(none.CodeAndLines(), test::Lines{"3"});
  EXPECT_NE(none.Err.find("cannot open /dev/karvo-no-such-port: no such device"), std::string::npos)
      << none.Err;
}

}  // namespace
}  // namespace karvo::cli
