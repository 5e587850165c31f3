// How long the window's thread stands still while the device thread works: the worst lateness
// of a 10 ms timer on the window's thread during a connect at 9600 baud, a connect to a silent
// sensor, "Load All" at 9600, a calibration sweep with its table load at 115200, and a measure
// run at 460800. Goal: under 20 ms in every case.
#include <benchmark/benchmark.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/qt/Main.h"
#include "bench/qt/QtBenchMain.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"

namespace karvo::bench {
namespace {

constexpr double GOAL_MS = 20;
constexpr int PROBE_MS = 10;

// Answers every box at once: OK, Cancel to file names and to the table's Retry.
class TQuietOperator : public TOperator {
 public:
  void Message(const std::string&, const std::string&, TIcon) override {}
  bool Confirm(const std::string&, const std::string&) override { return true; }
  bool RetryCancel(const std::string&, const std::string&) override { return false; }
  std::optional<std::string> AskSaveFile(const std::string&) override { return std::nullopt; }
  std::optional<std::string> AskOpenFile() override { return std::nullopt; }
  void Beep() override {}
  void EditRange(int32_t&, int32_t&) override {}
  void Refresh() override {}
};

// Starts `work`, then serves the window's events until `done`; the worst lateness of the
// probe timer meanwhile, in ms.
double WorstStall(const std::function<void()>& work, const std::function<bool()>& done,
                  int limitMs = 600000) {
  QElapsedTimer clock;
  qint64 last = 0, worst = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(PROBE_MS);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    worst = std::max(worst, now - last - PROBE_MS * 1000000LL);
    last = now;
  });
  clock.start();
  probe.start();
  work();
  while (!done() && clock.elapsed() < limitMs) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  }
  return static_cast<double>(worst) * 1e-6;
}

void Report(benchmark::State& state, const char* what, double ms) {
  state.counters["worst_stall_ms"] = ms;
  std::printf("Window thread's worst stall, %-44s %7.1f ms (goal < %.0f ms)%s\n", what, ms, GOAL_MS,
              ms < GOAL_MS ? "" : "  NOT MET");
}

struct TBench {
  sim::TSensorSim Sensor;
  TQuietOperator Person;
  TFormMain Form;
  explicit TBench(const sim::TSensorSimOptions& options) : Sensor(options) {
    Sensor.Start();
    Form.SetDialogs(&Person);
    Form.AddPort(Sensor.DevicePath(), true);
    Form.ComboBoxWorkBaund->setCurrentText(QString::number(options.Baud));
    Form.show();
    Form.WaitIdle();
  }
  bool Connected() { return Form.Idle() && Form.ButtonConnect->text() == "Disconnect"; }
  bool Connect() {
    Form.ButtonConnect->click();
    Form.WaitIdle();
    return Connected();
  }
};

void BM_Connect9600(benchmark::State& state) {
  for (auto _ : state) {
    TBench b({.Baud = 9600});
    Report(state, "connect at 9600 baud:",
           WorstStall([&] { b.Form.ButtonConnect->click(); }, [&] { return b.Connected(); }));
  }
}
BENCHMARK(BM_Connect9600)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_ConnectSilent(benchmark::State& state) {
  for (auto _ : state) {
    TBench b({.Baud = 9600});
    b.Sensor.FailSilent();
    Report(state, "connect to a silent sensor:",
           WorstStall([&] { b.Form.ButtonConnect->click(); }, [&] { return b.Form.Idle(); }));
  }
}
BENCHMARK(BM_ConnectSilent)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_LoadAll9600(benchmark::State& state) {
  for (auto _ : state) {
    TBench b({.Baud = 9600});
    if (!b.Connect()) return state.SkipWithError("no connection");
    QAction* loadAll = b.Form.findChild<QAction*>("PopupMenuLoadAll");
    Report(state, "\"Load All\" at 9600 baud:",
           WorstStall([&] { loadAll->trigger(); }, [&] { return b.Form.Idle(); }));
  }
}
BENCHMARK(BM_LoadAll9600)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_CalibrationTableLoad115200(benchmark::State& state) {
  for (auto _ : state) {
    TBench b({.Baud = 115200, .MeasuringRange = 10});
    sim::TStageSim stage({.MmPerUnit = sim::StageMmPerUnitForRange(10), .TimeScale = 0.001});
    stage.Start();
    sim::CoupleSensorToStage(b.Sensor, stage);
    if (!b.Connect()) return state.SkipWithError("no connection");
    const std::string stagePath = stage.DevicePath();
    // The sweep and, at its end, the table's 41 pages written and read back.
    bool started = false;
    const double ms = WorstStall(
        [&] {
          b.Form.Post([stagePath](TSession& s) {
            s.RunMode = RUN_CALIBRATION;
            s.View.MotorPortText = stagePath;
            s.StartStopMeasure();
          });
        },
        [&] {
          if (!started) started = b.Form.ButtonMeasure->text() == "Stop";
          return started && b.Form.Idle() && b.Form.ButtonMeasure->text() == "Measure";
        });
    Report(state, "calibration sweep and table load at 115200:", ms);
    b.Sensor.SetTargetDistance(0);  // the stage goes first
  }
}
BENCHMARK(BM_CalibrationTableLoad115200)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

void BM_MeasureRun460800(benchmark::State& state) {
  for (auto _ : state) {
    TBench b({.Baud = 460800});
    if (!b.Connect()) return state.SkipWithError("no connection");
    QElapsedTimer run;
    const double ms = WorstStall(
        [&] {
          b.Form.ButtonMeasure->click();
          run.start();
        },
        [&] { return run.elapsed() > 5000; });
    b.Form.ButtonMeasure->click();
    b.Form.WaitIdle();
    Report(state, "5 s measure run at 460800 baud:", ms);
  }
}
BENCHMARK(BM_MeasureRun460800)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace karvo::bench

KARVO_QT_BENCHMARK_MAIN()
