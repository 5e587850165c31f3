#include "measure/MeasureLoop.h"

#include "measure/RunModes.h"
#include "params/ParamTable.h"

namespace karvo {

void TMeasureLoop::StartRun() {
  footer_.clear();
  series_.Clear();
  ring_.ResetRun();
}

TMeasureTake TMeasureLoop::Exchange(TMeasureSource& sensor, uint32_t runMode,
                                    int16_t measuringRange, std::string& labelRast) {
  TMeasureTake take;
  if (runMode == RUN_PULSE) {
    PulseRecord pulse;
    take.Status = sensor.ReadPulse(pulse);
    // A failed exchange leaves display and chart as they were; the watchdog sees the status.
    if (take.Status == ST_OK) DrawPulse(pulse, labelRast);
    return take;
  }
  uint16_t result = 0;
  take.Status = sensor.ReadResult(result);
  if (take.Status != ST_OK) {
    take.Taken = false;
    return take;
  }
  take.HaveRaw = true;
  take.Raw = static_cast<int16_t>(result);
  ring_.LastValue = ConvertResult(runMode, result, measuringRange);
  return take;
}

void TMeasureLoop::RecordResult(uint32_t runMode, std::string& labelRast) {
  const float value = ring_.LastValue;
  ring_.Store(value);
  labelRast = ResultText(runMode, value);
  if (ring_.FirstTick && value > FIRST_TICK_LIMIT) series_.Append(FIRST_TICK_LIMIT, "0", true);
  series_.Append(value, std::to_string(ring_.PointCounter));
  ++ring_.PointCounter;
}

void TMeasureLoop::DrawPulse(const PulseRecord& pulse, std::string& labelRast) {
  lastPulse_ = pulse;
  labelRast = std::to_string(pulse.Position) + " px";
  series_.Clear();
  for (int i = 0; i < PULSE_POINTS; ++i) {
    series_.Append(pulse.Samples[i], std::to_string(int{pulse.Position} + i - PULSE_OFFSET));
  }
  footer_.clear();
  footer_.push_back("Exposure: " + std::to_string(pulse.Exposure / 10) + " mks");
}

}  // namespace karvo
