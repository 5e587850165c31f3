// Geometry of the range window's scale: where a value is drawn and which value a mouse
// position means, for a picture W pixels wide whose scale runs from x = 10 (value 0) to
// x = W - 11 (value `full`). Integer arithmetic truncating toward zero, as the window has
// always drawn it; the intermediate products are 64-bit so that any 32-bit value the grid
// hands over is drawn without overflow.
#pragma once

#include <cstdint>

namespace karvo {

inline constexpr int32_t RANGE_SCALE_LEFT = 10;    // x of value 0
inline constexpr int32_t RANGE_SCALE_MARGIN = 21;  // W less the scale's length
inline constexpr int32_t RANGE_TICKS = 10;         // ticks at 0, 10 %, ... 100 %
inline constexpr int32_t RANGE_BASE_GAP = 20;      // drawing area ends at H - 20
inline constexpr int32_t RANGE_LABEL_GAP = 17;     // tick labels stand at H - 17

struct TRangeGeometry {
  int32_t Width = 0;   // W: picture width
  int32_t Height = 0;  // H: picture height
  int32_t Full = 100;  // value of the scale's right end

  // x(v) = (W - 21) * v / full + 10.
  int32_t X(int32_t value) const;
  // v(X) = (X - 10) * full / (W - 21); not clamped.
  int32_t Value(int32_t x) const;
  // v(X) raised to 0 and lowered to `Full`: what a click or a drag sets.
  int32_t ClampedValue(int32_t x) const;
  // Tick i (0..10) at (W - 21) * (i * full / 10) / full + 10.
  int32_t TickX(int32_t i) const;
  // The number written under tick i: i * full / 10.
  int32_t TickLabel(int32_t i) const;
  // Left edge of tick i's label of the given pixel width: centred a little left of the
  // evenly spaced position (W - 21) * i / 10 + 10.
  int32_t TickLabelX(int32_t i, int32_t textWidth) const;
  int32_t AreaBottom() const { return Height - RANGE_BASE_GAP; }
  int32_t LabelY() const { return Height - RANGE_LABEL_GAP; }
};

// `value` raised to 0 and lowered to `full`.
int32_t ClampToScale(int32_t value, int32_t full);

}  // namespace karvo
