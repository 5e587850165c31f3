#include "app/qt/Tour.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/Operator.h"
#include "app/qt/Main.h"
#include "measure/qt/Oscilloscope.h"

namespace karvo {

namespace {

// Prints what the program would ask and answers as a cautious person would: no overwrite,
// no file chosen, Cancel.
class TTourOperator : public TOperator {
 public:
  void Message(const std::string& text, const std::string& caption, TIcon) override {
    std::printf("  box \"%s\": %s\n", caption.c_str(), OneLine(text).c_str());
  }
  bool Confirm(const std::string& text, const std::string& caption) override {
    Message(text, caption, TIcon::Warning);
    return false;
  }
  bool RetryCancel(const std::string& text, const std::string& caption) override {
    Message(text, caption, TIcon::Stop);
    return false;
  }
  std::optional<std::string> AskSaveFile(const std::string&) override { return std::nullopt; }
  std::optional<std::string> AskOpenFile() override { return std::nullopt; }
  void Beep() override {}
  void EditRange(int32_t&, int32_t&) override {}
  void Refresh() override {}

 private:
  static std::string OneLine(std::string text) {
    for (char& c : text)
      if (c == '\r') c = ' ';
    return text;
  }
};

// Lets the window work until `done` holds or `ms` have passed.
template <typename Done>
bool WaitUntil(Done done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

void Work(int ms) {
  WaitUntil([] { return false; }, ms);
}

}  // namespace

bool RunTour(TFormMain& form, const QString& dir) {
  TTourOperator person;
  form.SetDialogs(&person);
  QDir().mkpath(dir);
  int step = 0;
  int unsaved = 0;
  // The device thread has done what was asked and the fold has come to rest.
  const auto settled = [&form] { return form.WaitIdle(5000) && !form.TimerMore->isActive(); };
  const auto shot = [&](const char* name, const char* what) {
    form.Chart1->FlushReplot();
    const QString path =
        QDir(dir).filePath(QString("%1-%2.png").arg(++step, 2, 10, QChar('0')).arg(name));
    const bool saved = form.grab().save(path);
    std::printf("%d. %s\n   %s%s\n", step, what, qPrintable(path),
                saved ? "" : " (could not be saved)");
    std::fflush(stdout);
    if (!saved) ++unsaved;
    return saved;
  };
  const auto fail = [&form](const char* what) {
    std::printf("The tour stopped: %s\n", what);
    form.SetDialogs(nullptr);
    return false;
  };

  if (!WaitUntil(settled, 2000)) return fail("the window did not come up");
  if (!shot("start", "The window starts folded, the simulated sensor chosen as the port."))
    return fail("its pictures cannot be saved");
  form.ButtonConnect->click();
  if (!WaitUntil(settled, 5000) || form.ButtonConnect->text() != "Disconnect")
    return fail("Connect did not reach the simulated sensor");
  shot("connected", "Connect: the sensor's identity and its 36 parameters are read.");

  form.ButtonMeasure->click();
  Work(2500);
  shot("measuring", "Measure: every millisecond a result, in the display and on the oscilloscope.");
  form.ButtonMeasure->click();
  form.WaitIdle();
  shot("measured", "Stop: the run's samples stay on the chart and can be saved from its menu.");

  form.ButtonStream->click();
  if (!WaitUntil(settled, 5000)) return fail("the window did not fold for the stream");
  Work(1500);
  shot("streaming", "Stream start: the sensor streams by itself, the window folds to its display.");
  form.ButtonStream->click();
  if (!WaitUntil(settled, 5000)) return fail("the window did not unfold after the stream");
  shot("stream-plotted", "Stream stop: every streamed sample is drawn at once.");

  form.ButtonConnect->click();
  WaitUntil(settled, 5000);
  shot("disconnected", "Disconnect: the window folds and the port is closed.");
  form.SetDialogs(nullptr);
  if (unsaved > 0) std::printf("%d of the tour's pictures could not be saved.\n", unsaved);
  return unsaved == 0;
}

}  // namespace karvo
