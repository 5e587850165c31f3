// The run modes' conversion of a sensor result and the number texts it is shown with.
#include <gtest/gtest.h>

#include "measure/RunModes.h"
#include "params/ParamTable.h"

namespace karvo {
namespace {

TEST(RunModes, ConversionDecimalsAndUnitPerMode) {
  struct Case {
    uint32_t mode;
    int16_t range;
    uint16_t word;
    const char* text;
  } cases[] = {
      {RUN_LINE, 100, 0xC000, "-100.0000 mm"},  // signed
      {RUN_LINE, 100, 1, "0.0061 mm"},
      {RUN_LINE, 32767, 32767, "65532.0000 mm"},  // held as a single-precision value
      {RUN_POVERKA, 500, 16384, "500.0000 mm"},
      {RUN_NONLINE, 100, 0xFFFF, "-1 px"},
      {RUN_CALIBRATION, 100, 12000, "12000 px"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResultText(c.mode, ConvertResult(c.mode, c.word, c.range)), c.text);
}

TEST(RunModes, FixedTextRoundsToTenSignificantDigitsAndDropsTheSignOfZero) {
  struct Case {
    double value;
    int decimals;
    const char* text;
  } cases[] = {{12.3456f, 3, "12.346"},
               {1234567.891234, 4, "1234567.8910"},
               {0.0005, 3, "0.001"},
               {-0.00001, 4, "0.0000"},
               {-0.4, 0, "0"}};
  for (const Case& c : cases) EXPECT_EQ(FixedText(c.value, c.decimals), c.text) << c.value;
}

}  // namespace
}  // namespace karvo
