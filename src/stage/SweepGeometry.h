// How far a sweep moves the stage between two samples, and when it has covered the range.
// The range class (0..3, by the sensor's measuring range) picks the stage fitted for that
// size of sensor; it is decided with the run and passed in here.
#pragma once

#include <cstdint>

namespace karvo {

enum class TSweepKind { Calibration, Verification };

// Millimetres one stage distance unit moves the carriage, by range class. Single precision on
// purpose: every figure derived from them starts from these exact float values.
inline constexpr float STAGE_STEP_MM[4] = {0.0025f, 0.015f, 0.025f, 0.056235295f};

// Table entries a calibration covers; a sweep stays below this many samples.
constexpr uint32_t SWEEP_TABLE_SIZE = 22000;

// Stage speeds and distances the runs send, in the controller's own units.
constexpr int32_t SWEEP_SPEED = 2000;
constexpr int32_t SWEEP_SPEED_SMALL = 500;  // range class 0
constexpr int32_t MOTION_DISTANCE = 8500;   // "Motion_Home" and "Motion_End"
constexpr int32_t LEAD_IN_DISTANCE = 500;   // range class 3 starts this far off home
constexpr uint32_t SAMPLE_BUDGET = 25;      // samples one tick takes at most

float StageStepMmOf(uint8_t rangeClass);  // classes above 3 are taken as 3

// Stage units between two samples: the range over 22000 stage steps, truncated, plus one
// (so a whole quotient still gets one unit more). A range of 0 or below gives 1.
uint32_t StepUnitsOf(int16_t range, uint8_t rangeClass);

// Millimetres between two samples, StepUnits x StageStepMm in single precision.
float SampleStepOf(uint32_t stepUnits, uint8_t rangeClass);

// The end-of-travel test after a sample: true when `samples` steps of `sampleStep` reach
// beyond 102 % (calibration) or 101 % (verification) of the range.
bool TravelEnded(uint32_t samples, float sampleStep, int16_t range, TSweepKind kind);

// Samples a sweep takes when every reading succeeds: the first count the test above ends at.
uint32_t SweepSampleCount(int16_t range, uint8_t rangeClass, TSweepKind kind);

}  // namespace karvo
