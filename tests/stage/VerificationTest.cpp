// The verification result: the stretch that is evaluated, the centred deviations, the error
// and its footer, the chart labels and the ".pvk" file.
#include <gtest/gtest.h>

#include "stage/SweepGeometry.h"
#include "stage/Verification.h"

namespace karvo {
namespace {

TVerification Evaluate(const std::vector<float>& samples, float step, char separator = '.') {
  return EvaluateVerification(samples.data(), static_cast<uint32_t>(samples.size()), step,
                              separator);
}

TEST(Verification, StretchRunsFromTheFirstReadingAfterIndexZeroToBeforeTheLast) {
  const float step = SampleStepOf(1, 1);
  const struct {
    std::vector<float> samples;
    size_t first, last;
    std::string file;
  } rows[] = {
      {{0, 0, 5.0f, 5.1f, 5.2f, 0}, 2, 4, "0.015000\n5.0000\r\n5.1000\r\n"},
      {{4.0f, 4.5f, 4.25f, 4.3f}, 1, 3, "0.015000\n4.5000\r\n4.2500\r\n"},
      {{0, 3.0f, 0}, 1, 1, "0.015000\n"},
      {{}, 0, 0, "0.015000\n"},
      {{0, -2.00005f, 12345.678f, 1}, 1, 3, "0.015000\n-2.0001\r\n12345.6777\r\n"},
  };
  for (const auto& row : rows) {
    TVerification v = Evaluate(row.samples, step);
    EXPECT_EQ(v.Stretch.First, row.first);
    EXPECT_EQ(v.Stretch.Last, row.last);
    EXPECT_EQ(VerificationFileBytes(row.samples.data(), v.Stretch, step), row.file);
  }
  // Labels are positions truncated, not rounded: the step lies just below 0.015.
  const std::vector<float> two = {0, 1, 2, 3};
  EXPECT_EQ(Evaluate(two, step).Points[1].Label, "0.0149");
  EXPECT_EQ(Evaluate(two, step, ',').Points[1].Label, "0,0149");
}

TEST(Verification, DeviationsAreCentredAndTheErrorIsHalfTheirSpreadOverTheTravel) {
  // Step 1 mm: readings 10, 11, 12.5, 13, 14 stray by 0, 0, +0.5, 0, 0 from a straight line.
  const std::vector<float> samples = {0, 10, 11, 12.5f, 13, 14, 99};
  TVerification v = Evaluate(samples, 1.0f);
  EXPECT_EQ(v.Deviations, (std::vector<float>{-0.25f, -0.25f, 0.25f, -0.25f, -0.25f}));
  EXPECT_FLOAT_EQ(v.ErrorPercent, 5.0f);  // 0.5 x 100 / (2 x 1 x 5)
  EXPECT_EQ(v.Footer, "Error: 5.000 %");
  EXPECT_EQ(Evaluate(samples, 1.0f, ',').Footer, "Error: 5,000 %");
  ASSERT_EQ(v.Points.size(), 5u);
  EXPECT_EQ(v.Points[2].Y, 0.25);
  EXPECT_EQ(v.Points[2].Label, "2");

  // A perfectly linear sweep has no error at all.
  std::vector<float> linear(200);
  for (size_t i = 1; i < linear.size(); ++i) linear[i] = 3.0f + 0.5f * static_cast<float>(i);
  EXPECT_EQ(Evaluate(linear, 0.5f).Footer, "Error: 0.000 %");
}

TEST(Verification, AnEmptyStretchOrNoTravelGiveNoErrorAndLongSweepsAreEvaluatedWhole) {
  EXPECT_EQ(Evaluate({0, 7.0f, 0, 0}, 0.015f).Footer, "Error: none");
  EXPECT_EQ(Evaluate({0, 1, 2, 3}, 0.0f).Footer, "Error: none");

  std::vector<float> samples(30000);
  for (size_t i = 1; i < samples.size(); ++i) samples[i] = 0.01f * static_cast<float>(i);
  TVerification v = Evaluate(samples, 0.01f);
  EXPECT_EQ(v.Deviations.size(), 29998u);
  EXPECT_TRUE(v.HasError);
  EXPECT_LT(v.ErrorPercent, 0.01f);
}

}  // namespace
}  // namespace karvo
