// karvo-sim's command line, and the moving target its options set up, seen through the
// program's own sensor link.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <tuple>

#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"
#include "sim/SimArguments.h"

namespace karvo::sim {
namespace {

TEST(SimArguments, ParsesOptionsAndRefusesBadOnes) {
  // 10000 baud is no multiple of 2400.
  const std::vector<std::vector<std::string>> bad = {{"--address", "128"},
                                                     {"--baud", "10000"},
                                                     {"--range"},
                                                     {"--verbose"},
                                                     {"--motion", "zigzag"}};
  for (const auto& args : bad) {
    TSimArguments parsed;
    EXPECT_NE(ParseSimArguments(args, parsed), "") << ::testing::PrintToString(args);
  }
  TSimArguments parsed;
  ASSERT_EQ(ParseSimArguments({"--address", "127", "--baud", "460800", "--range", "250", "--base",
                               "35", "--serial", "65535", "--distance", "12.5", "--help"},
                              parsed),
            "");
  const TSensorSimOptions& o = parsed.Options;
  EXPECT_EQ(std::tuple(o.Address, o.Baud, o.MeasuringRange, o.BaseDistance, o.SerialNumber),
            std::tuple(127, 460800u, 250, 35, 65535));
  EXPECT_EQ(parsed.Distance, 12.5);
  EXPECT_TRUE(parsed.Help);
}

// Untabled, "Line" results are ideal; the program's sweep tests tell a good calibration table
// from a bad one only because a loaded table replaces them. Half-scale codes tell the two apart.
TEST(SimTable, LineResultsComeFromTheLoadedTable) {
  TSensorSim sim({.Pace = false, .Noise = 0});
  ASSERT_TRUE(sim.Start());
  TKARVOInterface link;
  ASSERT_EQ(link.Open({.Name = sim.DevicePath()}), ST_OK);
  std::vector<uint16_t> table(42 * TABLE_PAGE_WORDS, 0);
  for (double mm = 0; mm <= 100.0; mm += 0.001)
    table[std::lround(sim.RawPosition(mm))] = static_cast<uint16_t>(std::lround(mm * 81.92));
  for (uint8_t page = 0; page < 41; ++page)
    sim.SetTablePage(page,
                     {&table[page * TABLE_PAGE_WORDS], &table[(page + 1) * TABLE_PAGE_WORDS]});
  // -2 mm is in view, but no sweep saw it.
  for (const auto& [mm, code] : {std::pair{33.3, 2728}, std::pair{-2.0, 0}}) {
    sim.SetTargetDistance(mm);
    uint16_t result = 0;
    ASSERT_EQ(link.ReadResult(1, result), ST_OK);
    EXPECT_NEAR(result, code, 2) << mm;
  }
}

TEST(SimStream, MovingTargetsSwingAboutTheDistance) {
  for (const char* motion : {"sine", "ramp"}) {
    SCOPED_TRACE(motion);
    TSimArguments parsed;
    ASSERT_EQ(ParseSimArguments({"--no-pace", "--motion", motion, "--amplitude", "10", "--period",
                                 "0.2", "--stream-period", "1000"},
                                parsed),
              "");
    parsed.Options.Noise = 0;
    TSensorSim sim(parsed.Options);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    TKARVOInterface link;
    ASSERT_EQ(link.Open({.Name = sim.DevicePath(), .BaudRate = parsed.Options.Baud}), ST_OK);
    std::vector<int16_t> samples;
    ASSERT_EQ(link.StartStream(1), ST_OK);
    for (uint16_t sample = 0; samples.size() < 300 && link.ReadStreamSample(1, sample) == ST_OK;)
      samples.push_back(static_cast<int16_t>(sample));
    link.StopStream(1);
    ASSERT_EQ(samples.size(), 300u);
    // 10 mm of 100: 1638 codes either side of 8192.
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_TRUE(*low < 8192 - 1200 && *low >= 8192 - 1640) << *low;
    EXPECT_TRUE(*high > 8192 + 1200 && *high <= 8192 + 1640) << *high;
    // Let the sensor see the stop before it goes away.
    for (int i = 0; i < 500 && sim.Streaming(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace
}  // namespace karvo::sim
