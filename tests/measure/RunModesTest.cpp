// Number texts and the run modes' conversion of a sensor result.
#include <gtest/gtest.h>

#include <cmath>

#include "measure/RunModes.h"
#include "params/ParamTable.h"

namespace karvo {
namespace {

TEST(FixedText, TenSignificantDigitsThenTheDecimalsAsked) {
  struct Case {
    double value;
    int decimals;
    const char* text;
  } cases[] = {
      {50.0, 4, "50.0000"},
      {-100.0, 4, "-100.0000"},
      {12.3456, 3, "12.346"},
      {12.3456f, 3, "12.346"},  // as a float sample holds it
      {2000.0, 0, "2000"},
      {-0.4, 0, "0"},  // rounds to zero: no sign
      {-0.00001, 4, "0.0000"},
      {0.0005, 3, "0.001"},
      {1234567.891234, 4, "1234567.8910"},  // digits past the tenth significant one are zero
      {32767.0 * 32767 / 16384, 4, "65532.0001"},
      {0.0, 3, "0.000"},
  };
  for (const Case& c : cases) EXPECT_EQ(FixedText(c.value, c.decimals), c.text) << c.value;
  EXPECT_EQ(DecimalSeparator(), '.');  // the tests run in the C locale
}

TEST(RunModes, ConversionDecimalsAndUnitPerMode) {
  struct Case {
    uint32_t mode;
    int16_t range;
    uint16_t word;
    float value;
    const char* text;
  } cases[] = {
      {RUN_LINE, 100, 8192, 50.0f, "50.0000 mm"},
      {RUN_LINE, 100, 0xC000, -100.0f, "-100.0000 mm"},
      {RUN_LINE, 100, 1, 100.0f / 16384, "0.0061 mm"},
      {RUN_POVERKA, 500, 16384, 500.0f, "500.0000 mm"},
      {RUN_NONLINE, 100, 2000, 2000.0f, "2000 px"},
      {RUN_NONLINE, 100, 0xFFFF, -1.0f, "-1 px"},  // signed, not 65535
      {RUN_TEMPERATURE, 100, 21, 21.0f, "21 cl"},
      {RUN_CALIBRATION, 100, 12000, 12000.0f, "12000 px"},
  };
  for (const Case& c : cases) {
    const float value = ConvertResult(c.mode, c.word, c.range);
    EXPECT_FLOAT_EQ(value, c.value) << c.mode << " " << c.word;
    EXPECT_EQ(ResultText(c.mode, value), c.text);
  }
}

TEST(RunModes, RangeClassBoundariesAreSigned) {
  const std::pair<int16_t, uint8_t> cases[] = {
      {-5, 0}, {7, 0}, {8, 1}, {130, 1}, {131, 2}, {1200, 2}, {1201, 3}, {32767, 3}, {-32768, 0}};
  for (auto [range, cls] : cases) EXPECT_EQ(RangeClassOf(range), cls) << range;
}

}  // namespace
}  // namespace karvo
