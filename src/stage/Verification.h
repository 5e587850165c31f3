// What a verification sweep shows: how far the linearised readings stray from a straight line
// (the deviation curve and the error in percent), and the ".pvk" file of the readings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stage/SweepFiles.h"

namespace karvo {

struct TVerification {
  TStretch Stretch;                 // of the samples; the last non-zero one is left out
  std::vector<float> Deviations;    // one per sample of the stretch, centred on 0, mm
  bool HasError = false;            // false when the stretch is empty: no error to give
  float ErrorPercent = 0;           // half the spread of the deviations over the travel
  std::vector<TChartPoint> Points;  // deviation by position, labelled with the position
  std::string Footer;               // "Error: 0.123 %", or the reason there is none
};

// Evaluates a verification sweep of `count` samples in mm, `sampleStep` mm apart.
// `separator` is the system's decimal separator, for the footer and the labels.
TVerification EvaluateVerification(const float* samples, uint32_t count, float sampleStep,
                                   char separator = '.');

// The ".pvk" file: the sample step line ending in a lone LF, then each sample of the stretch
// with 4 decimals and CR LF; always points as decimal separators.
std::string VerificationFileBytes(const float* samples, const TStretch& stretch, float sampleStep);

inline constexpr const char* NO_VERIFICATION_TEXT =
    "Too few readings for a verification: the sweep saw the target at fewer than two steps.";

}  // namespace karvo
