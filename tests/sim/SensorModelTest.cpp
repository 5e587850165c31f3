// The simulated sensor's factory set against the program's parameter table, and the
// command line of karvo-sim.
#include <gtest/gtest.h>

#include "params/ParamTable.h"
#include "sim/SensorModel.h"
#include "sim/SimArguments.h"

namespace karvo::sim {
namespace {

TEST(SensorModelTest, FactorySetLiesWithinEveryParametersLimits) {
  TSensorSimOptions options;
  options.Address = 9;  // the customer's link must not leak into the factory set
  options.Baud = 115200;
  TRegisterSet factory = FactoryRegisters(options);
  for (int row = 0; row < PARAM_COUNT; ++row) {
    const TPARAMETR& p = ParamTable[row];
    SCOPED_TRACE(p.Name);
    if (p.Kind == KIND_TEXT) {
      EXPECT_NE(factory[p.Address], 0) << "an empty text";
      continue;
    }
    uint64_t value = 0;
    for (int k = p.Size - 1; k >= 0; --k) value = (value << 8) | factory[p.Address + k];
    EXPECT_GE(value, p.Min);
    EXPECT_LE(value, p.Max);
  }
  EXPECT_EQ(factory[3], 1);
  EXPECT_EQ(factory[4], 4);
}

TEST(SensorModelTest, StartsWithWorkingAndFlashEqualHoldingTheConfiguredLink) {
  TSensorSimOptions options;
  options.Address = 9;
  options.Baud = 115200;
  TSensorModel model(options);
  EXPECT_EQ(model.Working, model.Flash);
  EXPECT_EQ(model.Working[3], 9);
  EXPECT_EQ(model.Working[4], 48);
  TRegisterSet rest = model.Working;
  rest[3] = model.Factory[3];
  rest[4] = model.Factory[4];
  EXPECT_EQ(rest, model.Factory);
  EXPECT_EQ(TSensorModel(TSensorSimOptions{}).Working, TSensorModel(TSensorSimOptions{}).Factory);
}

TEST(SimArgumentsTest, ParsesOptionsAndRefusesBadOnes) {
  struct Case {
    std::vector<std::string> args;
    bool ok;
  };
  const Case cases[] = {
      {{}, true},
      {{"--address", "127", "--baud", "460800", "--range", "250", "--base", "35", "--serial",
        "65535", "--distance", "12.5", "--no-pace"},
       true},
      {{"--help"}, true},
      {{"--address", "0"}, false},
      {{"--address", "128"}, false},
      {{"--baud", "10000"}, false},  // not a multiple of 2400
      {{"--baud", "921600"}, false},
      {{"--range", "0"}, false},
      {{"--serial", "65536"}, false},
      {{"--distance", "far"}, false},
      {{"--range"}, false},
      {{"--verbose"}, false},
      {{"--address", "7x"}, false},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    TSimArguments parsed;
    EXPECT_EQ(ParseSimArguments(c.args, parsed).empty(), c.ok);
  }
  TSimArguments parsed;
  ASSERT_EQ(ParseSimArguments(cases[1].args, parsed), "");
  EXPECT_EQ(parsed.Options.Address, 127);
  EXPECT_EQ(parsed.Options.Baud, 460800u);
  EXPECT_EQ(parsed.Options.MeasuringRange, 250);
  EXPECT_EQ(parsed.Options.BaseDistance, 35);
  EXPECT_EQ(parsed.Options.SerialNumber, 65535);
  EXPECT_EQ(parsed.Distance, 12.5);
  EXPECT_FALSE(parsed.Options.Pace);
  EXPECT_FALSE(parsed.Help);
}

}  // namespace
}  // namespace karvo::sim
