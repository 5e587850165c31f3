// KARVO-SP desktop program: the main window and the range window. `--demo` puts a simulated
// sensor on a pseudo-terminal and offers it as the port, so Connect finds a real answer.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>

#include "app/Session.h"
#include "app/qt/Main.h"
#include "app/qt/PluginChatter.h"
#include "app/qt/Tour.h"
#include "measure/qt/Oscilloscope.h"
#include "range/qt/Range.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"

namespace {

constexpr double DEMO_SWAY_PERIOD_S = 10;

const char* const HELP =
    "Usage: karvo-sp [--demo] [--tour DIR] [--help] [--version]\n"
    "\n"
    "Setup program for KARVO laser distance sensors on a serial line.\n"
    "\n"
    "  --demo   start a simulated sensor (9600 baud, net address 1) on a pseudo-terminal\n"
    "           and select it as the port; click Connect to talk to it. A simulated stage\n"
    "           carries the sensor's target and is selected in \"COM Motor:\"\n"
    "  --tour DIR  as --demo, then connect, measure and stream by itself, save a picture\n"
    "           of each step in DIR, say what it did, and quit\n"
    "  --help   show this text\n"
    "  --version  show the program's version\n"
    "\n"
    "Ports: COM1..COM8 are /dev/ttyS0../dev/ttyS7, USB is the sensor's USB adapter; USB and\n"
    "ACM serial devices found on this machine are listed too, and any device path may be\n"
    "typed into the port box.\n";

// An exception that escapes an event handler is shown and ends the program, as one that
// escapes start-up does.
class TApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      Fail(e.what());
    } catch (...) {
      Fail("Unknown error.");
    }
    return false;
  }

  static void Fail(const QString& what) {
    static bool failing = false;
    if (failing) return;
    failing = true;
    QMessageBox::critical(nullptr, karvo::APP_TITLE, what);
    QCoreApplication::exit(1);
  }
};

struct TOptions {
  bool Demo = false;
  // For looking at the windows without a person: save pictures and quit.
  QString Screenshot;
  QString ScreenshotRange;
  QString Tour;
  bool ScreenshotConnected = false;
  int ScreenshotDelayMs = 300;
  bool Help = false;
  bool Version = false;
};

// "" when `args` (the program's name first) parse, else what is wrong with them. With
// `lenient`, only help and version are looked for: Qt's own options are still among the
// arguments then.
QString ParseOptions(const QStringList& args, TOptions& o, bool lenient = false) {
  QCommandLineParser parser;
  const QCommandLineOption demo("demo"), tour("tour", "", "DIR"), shot("screenshot", "", "FILE"),
      shotRange("screenshot-range", "", "FILE"), shotConnected("screenshot-connected"),
      shotDelay("screenshot-delay", "", "MS"), help(QStringList{"h", "help"}), version("version");
  parser.addOptions({demo, tour, shot, shotRange, shotConnected, shotDelay, help, version});
  const bool parsed = parser.parse(args);
  o.Help = parser.isSet(help);
  o.Version = parser.isSet(version);
  if (lenient) return {};
  if (!parsed) return parser.errorText();
  if (!parser.positionalArguments().isEmpty()) {
    return "unexpected '" + parser.positionalArguments().front() + "'";
  }
  o.Demo = parser.isSet(demo) || parser.isSet(tour);
  o.Tour = parser.value(tour);
  o.Screenshot = parser.value(shot);
  o.ScreenshotRange = parser.value(shotRange);
  o.ScreenshotConnected = parser.isSet(shotConnected);
  if (parser.isSet(shotDelay)) {
    // A delay that is not a number must not quietly become no delay at all.
    const std::string text = parser.value(shotDelay).toStdString();
    int ms = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() || ms < 0) {
      return "--screenshot-delay takes milliseconds, 0 or more, not '" +
             QString::fromStdString(text) + "'";
    }
    o.ScreenshotDelayMs = ms;
  }
  return {};
}

// Saves the picture; false, said on stderr, when it cannot be.
bool SavePicture(QWidget& window, const QString& path) {
  if (window.grab().save(path)) return true;
  std::fprintf(stderr, "karvo-sp: the picture %s could not be saved\n", qPrintable(path));
  return false;
}

// Saves the windows once the fold animation has come to rest, then quits: with status 1 when
// a picture could not be saved.
void ScheduleScreenshots(const TOptions& o, karvo::TFormMain& form, karvo::TFormRange& range) {
  QTimer::singleShot(o.ScreenshotDelayMs, &form, [&form, &range, o] {
    if (o.ScreenshotConnected) form.ButtonConnect->click();
    auto* poll = new QTimer(&form);
    QObject::connect(poll, &QTimer::timeout, &form, [&form, &range, o, poll] {
      if (!form.Idle() || form.TimerMore->isActive()) return;
      poll->stop();
      form.Chart1->FlushReplot();
      bool saved = o.Screenshot.isEmpty() || SavePicture(form, o.Screenshot);
      if (!o.ScreenshotRange.isEmpty()) {
        range.WindowBegin = 20;
        range.WindowEnd = 70;
        range.show();
        QCoreApplication::processEvents();
        saved = SavePicture(range, o.ScreenshotRange) && saved;
        range.hide();
      }
      QCoreApplication::exit(saved ? 0 : 1);
    });
    poll->start(50);
  });
}

int Run(TApplication& app, const TOptions& options) {
  std::unique_ptr<karvo::sim::TSensorSim> sim;
  std::unique_ptr<karvo::sim::TStageSim> stage;
  if (options.Demo) {
    karvo::sim::TSensorSimOptions simOptions;
    simOptions.Address = 1;
    simOptions.Baud = 9600;
    sim = std::make_unique<karvo::sim::TSensorSim>(simOptions);
    std::string error;
    if (!sim->Start(&error)) {
      std::fprintf(stderr, "karvo-sp: the simulated sensor did not start: %s\n", error.c_str());
      return 1;
    }
    karvo::sim::TStageSimOptions stageOptions;
    stageOptions.MmPerUnit = karvo::sim::StageMmPerUnitForRange(simOptions.MeasuringRange);
    // Homing and stepping through 100 mm take a few seconds instead of half a minute.
    stageOptions.TimeScale = 0.1;
    // The target starts in mid-range, where the continuous modes show it; a sweep homes first.
    stageOptions.StartUnits =
        static_cast<int32_t>(simOptions.MeasuringRange / 2 / stageOptions.MmPerUnit);
    stage = std::make_unique<karvo::sim::TStageSim>(stageOptions);
    if (!stage->Start(&error)) {
      std::fprintf(stderr, "karvo-sp: the simulated stage did not start: %s\n", error.c_str());
      return 1;
    }
    // From here the target rides on the carriage: the stage runs move it. While no run holds
    // the drive it also sways about there, so that measuring shows a live sensor.
    const auto born = std::chrono::steady_clock::now();
    const double sway = simOptions.MeasuringRange / 4.0;
    sim->SetDistanceSource([&carriage = *stage, born, sway] {
      double mm = carriage.CarriagePositionMm();
      if (!carriage.DriveOn()) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - born).count();
        mm += sway * std::sin(2 * M_PI * seconds / DEMO_SWAY_PERIOD_S);
      }
      return mm;
    });
  }

  // The window closes the port in its close handler, before the simulator goes.
  karvo::TFormMain formMain;
  karvo::TFormRange formRange(&formMain);
  formMain.SetFormRange(&formRange);
  if (sim) formMain.AddPort(sim->DevicePath(), true);
  if (stage) formMain.AddMotorPort(stage->DevicePath());
  formMain.show();

  if (!options.Screenshot.isEmpty() || !options.ScreenshotRange.isEmpty())
    ScheduleScreenshots(options, formMain, formRange);
  if (!options.Tour.isEmpty()) {
    QTimer::singleShot(300, &formMain, [&formMain, &options] {
      QCoreApplication::exit(karvo::RunTour(formMain, options.Tour) ? 0 : 1);
    });
  }
  const int result = app.exec();
  formMain.FormClose();
  if (sim) sim->SetTargetDistance(0);  // the stage goes before the sensor
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // Help needs no display, so it is looked for before the application starts.
  QStringList raw;
  for (int i = 0; i < argc; ++i) raw << QString::fromLocal8Bit(argv[i]);
  TOptions early;
  ParseOptions(raw, early, true);
  if (early.Help) {
    std::fputs(HELP, stdout);
    return 0;
  }
  if (early.Version) {
    std::printf("karvo-sp %s\n", KARVO_VERSION);
    return 0;
  }
  karvo::DropPluginChatter();
  TApplication app(argc, argv);
  // Only the name: a display name would be appended to every window and box caption.
  app.setApplicationName(karvo::APP_TITLE);

  TOptions options;
  if (const QString problem = ParseOptions(app.arguments(), options); !problem.isEmpty()) {
    std::fprintf(stderr, "karvo-sp: %s\nTry 'karvo-sp --help' for more information.\n",
                 qPrintable(problem));
    return 2;
  }

  try {
    return Run(app, options);
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, karvo::APP_TITLE, e.what());
  } catch (...) {
    QMessageBox::critical(nullptr, karvo::APP_TITLE, "Unknown error.");
  }
  return 1;
}
