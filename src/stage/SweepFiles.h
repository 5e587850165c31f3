// What the calibration and verification results share: the stretch of samples that counts,
// the chart points they show, number texts and saving a result file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace karvo {

// Indices First..Last-1 of a run of values: First is the lowest non-zero index from 1 up,
// Last the highest non-zero index, itself left out. Index 0 never opens a stretch.
struct TStretch {
  size_t First = 0;
  size_t Last = 0;
  bool Empty() const { return First >= Last; }
  size_t Size() const { return Empty() ? 0 : Last - First; }
};

template <typename T>
TStretch FindStretch(const T* values, size_t count) {
  TStretch stretch;
  for (size_t i = count; i-- > 0;) {
    if (values[i] != 0) {
      stretch.Last = i;
      break;
    }
  }
  for (size_t i = 1; i < count; ++i) {
    if (values[i] != 0) {
      stretch.First = i;
      break;
    }
  }
  return stretch;
}

// One point of the result chart: X counts the points, Y is the value, Label names the point.
struct TChartPoint {
  double X = 0;
  double Y = 0;
  std::string Label;
};

constexpr const char* CALIBRATION_EXTENSION = ".klb";
constexpr const char* VERIFICATION_EXTENSION = ".pvk";

// Fixed-point text with `decimals` decimals and at most `digits` significant digits, the
// separator given (the files always use '.'); independent of the C locale.
std::string FixedPointText(double value, int decimals, int digits = 10, char separator = '.');

// General number text (shortest form, 15 significant digits at most).
std::string GeneralNumberText(double value, char separator = '.');

}  // namespace karvo
