// The main window mirrors the session and forwards its events; the session's own rules are
// tested without widgets. Here: a typed port, connect with the fold timer, the watchdog's
// teardown and closing, against a simulated sensor.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/qt/Main.h"
#include "params/qt/ParamGridView.h"
#include "sim/SensorSim.h"
#include "support/ScriptedOperator.h"

using karvo::TFormMain;

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  // The selectors are set to a sensor at 115200 baud and address 5: connecting works only if
  // both reach the link.
  void connectUnfoldsAndTheWatchdogTearsDownAfterAMenuOperationFails() {
    karvo::sim::TSensorSim sim{{.Address = 5, .Baud = 115200}};
    std::string error;
    QVERIFY2(sim.Start(&error), error.c_str());
    karvo::test::TScriptedOperator person;
    TFormMain f;
    f.SetDialogs(&person);
    f.AddPort(sim.DevicePath(), true);
    f.ComboBoxWorkBaund->setCurrentText("115200");
    f.ComboBoxWorkCodeDev->setCurrentText("5");
    f.show();
    QWidget* cover = f.findChild<QWidget*>("PanelMiddleCover");
    const auto foldedTo = [&](int height) {
      return QTest::qWaitFor([&] { return !f.TimerMore->isActive(); }, 5000) &&
             f.height() == height && cover->isVisible() == (height == 160);
    };
    f.ButtonConnect->click();
    QVERIFY(person.Messages.empty());
    QCOMPARE(f.ButtonConnect->text(), QString("Disconnect"));
    QCOMPARE(f.LabelSerNum->text() + "|" + f.LabelRange->text(), QString("1234|100 mm"));
    QVERIFY(f.ButtonMeasure->isEnabled() && !f.ComboBoxMotorCom->isHidden() &&
            f.WriteToFactory->isVisible());
    QVERIFY(f.TimerAnswer->isActive());
    QCOMPARE(f.ValueListEditorParam->item(2, 1)->text(), QString("115200"));
    QVERIFY(foldedTo(716));

    sim.CorruptNextTags();
    f.findChild<QAction*>("PopupMenuReadAll")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(person.Messages.size(), size_t(1), 2000);
    QCOMPARE(person.Messages[0].Text, std::string("No answer."));
    QCOMPARE(f.ButtonConnect->text(), QString("Connect"));
    QCOMPARE(f.LabelSerNum->text(), QString("none"));
    QVERIFY(!f.ButtonMeasure->isEnabled() && f.ComboBoxMotorCom->isHidden());
    QVERIFY(!f.TimerAnswer->isActive());
    QVERIFY(foldedTo(160));
  }

  void selectorsShowTheLinkATypedPortIsUsedAndClosingStopsTheTimersForGood() {
    TFormMain f;
    f.show();
    // The selectors show the session's link.
    QCOMPARE(f.ComboBoxWorkBaund->currentText() + " " + f.ComboBoxWorkCodeDev->currentText(),
             QString("9600 1"));
    f.ComboBoxCOM->setEditText("/dev/karvo-typed");
    QCOMPARE(f.Session().PortName, std::string("/dev/karvo-typed"));
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
