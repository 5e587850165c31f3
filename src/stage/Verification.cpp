#include "stage/Verification.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace karvo {

TVerification EvaluateVerification(const float* samples, uint32_t count, float sampleStep,
                                   char separator) {
  TVerification v;
  v.Stretch = FindStretch(samples, count);
  const size_t first = v.Stretch.First;
  // Bounds start at the first deviation: bounds of plus and minus the travel would stand
  // in for the spread whenever the readings are offset by more than the travel.
  float min = std::numeric_limits<float>::infinity();
  float max = -std::numeric_limits<float>::infinity();
  // The list is as long as the stretch, however long that is.
  v.Deviations.reserve(v.Stretch.Size());
  for (size_t j = first; j < v.Stretch.Last; ++j) {
    const size_t k = j - first;
    const auto deviation =
        static_cast<float>(static_cast<double>(samples[j]) - static_cast<double>(k) * sampleStep);
    v.Deviations.push_back(deviation);
    min = std::min(min, deviation);
    max = std::max(max, deviation);
  }
  const float mid = v.Deviations.empty() ? 0.0f : (max + min) * 0.5f;
  v.Points.reserve(v.Deviations.size());
  for (size_t k = 0; k < v.Deviations.size(); ++k) {
    v.Deviations[k] -= mid;
    // Truncated, not rounded: with a step just below 0.015 the labels read 0.0149, 0.0299.
    const double position = std::trunc(static_cast<double>(k) * sampleStep * 10000.0) / 10000.0;
    v.Points.push_back(
        {static_cast<double>(k), v.Deviations[k], GeneralNumberText(position, separator)});
  }
  const double travel =
      2.0 * static_cast<double>(sampleStep) * static_cast<double>(v.Stretch.Size());
  v.HasError = !v.Stretch.Empty() && travel > 0.0 && std::isfinite(travel);
  if (v.HasError) {
    v.ErrorPercent = static_cast<float>((static_cast<double>(max) - min) * 100.0 / travel);
    v.Footer = "Error: " + FixedPointText(v.ErrorPercent, 3, 10, separator) + " %";
  } else {
    v.Footer = "Error: none";
  }
  return v;
}

std::string VerificationFileBytes(const float* samples, const TStretch& stretch, float sampleStep) {
  std::string bytes = FixedPointText(sampleStep, 6, 10) + "\n";
  for (size_t j = stretch.First; j < stretch.Last; ++j)
    bytes += FixedPointText(samples[j], 4, 12) + "\r\n";
  return bytes;
}

}  // namespace karvo
