// karvo-sim's command line, and the moving target its options set up, seen through the
// program's own sensor link.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"
#include "sim/SimArguments.h"
#include "support/FastSensor.h"

namespace karvo::sim {
namespace {

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

// Numbered samples count from 0 at every start, one by one at the line's pace: what a
// benchmark takes for lost, repeated or reordered samples is the reader's doing.
TEST(SimStream, NumberedSamplesCountFromZeroAtEveryStart) {
  TSensorSim sim({.Baud = 460800, .StreamPeriodUs = 1, .StreamSequence = true});
  ASSERT_TRUE(sim.Start());
  TKARVOInterface link;
  ASSERT_EQ(link.Open({.Name = sim.DevicePath(), .BaudRate = 460800}), ST_OK);
  for (int start = 0; start < 2; ++start) {
    ASSERT_EQ(link.StartStream(1), ST_OK);
    uint16_t sample = 0;
    for (uint16_t expected = 0; expected < 2000; ++expected) {
      ASSERT_EQ(link.ReadStreamSample(1, sample), ST_OK);
      ASSERT_EQ(sample, expected) << "start " << start;
    }
    link.StopStream(1);
    ASSERT_TRUE(test::StreamStopped(sim));
  }
}

// The options karvo-sim's command line sets, seen on a sensor whose target moves. 20 mm of a
// 200 mm range swing 1638 codes either side of 8192.
TEST(SimArguments, OptionsSetUpTheSensorAndItsTargetSwingsAboutTheDistance) {
  // 10000 baud is no multiple of 2400.
  const std::vector<std::vector<std::string>> bad = {
      {"--address", "128"},   {"--baud", "10000"},    {"--range"},
      {"--verbose"},          {"--motion", "zigzag"}, {"--period", "0.2s"},
      {"--amplitude", "nan"}, {"--serial", " 12"},    {"--addresses", "1,,2"},
      {"--no-pace=1"}};
  for (const auto& args : bad) {
    TSimArguments parsed;
    EXPECT_NE(ParseSimArguments(args, parsed), "") << ::testing::PrintToString(args);
  }
  // Several addresses move the targets unless a motion is named.
  const std::tuple<std::vector<std::string>, TTargetMotion, size_t> buses[] = {
      {{"--addresses", "1,2,3"}, TTargetMotion::Sine, 3},
      {{"--motion", "ramp", "--addresses", "4,5"}, TTargetMotion::Ramp, 2},
      {{"--address", "4"}, TTargetMotion::None, 0}};
  for (const auto& [args, motion, sensors] : buses) {
    TSimArguments parsed;
    ASSERT_EQ(ParseSimArguments(args, parsed), "");
    EXPECT_EQ(parsed.Options.Motion, motion);
    EXPECT_EQ(parsed.Options.Addresses.size(), sensors);
  }
  for (const char* motion : {"sine", "ramp"}) {
    SCOPED_TRACE(motion);
    TSimArguments parsed;
    ASSERT_EQ(
        ParseSimArguments({"--motion",        motion, "--amplitude", "20",    "--period", "0.2",
                           "--stream-period", "1000", "--address",   "127",   "--baud",   "460800",
                           "--range",         "200",  "--base",      "35",    "--serial", "65535",
                           "--distance",      "12.5", "--no-pace",   "--help"},
                          parsed),
        "");
    const TSensorSimOptions& o = parsed.Options;
    EXPECT_EQ(std::tuple(o.BaseDistance, o.SerialNumber, parsed.Distance, parsed.Help),
              std::tuple(35, 65535, 12.5, true));
    parsed.Options.Noise = 0;
    TSensorSim sim(parsed.Options);
    ASSERT_TRUE(sim.Start());
    TKARVOInterface link;
    ASSERT_EQ(link.Open({.Name = sim.DevicePath(), .BaudRate = 460800}), ST_OK);
    std::vector<int16_t> samples;
    ASSERT_EQ(link.StartStream(127), ST_OK);
    for (uint16_t sample = 0; samples.size() < 300 && link.ReadStreamSample(127, sample) == ST_OK;)
      samples.push_back(static_cast<int16_t>(sample));
    link.StopStream(127);
    ASSERT_EQ(samples.size(), 300u);
    const auto [low, high] = std::minmax_element(samples.begin(), samples.end());
    EXPECT_TRUE(*low < 8192 - 1200 && *low >= 8192 - 1640) << *low;
    EXPECT_TRUE(*high > 8192 + 1200 && *high <= 8192 + 1640) << *high;
    EXPECT_TRUE(test::StreamStopped(sim));
  }
}

}  // namespace
}  // namespace karvo::sim
