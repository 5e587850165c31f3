// karvo-cli scan: the line per sensor found, the given settings tried first, and the exit
// code of a port that cannot be opened.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/Cli.h"
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
  std::ostringstream out, err;
  EXPECT_EQ(
      cli::Run({"--port", sim.DevicePath(), "--trace", "--baud=57600", "--address=33", "scan"}, out,
               err),
      EXIT_OK)
      << err.str();
  EXPECT_EQ(out.str(), "57600 33 7 4711\n");
  // The first probe finds it; the same request again confirms it.
  EXPECT_EQ(Count(err.str(), "> 21 81"), 2u) << err.str();
  EXPECT_EQ(Count(err.str(), " > "), 2u) << err.str();

  std::ostringstream none, missing;
  EXPECT_EQ(cli::Run({"--port", "/dev/karvo-no-such-port", "scan"}, none, missing), EXIT_NO_PORT);
  EXPECT_TRUE(none.str().empty());
  EXPECT_NE(missing.str().find("cannot open /dev/karvo-no-such-port: no such device"),
            std::string::npos)
      << missing.str();
}

}  // namespace
}  // namespace karvo::cli
