#include <gtest/gtest.h>

#include <limits>

#include "range/RangeGeometry.h"

namespace karvo {
namespace {

// The range window's picture: 689 wide, 117 - 33 high.
constexpr TRangeGeometry kWindow{689, 84, 100};

// Clicks, drags and the drawing at ordinary values are seen through the window's own test;
// here the tick labels' place and the ends of the arithmetic.
TEST(RangeGeometry, TickLabelsAndDegenerateOrHugeInputs) {
  // Tick 1's label, 12 px wide, stands a little left of centre.
  EXPECT_EQ(kWindow.TickLabel(1), 10);
  EXPECT_EQ(kWindow.TickLabelX(1, 12), 67);
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
