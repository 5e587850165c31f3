// The operator types while the device thread works: into the port boxes, the lists and the
// grid, with the device idle, measuring at 9600 baud or reading all rows. Every key stays
// where it was typed, the focus with it, and what is committed reaches the session once and in
// order, however many events come.
#include <qcustomplot.h>

#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>
#include <algorithm>
#include <atomic>

#include "app/qt/Main.h"
#include "app/qt/PluginChatter.h"
#include "params/qt/ParamGridView.h"
#include "sim/SensorSim.h"
#include "support/ScratchDir.h"
#include "support/ScriptedOperator.h"

using karvo::TFormMain;
using karvo::TSession;

class TypingTest : public QObject {
  Q_OBJECT

  karvo::sim::TSensorSim sim{{.Address = 1, .Baud = 9600}};
  karvo::test::TScriptedOperator person;
  TFormMain f;

  template <typename F>
  auto Look(F look) {
    return f.Inspect(look);
  }
  // Types `text` into a box as the operator does: select what is there, one key at a time.
  void TypeInto(QComboBox* box, const QString& text) {
    box->setFocus();
    box->lineEdit()->selectAll();
    QTest::keyClicks(box->lineEdit(), text, Qt::NoModifier, 5);
  }
  bool Measuring() { return f.ButtonMeasure->text() == "Stop"; }

 private slots:
  void initTestCase() {
    karvo::DropPluginChatter();
    std::string error;
    QVERIFY2(sim.Start(&error), error.c_str());
    f.SetDialogs(&person);
    f.show();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
  }

  // Idle: the typed path is the session's once the focus leaves the box, and Connect uses it.
  void aTypedPortIsWholeAndConnectUsesIt() {
    const QString path = QString::fromStdString(sim.DevicePath());
    TypeInto(f.ComboBoxCOM, path);
    QCOMPARE(f.ComboBoxCOM->currentText(), path);
    QVERIFY(f.ComboBoxCOM->lineEdit()->hasFocus());
    QTest::mouseClick(f.ButtonConnect, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(f.ButtonConnect->text(), QString("Disconnect"), 10000);
    QVERIFY(f.WaitIdle());
    QCOMPARE(Look([](TSession& s) { return s.PortName(); }), sim.DevicePath());
    QVERIFY(person.Messages.empty());
  }

  // Busy with a 9600-baud run, then with "Read All": keys into the stage box, a list and a
  // grid cell stay where they were typed.
  void typingWhileTheDeviceWorks() {
    QTRY_VERIFY(!f.TimerMore->isActive());
    f.ButtonMeasure->click();
    QTRY_VERIFY(Measuring());
    TypeInto(f.ComboBoxMotorCom, "/dev/karvo-stage");
    QCOMPARE(f.ComboBoxMotorCom->currentText(), QString("/dev/karvo-stage"));
    QVERIFY(f.ComboBoxMotorCom->lineEdit()->hasFocus());
    QTest::keyClick(f.ComboBoxMotorCom->lineEdit(), Qt::Key_Return);

    f.ButtonMeasure->click();
    QTRY_VERIFY(!Measuring());
    QVERIFY(f.WaitIdle());

    // A grid cell typed in while "Read All" runs: what the read shows meanwhile does not
    // overwrite the typing, and the commit waits its turn behind the read.
    f.ValueListEditorParam->setFocus();
    f.ValueListEditorParam->setCurrentCell(9, 1);
    f.findChild<QAction*>("PopupMenuReadAll")->trigger();
    QTest::keyClicks(QApplication::focusWidget(), "\b1234");
    QTest::qWait(300);
    QCOMPARE(f.ValueListEditorParam->CellText(10), QString("1234"));
    f.ValueListEditorParam->setCurrentCell(10, 1);
    QVERIFY(f.WaitIdle());
    QCOMPARE(Look([](TSession& s) { return s.ParamWrite[9].Value; }), 1234u);

    // "Read All" takes a second of the line; arrow keys in the address list meanwhile move it
    // step by step and keep the focus.
    f.ComboBoxWorkCodeDev->setFocus();
    f.findChild<QAction*>("PopupMenuReadAll")->trigger();
    QVERIFY(f.ButtonCancel->isVisible());
    for (int i = 0; i < 3; ++i) QTest::keyClick(f.ComboBoxWorkCodeDev, Qt::Key_Down);
    QVERIFY(f.ComboBoxWorkCodeDev->hasFocus() && f.ComboBoxWorkCodeDev->isEnabled());
    QCOMPARE(f.ComboBoxWorkCodeDev->currentText(), QString("4"));
    QVERIFY(f.WaitIdle());
    const auto seen =
        Look([](TSession& s) { return std::make_pair(s.View.MotorPortText, s.View.AddressIndex); });
    QCOMPARE(seen.first, std::string("/dev/karvo-stage"));
    QCOMPARE(seen.second, 3);
    for (int i = 0; i < 3; ++i) QTest::keyClick(f.ComboBoxWorkCodeDev, Qt::Key_Up);
    QVERIFY(f.WaitIdle());
    QCOMPARE(Look([](TSession& s) { return s.DeviceAddress(); }), uint8_t{1});
  }

  // Thousands of the window's events during a run: each handled once, in order, and the
  // window and the session agree afterwards.
  void everyEventOnceAndInOrder() {
    f.ButtonMeasure->click();
    QTRY_VERIFY(Measuring());
    constexpr int EVENTS = 3000;
    std::vector<int> log;
    log.reserve(EVENTS);
    QString lastStage;
    for (int i = 0; i < EVENTS; ++i) {
      switch (i % 4) {
        case 0:
          f.Post([&log, i](TSession&) { log.push_back(i); });
          break;
        case 1:
          lastStage = "/dev/stage-" + QString::number(i);
          f.ComboBoxMotorCom->setEditText(lastStage);
          emit f.ComboBoxMotorCom->lineEdit()->editingFinished();
          f.Post([&log, i](TSession&) { log.push_back(i); });
          break;
        case 2:
          f.resize(f.width() + (i % 8 == 2 ? 1 : -1), f.height());
          f.Post([&log, i](TSession&) { log.push_back(i); });
          break;
        default:
          f.findChild<QAction*>("Clear")->trigger();
          f.Post([&log, i](TSession&) { log.push_back(i); });
          break;
      }
      if (i % 100 == 0) QCoreApplication::processEvents();
    }
    QVERIFY(f.WaitIdle());
    f.ButtonMeasure->click();
    QTRY_VERIFY(!Measuring());
    QVERIFY(f.WaitIdle());
    QCOMPARE(int(log.size()), EVENTS);
    for (int i = 0; i < EVENTS; ++i) QCOMPARE(log[size_t(i)], i);
    QCOMPARE(Look([](TSession& s) { return s.View.MotorPortText; }), lastStage.toStdString());
    QCOMPARE(f.ComboBoxMotorCom->currentText(), lastStage);
    QVERIFY(person.Messages.empty());
  }

  // A sensor lost in the middle of a run: "No answer." folds the window, and the run's points
  // stay on the chart and can be exported from the top panel's menu.
  void aLostSensorLeavesTheRunsPointsToExport() {
    f.ButtonMeasure->click();
    QTRY_VERIFY(Measuring());
    QTRY_VERIFY(f.SeriesOsc->dataCount() > 5);
    sim.FailSilent();
    QTRY_COMPARE_WITH_TIMEOUT(person.LastMessage(), std::string("No answer."), 5000);
    QVERIFY(f.WaitIdle());
    const int points = f.SeriesOsc->dataCount();
    QVERIFY(points > 5);
    const karvo::test::TScratchDir dir;
    person.SaveAnswers.push_back(dir.Path("lost.csv"));
    QWidget* top = f.findChild<QWidget*>("PanelTop");
    QTimer::singleShot(100, [this] {
      f.PopupMenuSave->findChild<QAction*>("ExportCsv")->trigger();
      f.PopupMenuSave->close();
    });
    emit top->customContextMenuRequested(QPoint(400, 30));
    QTRY_VERIFY(!karvo::test::FileBytes(dir.Path("lost.csv")).empty());
    const std::string csv = karvo::test::FileBytes(dir.Path("lost.csv"));
    QCOMPARE(int(std::count(csv.begin(), csv.end(), '\n')), points + 1);
  }
};

QTEST_MAIN(TypingTest)
#include "TypingTest.moc"
