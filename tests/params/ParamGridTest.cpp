#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "params/ParamGrid.h"

namespace karvo {
namespace {

using Cells = std::vector<std::pair<int, std::string>>;

TEST(GridCellText, ShowsEachRowInItsUnits) {
  const struct {
    int row;
    uint32_t value;
    const char* shown;
    int16_t range = 100;
  } cases[] = {
      // clang-format off
      // The shared mode rows' texts are seen with their commits below.
      {2, 48, "115200"}, {5, 0x04, "Mutual_Synch"}, {6, 0x02, "Full"}, {7, 45, "45"},
      {7, 31, "31 ~3 mW", 249}, {7, 31, "31 ~5 mW", 250}, {7, 31, "31 ~3 mW", -1},
      {12, 81, "0"}, {12, 82, "1"}, {13, 255, "1275"}, {14, 1234, "75"}, {14, 0xFFFFFF9C, "-6"},
      {16, 200, "1000000"}, {17, 0x1A, "01A"}, {17, 0xFFFF, "FFFF"}, {18, 0xAB, "000000AB"},
      {26, 2, "Line"}, {26, 7, "Temperature"}, {28, 0xFFFFFFFF, "-1"},
      // clang-format on
  };
  for (const auto& c : cases)
    EXPECT_EQ(GridCellText(c.row, {"", c.value}, c.range), c.shown) << c.row << " " << c.value;
  // Whatever a pick-list row shows is one of its entries, so committing it is a choice.
  for (int row : {0, 4, 5, 6, 7, 19, 20, 26}) {
    const auto items = GridPickList(row, 100);
    for (uint32_t v : {0u, 1u, 3u, 5u, 16u, 17u, 31u})
      EXPECT_THAT(items, testing::Contains(GridCellText(row, {"", v}, 100))) << row << " " << v;
  }
}

struct CommitCase {
  const char* what;
  int row;
  uint32_t before;
  std::string cell;
  TCommit outcome;
  uint32_t after;
  Cells cells = {};
  int16_t range = 100;
  uint32_t runMode = RUN_LINE, chosen = 0;  // in force; what a stored row 26 takes on
};

TEST(CommitCell, Rules) {
  const CommitCase cases[] = {
      {"baud rate by division", 2, 4, "14400", TCommit::Stored, 6},
      {"a rate below 2400 would stop the line", 2, 4, "1000", TCommit::Refused, 4, {{2, "9600"}}},
      {"lock time beyond its byte", 13, 0, "1280", TCommit::Refused, 0, {{13, "0"}}},
      {"above Max", 9, 100, "99999", TCommit::Refused, 100, {{9, "100"}}},
      {"emptied", 9, 100, "", TCommit::Refused, 100, {{9, "100"}}},
      {"not a number", 9, 100, "12a", TCommit::NotInteger, 100},
      {"a typed 0 does not switch on", 0, 1, "0", TCommit::Refused, 1, {{0, "On"}}},
      {"a non-zero on stays as it is", 0, 5, "On", TCommit::Unchanged, 5},
      {"window cell returns to percent", 11, 8192, "77", TCommit::Unchanged, 8192, {{11, "50"}}},
      {"window value pulled into range", 12, 20000, "50", TCommit::Stored, 16384, {{12, "100"}}},
      {"zero point rounds to the nearest", 14, 0, "7", TCommit::Stored, 115},
      {"zero point refusal rounds", 14, 1240, "99999", TCommit::Refused, 1240, {{14, "76"}}},
      {"standard id above Max", 17, 0x10, "FFF", TCommit::Refused, 0x10, {{17, "010"}}},
      {"lower-case hex", 17, 0x10, "7ff", TCommit::Stored, 2047, {{17, "7FF"}}},
      {"nine digits do not wrap", 18, 5, "100000000", TCommit::Refused, 5, {{18, "00000005"}}},
      {"typed level with a note", 7, 0, "14", TCommit::Stored, 14, {{7, "14 ~0,5 mW"}}},
      {"entry of the other list", 7, 0, "31 ~3 mW", TCommit::Stored, 31, {{7, "31 ~5 mW"}}, 300},
      {"a level beyond the list is found back", 7, 45, "45", TCommit::Unchanged, 45},
      {"no new level beyond the list", 7, 45, "32", TCommit::Refused, 45, {{7, "45"}}},
      {"junk is not level 0", 7, 3, "abc", TCommit::Refused, 3, {{7, "3"}}},
      {"a typed digit is not a choice", 5, 0, "1", TCommit::Refused, 0, {{5, "Out_of_Range"}}},
      // The register keeps only the sensor's output mode; the run mode is the entry's index.
      {"temperature", 26, 7, "Temperature", TCommit::Stored, 3, {}, 100, RUN_LINE, RUN_TEMPERATURE},
      {"line", 26, 7, "Line", TCommit::Stored, 0, {}, 100, RUN_PULSE, RUN_LINE},
      {"the mode in force", 26, 7, "Pulse", TCommit::Unchanged, 7, {}, 100, RUN_PULSE},
      {"names are exact", 26, 7, "line", TCommit::Refused, 7, {{26, "Line"}}},
  };
  for (const auto& c : cases) {
    TParamSet set;
    set[c.row].Value = c.before;
    const TCommitResult r = CommitCell(c.row, c.cell, set, c.range, c.runMode);
    EXPECT_EQ(r.Outcome, c.outcome) << c.what;
    EXPECT_EQ(r.RunMode, c.chosen) << c.what;
    EXPECT_EQ(set[c.row].Value, c.after) << c.what;
    EXPECT_EQ(r.Cells, c.cells) << c.what;
    EXPECT_EQ(r.BadText, c.outcome == TCommit::NotInteger ? c.cell : "") << c.what;
  }
}

TEST(CommitCell, SharedModeRegister) {
  const struct {
    const char* what;
    int row;
    uint32_t rows[4];  // rows 4, 5, 6, 20 before
    const char* cell;
    uint32_t after;
    const char *row4, *row20;
  } cases[] = {
      // clang-format off
      {"mutual synch while triggered", 5, {1, 1, 1, 1}, "Mutual_Synch", 0x0D, "Trigger", "Remote"},
      {"continuous clears the trigger", 20, {1, 1, 1, 1}, "Cotinuous", 0x10, "Time", "Cotinuous"},
      {"remote keeps it", 20, {0x11, 0x11, 0x11, 0x11}, "Remote", 0x01, "Trigger", "Remote"},
      {"bit 3 is never cleared", 4, {0x0D, 0x0D, 0x0D, 0x0D}, "Time", 0x0C, "Time", "Remote"},
      {"bits above the byte stay", 4, {0x104, 0, 0, 0}, "Trigger", 0x10D, "Trigger", "Remote"},
      {"clearing drops them", 4, {0x105, 0x105, 0x105, 0x105}, "Time", 0x04, "Time", "Remote"},
      {"rows out of step are ORed", 6, {1, 0, 2, 0x10}, "Window", 0x11, "Trigger", "Trigger"},
      // clang-format on
  };
  const int shared[] = {4, 5, 6, 20};
  for (const auto& c : cases) {
    TParamSet set;
    for (int k = 0; k < 4; ++k) set[shared[k]].Value = c.rows[k];
    const TCommitResult r = CommitCell(c.row, c.cell, set, 100, RUN_LINE);
    EXPECT_EQ(r.Outcome, TCommit::Stored) << c.what;
    for (int row : shared) EXPECT_EQ(set[row].Value, c.after) << c.what << " row " << row;
    EXPECT_EQ(r.Cells, (Cells{{4, c.row4}, {20, c.row20}})) << c.what;
  }
}

// The range window hands whole percent; each must come back unchanged from the sensor's scale.
TEST(WindowPercent, EveryWholePercentSurvivesTheScale) {
  EXPECT_EQ(PercentToWindowValue(101), 16384u);
  for (int32_t p = 0; p <= 100; ++p) EXPECT_EQ(WholePercent(PercentToWindowValue(p)), p);
}

}  // namespace
}  // namespace karvo
