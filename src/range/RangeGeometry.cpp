#include "range/RangeGeometry.h"

#include <algorithm>
#include <limits>

namespace karvo {

namespace {

// The scale's formulas divide by `full` and by W - 21; a degenerate window (no width, or
// a zero scale) must not divide by zero, so it puts everything at the scale's left end.
int32_t Narrow(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

}  // namespace

int32_t TRangeGeometry::X(int32_t value) const {
  if (Full == 0) return RANGE_SCALE_LEFT;
  const int64_t span = int64_t{Width} - RANGE_SCALE_MARGIN;
  return Narrow(span * value / Full + RANGE_SCALE_LEFT);
}

int32_t TRangeGeometry::Value(int32_t x) const {
  const int64_t span = int64_t{Width} - RANGE_SCALE_MARGIN;
  if (span <= 0) return 0;
  return Narrow((int64_t{x} - RANGE_SCALE_LEFT) * Full / span);
}

int32_t TRangeGeometry::ClampedValue(int32_t x) const {
  return ClampToScale(Value(x), Full);
}

int32_t TRangeGeometry::TickX(int32_t i) const {
  if (Full == 0) return RANGE_SCALE_LEFT;
  const int64_t span = int64_t{Width} - RANGE_SCALE_MARGIN;
  return Narrow(span * (int64_t{i} * Full / RANGE_TICKS) / Full + RANGE_SCALE_LEFT);
}

int32_t TRangeGeometry::TickLabel(int32_t i) const {
  return Narrow(int64_t{i} * Full / RANGE_TICKS);
}

int32_t TRangeGeometry::TickLabelX(int32_t i, int32_t textWidth) const {
  const int64_t span = int64_t{Width} - RANGE_SCALE_MARGIN;
  return Narrow(span * i / RANGE_TICKS + RANGE_SCALE_LEFT - textWidth / 2 - 3);
}

int32_t ClampToScale(int32_t value, int32_t full) {
  if (value < 0) return 0;
  if (value > full) return full;
  return value;
}

}  // namespace karvo
