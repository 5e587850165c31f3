// Measure and stream as the operator runs them from the window, against a simulated sensor:
// the chart filled by the loop's timer and by the stream's stop, the display following the
// stream, and the data file saved from the chart's menu.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/qt/Main.h"
#include "measure/qt/Oscilloscope.h"
#include "params/qt/ParamGridView.h"
#include "sim/SensorSim.h"
#include "support/ScratchDir.h"
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
    QVERIFY(!f.ValueListEditorParam->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(f.Session().View.SeriesOsc.Count() >= 20, 5000);
    f.ButtonMeasure->click();
    QCOMPARE(f.ButtonMeasure->text(), QString("Measure"));
    QVERIFY(f.ValueListEditorParam->isEnabled());
    // 50 mm of a 100 mm range, give or take the noise.
    QVERIFY2(f.LabelRast->text().endsWith(" mm") && f.LabelRast->text().startsWith("5"),
             qPrintable(f.LabelRast->text()));
    const size_t points = f.Session().View.SeriesOsc.Count();
    QCOMPARE(size_t(f.SeriesOsc->dataCount()), points);
    QVERIFY(!f.TimerMain->isActive());

    const karvo::test::TScratchDir dir;
    const std::string path = dir.Path("data.txt");
    rig.Person.SaveAnswers.push_back(path);
    rig.ChartItem("Save")->trigger();
    const std::string data = karvo::test::FileBytes(path);
    QCOMPARE(size_t(std::count(data.begin(), data.end(), '\n')), points);
    QVERIFY(data.rfind("\r\n") == data.size() - 2);
    QVERIFY(data.substr(0, 2) == "49" || data.substr(0, 2) == "50");

    // "Clear" empties the chart only; the next save still has every sample.
    rig.ChartItem("Clear")->trigger();
    QCOMPARE(f.SeriesOsc->dataCount(), 0);
    rig.Person.SaveAnswers.push_back(path);
    rig.ChartItem("Save")->trigger();
    QCOMPARE(karvo::test::FileBytes(path), data);
    QVERIFY(rig.Person.Messages.empty());
  }

  void streamFoldsTheWindowAndPlotsAtItsStop() {
    TRig rig;
    TFormMain& f = rig.Form;
    QVERIFY(rig.Settled());
    f.ButtonStream->click();
    QCOMPARE(f.ButtonStream->text(), QString("Stream stop"));
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
    QVERIFY(f.Session().SampleRing.SampleCount > 20);
    QCOMPARE(size_t(f.SeriesOsc->dataCount()), size_t(f.Session().SampleRing.SampleCount));
    QVERIFY(rig.Settled());
    QCOMPARE(f.height(), 716);
    QVERIFY(rig.Person.Messages.empty());
  }
};

QTEST_MAIN(MeasureWindowTest)
#include "MeasureWindowTest.moc"
