// The calibration table from a sweep's samples, its gap fill, the ".klb" file, and the load
// and check against the simulated sensor, with a failing page and Retry.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "sim/SensorSim.h"
#include "stage/Calibration.h"
#include "stage/SweepGeometry.h"

namespace karvo {
namespace {

// Samples of a sweep: raw reading by sample index, 0 (no reading) elsewhere.
std::vector<float> Sweep(size_t count, const std::map<size_t, float>& readings) {
  std::vector<float> samples(count, 0.0f);
  for (auto [i, raw] : readings) samples[i] = raw;
  return samples;
}

TCalibrationTable Entered(const std::vector<float>& samples, float step, int16_t range) {
  TCalibrationTable table;
  std::string problem;
  EXPECT_TRUE(EnterCalibrationSamples(samples.data(), static_cast<uint32_t>(samples.size()), step,
                                      range, table, problem))
      << problem;
  return table;
}

TEST(CalibrationTable, EntriesHoldTheCodeOfThePositionWhereAReadingInTheTableWasSeen) {
  const float step = SampleStepOf(1, 1);  // 0.015 mm, just below as a float
  TCalibrationTable table = Entered(Sweep(101, {{1, 300.0f}, {100, 5000.7f}}), step, 10);
  EXPECT_EQ(table.Entries[5000], 2457);  // 100 x 0.015 x 16384 / 10 = 2457.6, truncated
  EXPECT_EQ(table.Entries[300], 24);

  // Step 1 mm over a range of 16384 mm gives code = sample index. A reading seen again keeps
  // the running pairwise mean, later samples weighing more: (2000 + 2011) / 2, then with 2020.
  table = Entered(Sweep(2100, {{2000, 7000.0f}, {2011, 7000.0f}, {2020, 7000.9f}}), 1.0f, 16384);
  EXPECT_EQ(table.Entries[7000], 2012);

  // Readings outside the table are skipped.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  table = Entered({0.0f, -1.0f, 22000.0f, nan, 21999.9f, -0.5f, 40000.0f, 12.0f}, 1.0f, 16384);
  EXPECT_EQ(table.Skipped, 4u);
  EXPECT_EQ(table.Entries[21999], 4);
  EXPECT_EQ(table.Entries[0], 5);  // -0.5 truncates to 0; sample 0's code 0 left no entry

  std::string problem;
  const float samples[] = {100.0f, 200.0f};
  EXPECT_FALSE(BuildCalibrationTable(samples, 2, 0.015f, 0, table, problem));
  EXPECT_NE(problem.find("measuring range"), std::string::npos) << problem;
}

TEST(CalibrationTable, GapsAreFilledInEqualStepsTowardTheNextEntry) {
  const struct {
    const char* name;
    std::map<size_t, int32_t> entries;
    std::map<size_t, int32_t> expected;  // entries checked afterwards
  } rows[] = {
      {"rising",
       {{10, 100}, {14, 110}, {20, 120}},
       // d = 10 / 6 = 1 after 14: 111..115, then 120 keeps its value
       {{11, 102}, {12, 104}, {13, 106}, {14, 110}, {15, 111}, {19, 115}, {20, 120}}},
      {"falling", {{10, 110}, {13, 100}, {20, 90}}, {{11, 107}, {12, 104}, {13, 100}}},
      // The last entry closes the stretch; nothing after it and nothing beyond 20991 counts.
      {"tail", {{5, 10}, {8, 40}, {21000, 7}}, {{6, 20}, {7, 30}, {9, 0}, {20991, 0}}},
      {"single entry", {{0, 9}, {700, 3}}, {{1, 0}, {699, 0}, {701, 0}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TCalibrationTable table;
    for (auto [i, v] : row.entries) table.Entries[i] = v;
    FillCalibrationGaps(table);
    for (auto [i, v] : row.expected) EXPECT_EQ(table.Entries[i], v) << "entry " << i;
  }
}

TEST(CalibrationTable, FileHasOneDefineWordLinePerUsedEntry) {
  TCalibrationTable table;
  table.Entries[0] = 3;
  table.Entries[1] = 2457;
  table.Entries[2] = -12;
  table.Entries[20991] = 65535;
  table.Entries[20992] = 99;  // beyond the pages: not in the file
  const std::string bytes = CalibrationFileBytes(table);
  EXPECT_EQ(bytes.substr(0, 23), std::string("DW\t3\r\nDW\t2457\r\nDW\t-12\r\n"));
  EXPECT_EQ(bytes.substr(bytes.size() - 10), "DW\t65535\r\n");
  EXPECT_EQ(bytes.size(), 23 + 20988 * 6 + 10);  // "DW\t0\r\n" for every unused entry
}

class TableLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(Sensor.Start(&error)) << error;
    ASSERT_EQ(Link.Open({.PortKind = PORT_COM, .Name = Sensor.DevicePath(), .BaudRate = 115200}),
              ST_OK);
    for (size_t i = 1; i < CALIBRATION_USED; ++i)
      Table.Entries[i] = static_cast<int32_t>(i % 16000);
  }
  TTableLoadResult Load(int retries) {
    Progress.clear();
    Asked = 0;
    return LoadCalibrationTable(
        Link, 1, Table, [this](int pos, int max) { Progress.push_back(pos * 100 + max); },
        [this, retries] { return ++Asked <= retries; });
  }

  sim::TSensorSim Sensor{{.Baud = 115200, .Pace = false}};
  TKARVOInterface Link;
  TCalibrationTable Table;
  std::vector<int> Progress;
  int Asked = 0;
};

// The check reads every page back after the writes; a failure asks before it tries again.
TEST_F(TableLoad, WritesThenChecksEveryPageWithProgressAndRetriesOnlyWhenAsked) {
  TTableLoadResult result = Load(0);
  EXPECT_TRUE(result.Passed && result.Attempts == 1 && Asked == 0);
  EXPECT_EQ(Sensor.TablePage(40)[7], Table.Entries[40 * TABLE_PAGE_WORDS + 7]);
  ASSERT_EQ(Progress.size(), 82u);
  EXPECT_EQ(std::vector<int>({Progress[0], Progress[40], Progress[41]}),
            std::vector<int>({40, 4040, 40}));

  Sensor.WrongAckNext();
  result = Load(0);  // Cancel
  EXPECT_FALSE(result.Passed);
  EXPECT_EQ(result.FailedPage, 0);
  EXPECT_EQ(result.Status, ST_WRITE_FAILED);
  EXPECT_EQ(Progress.size(), 1u);

  // An entry the sensor cannot hold goes as its low 16 bits and never passes the check, however
  // often retried.
  Table.Entries[3 * TABLE_PAGE_WORDS + 7] = 70000;
  result = Load(2);
  EXPECT_EQ(Sensor.TablePage(3)[7], 70000 & 0xFFFF);
  EXPECT_TRUE(!result.Passed && result.Mismatch && result.Attempts == 3);
  EXPECT_EQ(result.FailedPage, 3);
  EXPECT_EQ(result.Status, ST_OK);
}

}  // namespace
}  // namespace karvo
