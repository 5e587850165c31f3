// The sweep geometry against worked figures: range class, stage units and millimetres
// between samples, and where a sweep ends.
#include <gtest/gtest.h>

#include "measure/RunModes.h"
#include "stage/SweepGeometry.h"

namespace karvo {
namespace {

TEST(SweepGeometry, StepsForWorkedRanges) {
  const struct {
    int16_t range;
    uint8_t rangeClass;
    uint32_t units;
    float step;
  } rows[] = {
      // At 550 the float 0.025 is just above 0.025: the quotient is below 1
      {7, 0, 1, 0.0025f},   {8, 1, 1, 0.015f},          {130, 1, 1, 0.015f},
      {131, 2, 1, 0.025f},  {550, 2, 1, 0.025f},        {1000, 2, 2, 0.05f},
      {1200, 2, 3, 0.075f}, {1201, 3, 1, 0.056235295f}, {2000, 3, 2, 0.11247059f},
      {0, 0, 1, 0.0025f},   {-300, 0, 1, 0.0025f},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.range);
    ASSERT_EQ(RangeClassOf(row.range), row.rangeClass);
    EXPECT_EQ(StepUnitsOf(row.range, row.rangeClass), row.units);
    EXPECT_EQ(SampleStepOf(row.units, row.rangeClass), row.step);
  }
  // A whole quotient still gets one unit more: 330 / (0.015 x 22000) is 1 in double.
  EXPECT_EQ(StepUnitsOf(330, 1), 2u);
}

TEST(SweepGeometry, EndOfTravelCounts) {
  const struct {
    int16_t range;
    TSweepKind kind;
    uint32_t samples;
  } rows[] = {
      // The float step lies just below 0.015: 3400 steps reach 50.99999886 mm, not beyond 51.
      {50, TSweepKind::Calibration, 3401}, {50, TSweepKind::Verification, 3367},
      {0, TSweepKind::Calibration, 1},     {-5, TSweepKind::Verification, 1},
      {10, TSweepKind::Calibration, 681},  {550, TSweepKind::Calibration, 22440},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.range);
    EXPECT_EQ(SweepSampleCount(row.range, RangeClassOf(row.range), row.kind), row.samples);
  }
}

}  // namespace
}  // namespace karvo
