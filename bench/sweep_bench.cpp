// A whole calibration sweep through the session on the simulators: a 50 mm sensor paced like a
// real 115200 baud line, on a stage that moves in real time. The sampling phase's time per
// sample is set against what a sample needs at the least: two result exchanges with the sensor
// (6 bytes of 11 bits each), a status request and its reply and a step request to the stage
// (3 bytes of 10 bits), and the step itself (StepUnits at speed 2000 units a second). The table
// load that follows is the calibration table benchmark's subject and is not counted here.
#include <cstdio>

#include "SimBench.h"
#include "app/Session.h"
#include "measure/RunModes.h"
#include "sim/StageSim.h"
#include "stage/SweepGeometry.h"

namespace karvo::bench {
namespace {

constexpr int16_t RANGE = 50;
constexpr uint32_t BAUD = 115200;
constexpr double STAGE_BYTES = 3;
constexpr double STAGE_BITS_PER_BYTE = 10;

// Answers nothing (no file is saved); notes when the table load begins.
class TBenchOperator : public TOperator {
 public:
  Clock::time_point LoadBegan{};
  void Message(const std::string& text, const std::string&, TIcon) override {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  }
  bool Confirm(const std::string&, const std::string&) override { return false; }
  bool RetryCancel(const std::string&, const std::string&) override { return false; }
  std::optional<std::string> AskSaveFile(const std::string&) override { return std::nullopt; }
  std::optional<std::string> AskOpenFile() override { return std::nullopt; }
  void Beep() override {}
  void EditRange(int32_t&, int32_t&) override {}
  void Refresh() override {
    if (LoadBegan == Clock::time_point{}) LoadBegan = Clock::now();
  }
};

void BM_CalibrationSweep(benchmark::State& state) {
  sim::TSensorSimOptions sensorOptions;
  sensorOptions.Baud = BAUD;
  sensorOptions.MeasuringRange = RANGE;
  sim::TSensorSim sensor(sensorOptions);
  sim::TStageSimOptions stageOptions;
  stageOptions.MmPerUnit = sim::StageMmPerUnitForRange(RANGE);
  sim::TStageSim stage(stageOptions);
  std::string error;
  if (!sensor.Start(&error) || !stage.Start(&error)) {
    state.SkipWithError(("simulator: " + error).c_str());
    return;
  }
  sim::CoupleSensorToStage(sensor, stage);

  const uint8_t rangeClass = RangeClassOf(RANGE);
  const uint32_t units = StepUnitsOf(RANGE, rangeClass);
  const double need = 2 * EXCHANGE_BYTES * BITS_PER_BYTE / BAUD +
                      STAGE_BYTES * STAGE_BITS_PER_BYTE / BAUD +
                      static_cast<double>(units) / SWEEP_SPEED;
  TTimes times;
  uint32_t samples = 0;
  for (auto _ : state) {
    TBenchOperator person;
    TSession session(person);
    session.View.PortText = sensor.DevicePath();
    session.ComboBoxCOMChange();
    session.View.BaudIndex = 7;
    session.Device->Configure({sensor.DevicePath(), BAUD, 1, "/sys"});
    session.View.MotorPortText = stage.DevicePath();
    session.ButtonConnectClick();
    if (session.View.ButtonConnectTag != 1) {
      state.SkipWithError("the sensor did not connect");
      break;
    }
    session.RunMode = RUN_CALIBRATION;
    session.StartStopMeasure();
    person.LoadBegan = {};  // the connect showed its progress too
    Clock::time_point sampling{};
    while (session.Running()) {
      session.TimerMainTimer();
      if (sampling == Clock::time_point{} && session.StageRun.StageSubstate == 2)
        sampling = Clock::now();
    }
    samples = session.SampleRing.SampleCount;
    if (samples == 0 || person.LoadBegan == Clock::time_point{}) {
      state.SkipWithError("the sweep took no samples");
      break;
    }
    times.Add((person.LoadBegan - sampling) / samples);
  }
  sensor.SetTargetDistance(0);  // the stage goes before the sensor
  if (samples == 0) return;
  state.counters["samples"] = samples;
  state.counters["ms_per_sample"] = times.Mean() * 1e3;
  state.counters["need_ms_per_sample"] = need * 1e3;
  state.counters["ratio"] = times.Mean() / need;
  std::printf(
      "calibration sweep, %d mm at %u baud: %u samples, %.3f ms a sample, "
      "wire and stage need %.3f ms, time/need %.2f\n",
      RANGE, BAUD, samples, times.Mean() * 1e3, need * 1e3, times.Mean() / need);
}
BENCHMARK(BM_CalibrationSweep)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace karvo::bench

BENCHMARK_MAIN();
