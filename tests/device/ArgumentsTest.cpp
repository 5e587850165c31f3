// The argument checks and identity-row rules the command line and Python share.
#include <gtest/gtest.h>

#include <set>

#include "device/Arguments.h"
#include "device/IdentityRows.h"
#include "device/Statuses.h"
#include "params/ParamGrid.h"

namespace karvo::device {
namespace {

TEST(Arguments, PortNamesTakeKnownNamesPathsAndUrlsOnly) {
  const struct {
    const char* Given;
    const char* Taken;  // "" when refused
  } cases[] = {
      {"COM1", "COM1"},
      {"com8", "COM8"},
      {"Usb", "USB"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"tcp://127.0.0.1:2000", "tcp://127.0.0.1:2000"},
      {"COM9", ""},
      {"com0", ""},
      {"ttyUSB0", ""},
      {"", ""},
      {"dev/ttyS0", ""},
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_EQ(PortNameOf(c.Given, problem), c.Taken) << c.Given;
    EXPECT_EQ(problem.empty(), *c.Taken != '\0') << c.Given;
    if (!problem.empty()) {
      EXPECT_NE(problem.find("use COM1..COM8, USB"), std::string::npos);
    }
  }
}

TEST(Arguments, LimitsAreStatedInTheRefusal) {
  EXPECT_EQ(CountProblem("count", 0, MEASURE_COUNTS), "count takes 1 to 100000000, not 0");
  EXPECT_EQ(CountProblem("count", 65535, STREAM_COUNTS), "");
  EXPECT_EQ(CountProblem("--count", 65536, STREAM_COUNTS), "--count takes 1 to 65535, not 65536");
  EXPECT_EQ(AddressProblem("address", 128), "address takes 1 to 127, not 128");
  EXPECT_EQ(BaudProblem("baud", 460800), "");
  EXPECT_EQ(BaudProblem("--baud", 12345),
            "--baud takes 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400 or "
            "460800, not 12345");
}

TEST(Arguments, ModesAndPickListEntriesIgnoreLetterCase) {
  const std::vector<uint32_t> modes = {RUN_LINE, RUN_NONLINE, RUN_TEMPERATURE};
  EXPECT_EQ(RunModeNamed("nonLINE", modes), RUN_NONLINE);
  EXPECT_EQ(RunModeNamed("Pulse", modes), std::nullopt);
  EXPECT_EQ(RunModeNamed("Lin", modes), std::nullopt);
  EXPECT_EQ(RunModeChoices(modes), "Line, NonLine or Temperature");
  EXPECT_EQ(PickListSpelling(ROW_WINDOW_CONTROL, "fULL", 100), "Full");
  EXPECT_EQ(PickListSpelling(ROW_MODE_OF_RUN, "temperature", 100), "Temperature");
  EXPECT_EQ(PickListSpelling(ROW_WINDOW_CONTROL, "Ful", 100), "Ful");
  EXPECT_EQ(PickListSpelling(ROW_AVERAGED, "abc", 100), "abc");
}

TEST(IdentityRowsTest, OnlyTheFourIdentityRowsAreComparedAndKept) {
  TParamSet held, loaded;
  held[ROW_SERIAL].Value = 4321;
  held[ROW_RANGE].Value = 100;
  loaded = held;
  loaded[ROW_AVERAGED].Value = 32;  // not identity
  EXPECT_TRUE(DifferingIdentityRows(loaded, held).empty());
  loaded[ROW_SERIAL].Value = 1111;
  loaded[ROW_RANGE].Value = 50;
  EXPECT_EQ(DifferingIdentityRows(loaded, held), (std::vector<int>{ROW_SERIAL, ROW_RANGE}));
  EXPECT_EQ(IdentityRowsText(DifferingIdentityRows(loaded, held), loaded, held),
            "Serial Number 1111 (the sensor has 4321), Measuring Range 50 (the sensor has 100)");
  KeepIdentityRows(loaded, held);
  EXPECT_TRUE(DifferingIdentityRows(loaded, held).empty());
  EXPECT_EQ(loaded[ROW_AVERAGED].Value, 32u);
}

TEST(Statuses, EveryStatusHasOneUniqueName) {
  std::set<std::string> names;
  for (const StatusEntry& e : StatusTable()) {
    EXPECT_TRUE(names.insert(e.Name).second) << e.Name;
    EXPECT_STREQ(StatusName(e.Status), e.Name);
    EXPECT_STRNE(e.Text, "unknown status") << e.Status;
  }
  EXPECT_STREQ(StatusName(7), "unknown");
}

}  // namespace
}  // namespace karvo::device
