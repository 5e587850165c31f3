#include <gtest/gtest.h>

#include <limits>

#include "range/RangeGeometry.h"

namespace karvo {
namespace {

// The range window's picture: 689 wide, 117 - 33 high.
constexpr TRangeGeometry kWindow{689, 84, 100};

TEST(RangeGeometry, MousePositionToValueTruncatesTowardZero) {
  const struct {
    int32_t x, value, clamped;
  } cases[] = {
      {10, 0, 0}, {678, 100, 100}, {344, 50, 50},   {16, 0, 0},
      {5, 0, 0},  {-100, -16, 0},  {750, 110, 100},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kWindow.Value(c.x), c.value) << c.x;
    EXPECT_EQ(kWindow.ClampedValue(c.x), c.clamped) << c.x;
  }
}

TEST(RangeGeometry, ValueToPositionAndTicks) {
  const std::pair<int32_t, int32_t> cases[] = {{0, 10}, {50, 344}, {100, 678}, {1, 16}, {-16, -96}};
  for (const auto& [value, x] : cases) EXPECT_EQ(kWindow.X(value), x) << value;
  // Tick 1 at 10 %; its label, 12 px wide, a little left of centre.
  EXPECT_EQ(kWindow.TickX(1), 76);
  EXPECT_EQ(kWindow.TickLabel(1), 10);
  EXPECT_EQ(kWindow.TickLabelX(1, 12), 67);
}

TEST(RangeGeometry, DegenerateOrHugeInputsNeitherDivideByZeroNorOverflow) {
  EXPECT_EQ((TRangeGeometry{689, 84, 0}.X(50)), 10);
  EXPECT_EQ((TRangeGeometry{689, 84, 0}.TickX(3)), 10);
  EXPECT_EQ((TRangeGeometry{21, 84, 100}.Value(344)), 0);
  constexpr int32_t big = std::numeric_limits<int32_t>::max();
  EXPECT_EQ(kWindow.X(big), big);
  EXPECT_EQ(kWindow.X(-big), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(kWindow.X(30000000), 200400010);  // 668 * v needs more than 32 bits
}

}  // namespace
}  // namespace karvo
