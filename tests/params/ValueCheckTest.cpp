#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "params/ValueCheck.h"

namespace karvo {
namespace {

using namespace std::string_literals;

TEST(ValueCheck, Rules) {
  const std::string bauds = "2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800";
  const struct {
    const char* what;
    int row;
    TPARAMVALUE stored;
    std::optional<std::string> typed;  // none: the stored value is checked
    std::string problem;
    uint32_t after = 0;  // typed and taken: the stored value
  } cases[] = {
      // clang-format off
      {"below Min", 9, {"", 0}, {}, "'0' is outside 1 to 65535."},
      {"typed above Max", 3, {"", 5}, "200", "'200' is outside 1 to 127."},
      {"not an integer", 9, {"", 5}, "12a", "'12a' is not a valid integer value"},
      {"a stored value typed again must fit as well", 9, {"", 0}, "0", "'0' is outside 1 to 65535."},
      {"zz is not 0", 17, {"", 5}, "zz", "'zz' is not a hex number."},
      {"empty is not 0", 18, {"", 5}, "", "'' is not a hex number."},
      {"hex digits beyond the cell", 17, {"", 5}, "0001", "'0001' has more than 3 hex digits."},
      {"hex above Max", 18, {"", 0x20000000}, {}, "'20000000' is outside hex 0 to 1FFFFFFF."},
      {"hex taken", 17, {"", 5}, "7fF", "", 0x7FF},
      {"a rate between the list's entries", 2, {"", 3}, {}, "'7200' is not one of " + bauds + "."},
      {"typed the same", 2, {"", 1}, "7200", "'7200' is not one of " + bauds + "."},
      {"a rate of the list", 2, {"", 1}, "115200", "", 48},
      {"CAN rate", 16, {"", 100}, "60000", "'60000' is not one of 50000, 100000, 125000, 250000, 500000, 1000000."},
      {"on is 1", 0, {"", 2}, {}, "'2' is not 0 (Off) or 1 (On)."},
      {"a typed 1 is not a choice", 19, {"", 0}, "1", "'1' is not one of Standard, Extended."},
      {"laser beyond the list", 7, {"", 3}, "32", "'32' is outside 0 ~0,2 mW to 31 ~3 mW."},
      {"register 2 above its Max is fine", 4, {"", 0x1D}, {}, ""},
      {"unknown bits of register 2", 5, {"", 0x20}, {}, "'32' sets bits of register 2 above bit 4."},
      {"register 2 bits the entry kept", 4, {"", 0x104}, "Trigger", "'269' sets bits of register 2 above bit 4."},
      {"run mode register", 26, {"", 5}, {}, "'5' is outside 0 to 3, the run mode register's values."},
      {"a loop mode goes in as Line", 26, {"", 1}, "Calibration", "", 0},
      {"no run mode", 26, {"", 1}, "", "'' is not one of Line, NonLine, Temperature, Pulse, Calibration, Poverka, Motion_Home, Motion_End."},
      {"lock time too wide for its byte", 13, {"", 256}, {}, "'1280' is outside 0 to 1275 in steps of 5."},
      {"width of a 1-byte number", 21, {"", 256}, {}, "'256' is outside 0 to 255."},
      {"zero point, every stored value", 14, {"", 65535}, {}, ""},
      {"zero point beyond its registers", 14, {"", 65536}, {}, "'65536' is outside 0 to 65535."},
      {"zero point below zero", 14, {"", 0xFFFFFFFB}, {}, "'-5' is outside 0 to 65535."},
      {"window beyond 100 %", 12, {"", 16385}, {}, "'16385' is outside 0 to 16384 (100 %)."},
      {"typed percent", 11, {"", 0}, "25", "", 4096},
      {"typed percent beyond", 11, {"", 0}, "101", "'101' is outside 0 to 100 %."},
      {"text of its registers", 32, {"12345678", 0}, {}, ""},
      {"text too long", 32, {"123456789", 0}, {}, "'123456789' is longer than 8 characters."},
      {"typed text too long", 34, {"", 0}, std::string(17, 'x'), "'" + std::string(17, 'x') + "' is longer than 16 characters."},
      // clang-format on
  };
  for (const auto& c : cases) {
    if (!c.typed) {
      EXPECT_EQ(ValueProblem(c.row, c.stored, 100), c.problem) << c.what;
      continue;
    }
    TParamSet set;
    set[c.row] = c.stored;
    std::string problem = "stale";
    EXPECT_EQ(TakeTypedValue(c.row, *c.typed, set, 100, problem), c.problem.empty()) << c.what;
    EXPECT_EQ(problem, c.problem) << c.what;
    EXPECT_EQ(set[c.row].Value, c.problem.empty() ? c.after : c.stored.Value) << c.what;
  }
}

// Whatever a fitting value shows in the grid, typed back, is taken and shows the same again:
// the check never refuses what the grid itself offers. (The zero point shows a truncated value
// and takes a rounded one.)
TEST(ValueCheck, WhatTheGridShowsIsTaken) {
  for (int row = 0; row < 31; ++row) {
    for (uint32_t v : {0u, 1u, 3u, 4u, 13u, 31u, 48u, 100u, 127u, 255u, 2047u, 16384u, 65535u}) {
      if (!ValueProblem(row, {"", v}, 300).empty()) continue;
      const std::string shown = GridCellText(row, {"", v}, 300);
      TParamSet set;
      std::string problem;
      EXPECT_TRUE(TakeTypedValue(row, shown, set, 300, problem)) << row << " " << v << problem;
      if (row == ROW_ZERO_POINT) continue;
      EXPECT_EQ(GridCellText(row, set[row], 300), shown) << row << " " << v;
    }
  }
}

}  // namespace
}  // namespace karvo
