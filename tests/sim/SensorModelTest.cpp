// The simulated sensor's register sets and optics apart from any line, and the command line of
// karvo-sim.
#include <gtest/gtest.h>

#include <set>

#include "params/ParamTable.h"
#include "sim/SensorModel.h"
#include "sim/SimArguments.h"

namespace karvo::sim {
namespace {

TEST(SensorModelTest, FactorySetLiesWithinTheLimitsAndKeepsTheFreshSensorsLink) {
  TSensorSimOptions options;
  options.Address = 9;  // the customer's link must not leak into the factory set
  options.Baud = 115200;
  const TSensorModel model(options);
  for (int row = 0; row < PARAM_COUNT; ++row) {
    const TPARAMETR& p = ParamTable[row];
    SCOPED_TRACE(p.Name);
    if (p.Kind == KIND_TEXT) {
      EXPECT_NE(model.Factory[p.Address], 0) << "an empty text";
      continue;
    }
    uint64_t value = 0;
    for (int k = p.Size - 1; k >= 0; --k) value = (value << 8) | model.Factory[p.Address + k];
    EXPECT_GE(value, p.Min);
    EXPECT_LE(value, p.Max);
  }
  // Address and baud code: the factory's, then the customer's.
  EXPECT_EQ(
      (std::vector<int>{model.Factory[3], model.Factory[4], model.Working[3], model.Working[4]}),
      (std::vector<int>{1, 4, 9, 48}));
  EXPECT_EQ(model.Working, model.Flash);
}

TEST(SensorModelTest, RawPositionIsMonotonicInsideTheRawSpanAndZeroOutOfView) {
  const TSensorModel model(TSensorSimOptions{});
  double previous = 0.0;
  for (double mm = -2.0; mm <= 102.0; mm += 0.5) {
    const double raw = model.Position(mm);
    EXPECT_TRUE(raw > previous && raw <= RAW_LIMIT) << mm << ": " << raw;
    previous = raw;
  }
  EXPECT_EQ(model.Position(110), 0.0);
}

TEST(SensorModelTest, NoiseIsSmallAndRepeatsWithTheSeed) {
  auto run = [](uint64_t seed) {
    TSensorSimOptions options;
    options.Noise = 4;
    options.Seed = seed;
    TSensorModel model(options);
    model.Working[reg::AVERAGING] = 1;
    std::vector<int> results;
    for (int i = 0; i < 20; ++i) results.push_back(model.Result(25.0));
    return results;
  };
  const std::vector<int> a = run(7);
  EXPECT_EQ(a, run(7));
  EXPECT_NE(a, run(8));
  for (int r : a) EXPECT_NEAR(r, 4096, 4);
  EXPECT_GT(std::set<int>(a.begin(), a.end()).size(), 1u);
}

TEST(SimArgumentsTest, ParsesOptionsAndRefusesBadOnes) {
  const std::vector<std::string> all = {"--address",  "127",    "--baud",    "460800",   "--range",
                                        "250",        "--base", "35",        "--serial", "65535",
                                        "--distance", "12.5",   "--no-pace", "--help"};
  // 10000 baud is no multiple of 2400.
  const std::vector<std::vector<std::string>> bad = {{"--address", "0"},
                                                     {"--address", "128"},
                                                     {"--address", "7x"},
                                                     {"--baud", "10000"},
                                                     {"--baud", "921600"},
                                                     {"--range", "0"},
                                                     {"--serial", "65536"},
                                                     {"--distance", "far"},
                                                     {"--range"},
                                                     {"--verbose"},
                                                     {"--motion", "zigzag"},
                                                     {"--period", "0"},
                                                     {"--stream-period", "0"},
                                                     {"--amplitude", "-1"}};
  for (const auto& args : bad) {
    TSimArguments parsed;
    EXPECT_NE(ParseSimArguments(args, parsed), "") << ::testing::PrintToString(args);
  }
  TSimArguments parsed;
  EXPECT_EQ(ParseSimArguments({}, parsed), "");
  ASSERT_EQ(ParseSimArguments(all, parsed), "");
  const TSensorSimOptions& o = parsed.Options;
  EXPECT_EQ(std::to_string(o.Address) + " " + std::to_string(o.Baud) + " " +
                std::to_string(o.MeasuringRange) + " " + std::to_string(o.BaseDistance) + " " +
                std::to_string(o.SerialNumber),
            "127 460800 250 35 65535");
  EXPECT_EQ(parsed.Distance, 12.5);
  EXPECT_FALSE(parsed.Options.Pace);
  EXPECT_TRUE(parsed.Help);
}

}  // namespace
}  // namespace karvo::sim
