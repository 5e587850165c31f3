#include "stage/SweepFiles.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace karvo {
namespace {

std::string WithSeparator(std::string text, char separator) {
  std::replace(text.begin(), text.end(), '.', separator);
  return text;
}

}  // namespace

std::string FixedPointText(double value, int decimals, int digits, char separator) {
  char buffer[400];
  // More integer digits than the precision holds leave fewer decimals, as the platform's
  // fixed-point formatting does.
  int decimalsUsed = decimals;
  if (std::isfinite(value) && value != 0.0) {
    const int integerDigits = static_cast<int>(std::floor(std::log10(std::fabs(value)))) + 1;
    decimalsUsed = std::clamp(digits - integerDigits, 0, decimals);
  }
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimalsUsed);
  if (error != std::errc()) return "";
  std::string text(buffer, end);
  // Pad back to the decimals asked for: the digits beyond the precision read as zeros.
  if (decimalsUsed < decimals && std::isfinite(value)) {
    if (decimalsUsed == 0) text += '.';
    text.append(static_cast<size_t>(decimals - decimalsUsed), '0');
  }
  return WithSeparator(text, separator);
}

std::string GeneralNumberText(double value, char separator) {
  char buffer[64];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  if (error != std::errc()) return "";
  return WithSeparator(std::string(buffer, end), separator);
}

}  // namespace karvo
