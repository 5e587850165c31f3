#include "stage/SweepGeometry.h"

#include <cmath>

namespace karvo {

float StageStepMmOf(uint8_t rangeClass) {
  return STAGE_STEP_MM[rangeClass > 3 ? 3 : rangeClass];
}

uint32_t StepUnitsOf(int16_t range, uint8_t rangeClass) {
  // Wider than single precision, from the float table value: R = 550 must give 1, because
  // the float 0.025 lies just above 0.025.
  const double quotient =
      static_cast<double>(range) /
      (static_cast<double>(StageStepMmOf(rangeClass)) * static_cast<double>(SWEEP_TABLE_SIZE));
  // A negative range would otherwise wrap to a huge stage distance.
  if (!(quotient > 0.0)) return 1;
  return static_cast<uint32_t>(std::trunc(quotient)) + 1;
}

float SampleStepOf(uint32_t stepUnits, uint8_t rangeClass) {
  return static_cast<float>(stepUnits) * StageStepMmOf(rangeClass);
}

bool TravelEnded(uint32_t samples, float sampleStep, int16_t range, TSweepKind kind) {
  const double share = kind == TSweepKind::Calibration ? 1.02 : 1.01;
  return static_cast<double>(samples) * static_cast<double>(sampleStep) >
         static_cast<double>(range) * share;
}

uint32_t SweepSampleCount(int16_t range, uint8_t rangeClass, TSweepKind kind) {
  const float step = SampleStepOf(StepUnitsOf(range, rangeClass), rangeClass);
  uint32_t samples = 1;
  while (!TravelEnded(samples, step, range, kind)) ++samples;
  return samples;
}

}  // namespace karvo
