// How a run mode turns a sensor result into the value that is shown, stored and saved, and
// the number texts of the display and the data file.
#pragma once

#include <cstdint>
#include <string>

namespace karvo {

constexpr double FULL_SCALE = 16384.0;  // raw units of the whole measuring range

// Fixed-point text with `decimals` decimals of `value` rounded to 10 significant digits, with
// the locale's decimal separator and no thousands separator. Safe on any thread.
std::string FixedText(double value, int decimals);

// The decimal separator of the current locale ('.' in the C locale).
char DecimalSeparator();

struct TModeDisplay {
  bool Millimetres;  // the result is scaled by the measuring range
  int Decimals;
  const char* Unit;  // with its leading space
};

// Display of the result-taking modes: "Line" and "Poverka" in mm, the others raw.
TModeDisplay ModeDisplay(uint32_t runMode);

// The value a result stands for in `runMode`: raw x range / 16384 in mm, or raw itself.
float ConvertResult(uint32_t runMode, uint16_t result, int16_t measuringRange);

// What the result display shows for a value: its fixed-point text and the mode's unit.
std::string ResultText(uint32_t runMode, float value);

// Size class of a measuring range, which picks the stage's step.
uint8_t RangeClassOf(int16_t measuringRange);

}  // namespace karvo
