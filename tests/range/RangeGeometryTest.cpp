#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "range/RangeGeometry.h"

namespace karvo {
namespace {

// The range window's picture: 689 wide, 117 - 33 high.
constexpr TRangeGeometry kWindow{689, 84, 100};

struct MouseCase {
  int32_t x;
  int32_t value;    // v(X) as computed
  int32_t clamped;  // what a click or drag sets
};

TEST(RangeGeometry, MousePositionToValue) {
  const MouseCase cases[] = {
      {10, 0, 0},      {678, 100, 100}, {344, 50, 50}, {16, 0, 0}, {5, 0, 0},  {-100, -16, 0},
      {750, 110, 100}, {200, 28, 28},   {677, 99, 99}, {17, 1, 1}, {3, -1, 0}, {-20000, -2995, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(kWindow.Value(c.x), c.value);
    EXPECT_EQ(kWindow.ClampedValue(c.x), c.clamped);
  }
}

TEST(RangeGeometry, ValueToPosition) {
  const std::pair<int32_t, int32_t> cases[] = {
      {0, 10}, {50, 344}, {100, 678}, {1, 16}, {-16, -96}, {110, 744}, {99, 671},
  };
  for (const auto& [value, x] : cases) {
    SCOPED_TRACE(value);
    EXPECT_EQ(kWindow.X(value), x);
  }
}

TEST(RangeGeometry, TicksAndTheirLabels) {
  // Tick x, label, and label left edge for a 12 px wide text.
  const struct {
    int32_t i, x, label, labelX;
  } cases[] = {
      {0, 10, 0, 1},
      {1, 76, 10, 67},
      {5, 344, 50, 335},
      {10, 678, 100, 669},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.i);
    EXPECT_EQ(kWindow.TickX(c.i), c.x);
    EXPECT_EQ(kWindow.TickLabel(c.i), c.label);
    EXPECT_EQ(kWindow.TickLabelX(c.i, 12), c.labelX);
  }
  EXPECT_EQ(kWindow.AreaBottom(), 64);
  EXPECT_EQ(kWindow.LabelY(), 67);
}

TEST(RangeGeometry, DegenerateWindowsDoNotDivideByZero) {
  constexpr TRangeGeometry noScale{689, 84, 0};
  EXPECT_EQ(noScale.X(50), 10);
  EXPECT_EQ(noScale.TickX(3), 10);
  EXPECT_EQ(noScale.Value(344), 0);
  constexpr TRangeGeometry noWidth{21, 84, 100};
  EXPECT_EQ(noWidth.Value(344), 0);
  EXPECT_EQ(noWidth.X(100), 10);
}

TEST(RangeGeometry, ValuesFromTheGridBeyondTheScaleDoNotOverflow) {
  constexpr int32_t big = std::numeric_limits<int32_t>::max();
  // 668 * big / 100 + 10 needs more than 32 bits on the way.
  EXPECT_EQ(kWindow.X(big), big);
  EXPECT_EQ(kWindow.X(-big), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(kWindow.X(30000000), 200400010);
}

TEST(RangeGeometry, PercentAndScaleCode) {
  const std::pair<int32_t, int32_t> toCode[] = {
      {0, 0}, {100, 16384}, {25, 4096}, {75, 12288}, {1, 164}, {50, 8192}, {-1, -163},
  };
  for (const auto& [percent, code] : toCode)
    EXPECT_EQ(PercentToScaleCode(percent), code) << percent;
  const std::pair<int32_t, int32_t> toPercent[] = {
      {0, 0}, {16384, 100}, {4096, 25}, {164, 1}, {81, 0}, {82, 1}, {16383, 100},
  };
  for (const auto& [code, percent] : toPercent)
    EXPECT_EQ(ScaleCodeToPercent(code), percent) << code;
  // Every whole percent survives the trip to the sensor's scale and back.
  for (int32_t p = 0; p <= 100; ++p) EXPECT_EQ(ScaleCodeToPercent(PercentToScaleCode(p)), p);
}

}  // namespace
}  // namespace karvo
