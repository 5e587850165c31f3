// The main window mirrors the session and forwards its events; the session's own rules are
// tested without widgets. Here: the start-up look, the chart, connect and disconnect with the
// fold timer, the watchdog's teardown and closing, against a simulated sensor.
#include <qcustomplot.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/qt/Main.h"
#include "params/qt/ParamGridView.h"
#include "sim/SensorSim.h"
#include "support/ScriptedOperator.h"

using karvo::TFormMain;
using Widgets = std::initializer_list<QWidget*>;

namespace {

void ExpectDisconnectedLook(TFormMain& f) {
  QCOMPARE(f.ButtonConnect->text(), QString("Connect"));
  for (QWidget* w : Widgets{f.ButtonMeasure, f.ButtonStream, f.ButtonZero, f.LabelRast})
    QVERIFY(!w->isEnabled());
  for (QLabel* label : {f.LabelModel, f.LabelRelease, f.LabelSerNum})
    QCOMPARE(label->text(), QString("none"));
  QCOMPARE(f.LabelRange->text(), QString("none mm"));
  QVERIFY(f.ComboBoxMotorCom->isHidden());
  QVERIFY(!f.TimerAnswer->isActive());
}

// A window with scripted dialogs, the selectors set to a simulated sensor at 115200 baud and
// address 5: connecting works only if both selectors reach the link.
struct TRig {
  karvo::sim::TSensorSim Sim{{.Address = 5, .Baud = 115200}};
  karvo::test::TScriptedOperator Person;
  TFormMain Form;

  TRig() {
    std::string error;
    if (!Sim.Start(&error)) qFatal("simulated sensor: %s", error.c_str());
    Form.SetDialogs(&Person);
    Form.AddPort(Sim.DevicePath(), true);
    Form.ComboBoxWorkBaund->setCurrentText("115200");
    Form.ComboBoxWorkCodeDev->setCurrentText("5");
    Form.show();
  }

  bool FoldedTo(int height) {
    return QTest::qWaitFor([this] { return !Form.TimerMore->isActive(); }, 5000) &&
           Form.height() == height;
  }
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void startsFoldedAndDisconnected() {
    TFormMain f;
    f.show();
    QVERIFY(f.findChild<QWidget*>("PanelMiddleCover")->isVisible());
    ExpectDisconnectedLook(f);
    QCOMPARE(f.LabelRast->text(), QString("0.000 mm"));

    // The selectors show the session's link; their items are the session's own lists.
    QCOMPARE(f.ComboBoxWorkBaund->currentText() + " " + f.ComboBoxCOM->currentText() + " " +
                 f.ComboBoxWorkCodeDev->currentText() + " " + f.ComboBoxMotorCom->currentText(),
             QString("9600 COM1 1 COM2"));
    QVERIFY(!f.WriteToFactory->isVisible());

    // A typed device path is the port for the next open.
    f.ComboBoxCOM->setEditText("/dev/karvo-typed");
    QCOMPARE(f.Session().PortName, std::string("/dev/karvo-typed"));
  }

  void connectUnfoldsAndDisconnectFolds() {
    TRig rig;
    TFormMain& f = rig.Form;
    for (double y : {1.0, 2.0}) f.Session().View.SeriesOsc.Append(y, "");
    f.SyncFromView();
    f.ButtonConnect->click();
    QVERIFY(rig.Person.Messages.empty());
    QCOMPARE(f.SeriesOsc->data()->size(), 0);
    QCOMPARE(f.ButtonConnect->text(), QString("Disconnect"));
    QCOMPARE(f.LabelModel->text() + "|" + f.LabelRelease->text() + "|" + f.LabelSerNum->text(),
             QString("7|4|1234"));
    QCOMPARE(f.LabelBase->text() + "|" + f.LabelRange->text(), QString("60 mm|100 mm"));
    for (QWidget* w :
         Widgets{f.ButtonMeasure, f.ButtonStream, f.ButtonZero, f.LabelRast, f.ComboBoxMotorCom})
      QVERIFY(w->isEnabled() && !w->isHidden());
    QVERIFY(f.WriteToFactory->isVisible());
    QVERIFY(f.TimerAnswer->isActive());
    QCOMPARE(f.ProgressBarParam->value(), 35);
    QCOMPARE(f.ValueListEditorParam->item(2, 1)->text(), QString("115200"));
    QVERIFY(rig.FoldedTo(716));
    QVERIFY(!f.findChild<QWidget*>("PanelMiddleCover")->isVisible());

    f.ButtonConnect->click();
    ExpectDisconnectedLook(f);
    QVERIFY(rig.FoldedTo(160));
    QVERIFY(f.findChild<QWidget*>("PanelMiddleCover")->isVisible());
  }

  void watchdogTearsDownAfterAMenuOperationFails() {
    TRig rig;
    TFormMain& f = rig.Form;
    f.ButtonConnect->click();
    QVERIFY(rig.FoldedTo(716));
    rig.Sim.CorruptNextTags();
    f.findChild<QAction*>("PopupMenuReadAll")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(rig.Person.Messages.size(), size_t(1), 2000);
    QCOMPARE(rig.Person.Messages[0].Text, std::string("No answer."));
    ExpectDisconnectedLook(f);
    QVERIFY(rig.FoldedTo(160));
  }

  void closingStopsTheTimersForGood() {
    TFormMain f;
    f.show();
    auto& v = f.Session().View;
    v.TimerMore = v.TimerAnswer = v.TimerMain = true;
    f.SyncFromView();
    f.close();
    for (QTimer* t : {f.TimerMore, f.TimerAnswer, f.TimerMain}) QVERIFY(!t->isActive());
    // Nothing the window is asked later starts them again.
    v.TimerAnswer = true;
    f.SyncFromView();
    f.ButtonConnect->click();
    QVERIFY(!f.TimerAnswer->isActive());
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
