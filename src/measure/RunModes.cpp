#include "measure/RunModes.h"

#include <langinfo.h>

#include <charconv>
#include <cmath>

#include "params/ParamTable.h"

namespace karvo {

char DecimalSeparator() {
  // nl_langinfo follows the thread's locale and is safe to call from the streaming worker.
  const char* radix = nl_langinfo(RADIXCHAR);
  return (radix != nullptr && radix[0] != '\0') ? radix[0] : '.';
}

std::string FixedText(double value, int decimals) {
  if (!std::isfinite(value)) return std::isnan(value) ? "NAN" : (value < 0 ? "-INF" : "INF");
  char buffer[400];
  // Ten significant digits first, then the decimals asked for.
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 9);
  double rounded = value;
  if (ec == std::errc()) std::from_chars(buffer, end, rounded);
  auto [last, ec2] =
      std::to_chars(buffer, buffer + sizeof buffer, rounded, std::chars_format::fixed, decimals);
  std::string text(buffer, ec2 == std::errc() ? last : buffer);
  // A value that rounds to zero shows no sign.
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  const char separator = DecimalSeparator();
  if (separator != '.') {
    const size_t point = text.find('.');
    if (point != std::string::npos) text[point] = separator;
  }
  return text;
}

TModeDisplay ModeDisplay(uint32_t runMode) {
  switch (runMode) {
    case RUN_LINE:
    case RUN_POVERKA:
      return {true, 4, " mm"};
    case RUN_TEMPERATURE:
      return {false, 0, " cl"};
    default:
      return {false, 0, " px"};
  }
}

float ConvertResult(uint32_t runMode, uint16_t result, int16_t measuringRange) {
  const auto raw = static_cast<int16_t>(result);
  if (!ModeDisplay(runMode).Millimetres) return static_cast<float>(raw);
  return static_cast<float>(raw * static_cast<double>(measuringRange) / FULL_SCALE);
}

std::string ResultText(uint32_t runMode, float value) {
  const TModeDisplay d = ModeDisplay(runMode);
  return FixedText(value, d.Decimals) + d.Unit;
}

uint8_t RangeClassOf(int16_t measuringRange) {
  if (measuringRange > 1200) return 3;
  if (measuringRange > 130) return 2;
  if (measuringRange > 7) return 1;
  return 0;
}

}  // namespace karvo
