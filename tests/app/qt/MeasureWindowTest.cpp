// Measure and stream as the operator runs them from the window, against a simulated sensor:
// the buttons and captions through a run and a stream, the chart filled by the loop's timer
// and by the stream's stop, and the data file saved from the chart's menu.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/qt/Main.h"
#include "measure/qt/Oscilloscope.h"
#include "params/qt/ParamGridView.h"
#include "sim/SensorSim.h"
#include "support/ScriptedOperator.h"

using karvo::TFormMain;

namespace {

struct TRig {
  karvo::sim::TSensorSim Sim{{.Baud = 115200}};
  karvo::test::TScriptedOperator Person;
  TFormMain Form;

  TRig() {
    std::string error;
    if (!Sim.Start(&error)) qFatal("simulated sensor: %s", error.c_str());
    Sim.SetTargetDistance(50);
    Form.SetDialogs(&Person);
    Form.AddPort(Sim.DevicePath(), true);
    Form.ComboBoxWorkBaund->setCurrentText("115200");
    Form.show();
    Form.ButtonConnect->click();
  }

  bool Settled() {
    return QTest::qWaitFor([this] { return !Form.TimerMore->isActive(); }, 5000);
  }
  QAction* ChartItem(const char* name) { return Form.PopupMenuSave->findChild<QAction*>(name); }
};

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

class MeasureWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void measureRunFillsTheChartAndSavesTheData() {
    QLocale::setDefault(QLocale::c());
    TRig rig;
    TFormMain& f = rig.Form;
    QVERIFY(rig.Settled());
    f.ButtonMeasure->click();
    QCOMPARE(f.ButtonMeasure->text(), QString("Stop"));
    for (QWidget* w :
         {static_cast<QWidget*>(f.ButtonConnect), static_cast<QWidget*>(f.ButtonStream),
          static_cast<QWidget*>(f.ValueListEditorParam)})
      QVERIFY(!w->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(f.Session().View.SeriesOsc.Count() >= 20, 5000);
    f.ButtonMeasure->click();
    QCOMPARE(f.ButtonMeasure->text(), QString("Measure"));
    for (QWidget* w :
         {static_cast<QWidget*>(f.ButtonConnect), static_cast<QWidget*>(f.ButtonStream),
          static_cast<QWidget*>(f.ButtonZero), static_cast<QWidget*>(f.ValueListEditorParam)})
      QVERIFY(w->isEnabled());
    // 50 mm of a 100 mm range, give or take the noise.
    QVERIFY2(f.LabelRast->text().endsWith(" mm") && f.LabelRast->text().startsWith("5"),
             qPrintable(f.LabelRast->text()));
    const size_t points = f.Session().View.SeriesOsc.Count();
    QCOMPARE(size_t(f.SeriesOsc->dataCount()), points);
    QVERIFY(!f.TimerMain->isActive());

    const std::string path = QDir::tempPath().toStdString() + "/karvo-window-data.txt";
    rig.Person.SaveAnswers.push_back(path);
    rig.ChartItem("Save")->trigger();
    const std::string data = Contents(path);
    std::filesystem::remove(path);
    QCOMPARE(size_t(std::count(data.begin(), data.end(), '\n')), points);
    QVERIFY(data.rfind("\r\n") == data.size() - 2);
    QVERIFY(data.substr(0, 2) == "49" || data.substr(0, 2) == "50");

    // "Clear" empties the chart only; the next save still has every sample.
    rig.ChartItem("Clear")->trigger();
    QCOMPARE(f.SeriesOsc->dataCount(), 0);
    rig.Person.SaveAnswers.push_back(path);
    rig.ChartItem("Save")->trigger();
    QCOMPARE(Contents(path), data);
    std::filesystem::remove(path);
    QVERIFY(rig.Person.Messages.empty());
  }

  void streamFoldsTheWindowAndPlotsAtItsStop() {
    TRig rig;
    TFormMain& f = rig.Form;
    QVERIFY(rig.Settled());
    f.ButtonStream->click();
    QCOMPARE(f.ButtonStream->text(), QString("Stream stop"));
    for (QWidget* w :
         {static_cast<QWidget*>(f.ButtonConnect), static_cast<QWidget*>(f.ButtonMeasure),
          static_cast<QWidget*>(f.ButtonZero), static_cast<QWidget*>(f.ValueListEditorParam)})
      QVERIFY(!w->isEnabled());
    QVERIFY(rig.Settled());
    QCOMPARE(f.height(), 160);
    // The display follows the worker while the chart stays as it was.
    // (The ring is the worker's until the stop: only the display is looked at meanwhile.)
    const QString before = f.LabelRast->text();
    QTRY_VERIFY_WITH_TIMEOUT(f.LabelRast->text() != before, 5000);
    QTest::qWait(300);
    QVERIFY(f.LabelRast->text().endsWith(" mm"));
    QCOMPARE(f.SeriesOsc->dataCount(), 0);

    f.ButtonStream->click();
    QCOMPARE(f.ButtonStream->text(), QString("Stream start"));
    const auto& series = f.Session().View.SeriesOsc;
    QVERIFY(f.Session().SampleRing.SampleCount > 20);
    QCOMPARE(series.Count(), size_t(f.Session().SampleRing.SampleCount));
    QCOMPARE(series.Points().front().Label, std::string("0"));
    QCOMPARE(series.Points().back().Label, std::to_string(series.Count() - 1));
    QCOMPARE(size_t(f.SeriesOsc->dataCount()), series.Count());
    QVERIFY(rig.Settled());
    QCOMPARE(f.height(), 716);
    QVERIFY(f.ValueListEditorParam->isEnabled());
    QVERIFY(rig.Person.Messages.empty());
  }
};

QTEST_MAIN(MeasureWindowTest)
#include "MeasureWindowTest.moc"
