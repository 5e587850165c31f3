// The measurement loop and the oscilloscope as the operator gets them: the real main window
// (offscreen), its 1 ms timer, the chart attached, against the paced simulated sensor.
//   results per second over a whole run and over its last 4096 (flat as the chart fills),
//   against the 1 ms timer's limit of 1000 a second;
//   the plot of a stopped stream of 65535 samples, and one replot of 65536 points.
// KARVO_BENCH_RESULTS sets the run's length (default 65536 results, about a minute a rate).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/qt/Main.h"
#include "bench/qt/QtBenchMain.h"
#include "measure/qt/Oscilloscope.h"
#include "sim/SensorSim.h"

namespace karvo::bench {
namespace {

constexpr double TIMER_LIMIT_PER_S = 1000;
constexpr size_t TAIL = 4096;

size_t RunLength() {
  const char* text = std::getenv("KARVO_BENCH_RESULTS");
  const long n = text ? std::atol(text) : 65536;
  return n > static_cast<long>(TAIL) ? static_cast<size_t>(n) : TAIL + 1;
}

void BM_MeasureRunThroughWindow(benchmark::State& state) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  sim::TSensorSim sensor({.Baud = baud});
  std::string error;
  if (!sensor.Start(&error)) return state.SkipWithError(error.c_str());
  TFormMain form;
  form.AddPort(sensor.DevicePath(), true);
  form.ComboBoxWorkBaund->setCurrentText(QString::number(baud));
  form.show();
  form.WaitIdle();
  form.ButtonConnect->click();
  form.WaitIdle();
  if (form.ButtonConnect->text() != "Disconnect") return state.SkipWithError("no connection");
  const size_t total = RunLength();
  // The chart's copy of the series: the session's own is the device thread's.
  const auto count = [&form] { return static_cast<size_t>(form.SeriesOsc->dataCount()); };
  double all = 0, tail = 0;
  for (auto _ : state) {
    QElapsedTimer clock;
    form.ButtonMeasure->click();
    clock.start();
    form.WaitIdle();
    qint64 tailStart = 0;
    while (count() < total && form.ButtonMeasure->text() == "Stop") {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      if (tailStart == 0 && count() >= total - TAIL) tailStart = clock.nsecsElapsed();
    }
    const double seconds = static_cast<double>(clock.nsecsElapsed()) * 1e-9;
    form.ButtonMeasure->click();
    form.WaitIdle();
    if (count() < total) return state.SkipWithError("the run ended early");
    all = static_cast<double>(total) / seconds;
    tail = static_cast<double>(TAIL) / (seconds - static_cast<double>(tailStart) * 1e-9);
  }
  state.counters["results_per_s"] = all;
  state.counters["last_4096_per_s"] = tail;
  state.counters["ratio"] = all / TIMER_LIMIT_PER_S;
  state.counters["last_4096_ratio"] = tail / TIMER_LIMIT_PER_S;
  std::printf(
      "Measure run %6u baud, %zu results: %.1f/s, last 4096 %.1f/s; against the 1 ms timer's "
      "%.0f/s: %.3f and %.3f (goal 0.95)\n",
      baud, total, all, tail, TIMER_LIMIT_PER_S, all / TIMER_LIMIT_PER_S, tail / TIMER_LIMIT_PER_S);
}
BENCHMARK(BM_MeasureRunThroughWindow)
    ->Arg(460800)
    ->Arg(115200)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

TOscSeries Ramp(size_t count) {
  TOscSeries series;
  for (size_t i = 0; i < count; ++i) {
    // A sine with a sensor's noise on it: every pixel column holds a spread of values.
    const double noise = static_cast<double>((i * 2654435761u) % 1000) * 0.002 - 1.0;
    series.Append(50.0 + 40.0 * std::sin(static_cast<double>(i) * 0.001) + noise,
                  std::to_string(i));
  }
  return series;
}

void BM_PlotStoppedStream(benchmark::State& state) {
  const TOscSeries series = Ramp(65535);
  TOscilloscope chart;
  chart.resize(402, 448);
  chart.show();
  const TOscSeries empty;
  for (auto _ : state) {
    chart.Show(empty, {});
    chart.FlushReplot();
    QElapsedTimer clock;
    clock.start();
    chart.Show(series, {});
    chart.FlushReplot();
    state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) * 1e-9);
  }
}
BENCHMARK(BM_PlotStoppedStream)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Replot65536(benchmark::State& state) {
  const TOscSeries series = Ramp(65536);
  TOscilloscope chart;
  chart.resize(402, 448);
  chart.show();
  chart.Show(series, {});
  chart.FlushReplot();
  for (auto _ : state) chart.replot(QCustomPlot::rpImmediateRefresh);
}
BENCHMARK(BM_Replot65536)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace karvo::bench

KARVO_QT_BENCHMARK_MAIN()
