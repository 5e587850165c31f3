// The main window against the session and a simulated sensor: what it shows at start, the
// fold animation, connect, disconnect, the no-answer teardown and closing.
#include <qcustomplot.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <set>

#include "app/qt/Main.h"
#include "params/qt/ParamGridView.h"
#include "sim/SensorSim.h"
#include "support/ScriptedOperator.h"

using karvo::TFormMain;
using karvo::TIcon;
using karvo::sim::TSensorSim;

namespace {

QStringList Items(const QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

QStringList MenuItems(const QMenu* menu) {
  QStringList items;
  for (const QAction* a : menu->actions()) items << (a->isSeparator() ? "-" : a->text());
  return items;
}

// Records every height the window passes through.
class THeightLog : public QObject {
 public:
  std::vector<int> Heights;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize)
      Heights.push_back(static_cast<QWidget*>(watched)->height());
    return false;
  }
};

// A window with scripted dialogs, the simulated sensor selected as its port.
struct TRig {
  TSensorSim Sim;
  karvo::test::TScriptedOperator Person;
  TFormMain Form;

  explicit TRig(const karvo::sim::TSensorSimOptions& options = {}) : Sim(options) {
    std::string error;
    if (!Sim.Start(&error)) qFatal("simulated sensor: %s", error.c_str());
    Form.SetDialogs(&Person);
    Form.AddPort(Sim.DevicePath(), true);
  }

  bool WaitForRest(int ms = 5000) {
    return QTest::qWaitFor([this] { return !Form.TimerMore->isActive(); }, ms);
  }
};

void ExpectDisconnectedLook(TFormMain& f) {
  QCOMPARE(f.ButtonConnect->text(), QString("Connect"));
  QCOMPARE(f.ButtonConnect->property("Tag").toInt(), 0);
  QVERIFY(f.ButtonConnect->isEnabled());
  QVERIFY(!f.ButtonMeasure->isEnabled());
  QVERIFY(!f.ButtonStream->isEnabled());
  QVERIFY(!f.ButtonZero->isEnabled());
  QCOMPARE(f.LabelRast->text(), QString("0.000 mm"));
  QVERIFY(!f.LabelRast->isEnabled());
  for (QLabel* label : {f.LabelModel, f.LabelRelease, f.LabelSerNum})
    QCOMPARE(label->text(), QString("none"));
  QCOMPARE(f.LabelBase->text(), QString("none mm"));
  QCOMPARE(f.LabelRange->text(), QString("none mm"));
  QVERIFY(f.LabelCOMmotor->isHidden());
  QVERIFY(f.ComboBoxMotorCom->isHidden());
  QVERIFY(!f.TimerAnswer->isActive());
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void startsFoldedAndDisconnected() {
    TFormMain f;
    f.show();
    QCOMPARE(f.windowTitle(), QString("KARVO-SP (Setup program: rel.4)"));
    QCOMPARE(f.size(), QSize(639, 160));
    QCOMPARE(f.minimumSize(), f.maximumSize());
    QVERIFY(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
    ExpectDisconnectedLook(f);
    QCOMPARE(f.ButtonMeasure->text(), QString("Measure"));
    QCOMPARE(f.ButtonStream->text(), QString("Stream start"));
    QCOMPARE(f.ButtonZero->text(), QString("Zero set"));

    // The top panel is whole; the grid and the chart are out of view.
    QVERIFY(f.ButtonConnect->geometry().bottom() < 73);
    QVERIFY(f.LabelRast->mapTo(&f, QPoint(0, f.LabelRast->height())).y() <= 73);
    QVERIFY(f.findChild<QWidget*>("PanelMiddleCover")->isVisible());

    QCOMPARE(Items(f.ComboBoxWorkBaund),
             QStringList({"2400", "4800", "9600", "14400", "19200", "38400", "57600", "115200",
                          "230400", "460800"}));
    QCOMPARE(f.ComboBoxWorkBaund->currentText(), QString("9600"));
    QCOMPARE(Items(f.ComboBoxCOM).mid(0, 9),
             QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "USB"}));
    QCOMPARE(f.ComboBoxCOM->currentText(), QString("COM1"));
    QVERIFY(f.ComboBoxCOM->isEditable());
    QStringList addresses;
    for (int i = 1; i <= 127; ++i) addresses << QString::number(i);
    QCOMPARE(Items(f.ComboBoxWorkCodeDev), addresses);
    QCOMPARE(f.ComboBoxWorkCodeDev->currentText(), QString("1"));
    QCOMPARE(Items(f.ComboBoxMotorCom).size(), 9);
    QCOMPARE(f.ComboBoxMotorCom->currentText(), QString("COM2"));

    QCOMPARE(MenuItems(f.PopupMenuParam),
             QStringList({"Load", "Read", "Compare", "-", "Load All", "Read All", "Compare All",
                          "-", "Write to FLASH", "Default", "Write to Factory", "-",
                          "Write to file", "Read from file"}));
    QVERIFY(!f.WriteToFactory->isVisible());
    QCOMPARE(MenuItems(f.PopupMenuSave), QStringList({"Save data to file", "-", "Clear"}));

    QCOMPARE(f.TimerMore->interval(), 1);
    QCOMPARE(f.TimerAnswer->interval(), 200);
    QCOMPARE(f.TimerMain->interval(), 10);
    QVERIFY(!f.TimerMore->isActive());
    QVERIFY(!f.TimerMain->isActive());
    QCOMPARE(f.ValueListEditorParam->rowCount(), 0);
    QCOMPARE(f.ValueListEditorParam->horizontalHeaderItem(0)->text(), QString("Parameter"));
    QCOMPARE(f.ValueListEditorParam->horizontalHeaderItem(1)->text(), QString("Value"));
    QCOMPARE(f.ValueListEditorParam->columnWidth(0), 141);
    QCOMPARE(f.ProgressBarParam->maximum(), 100);
    QCOMPARE(f.Chart1->width(), 402);
  }

  void chartMirrorsTheSeries() {
    QLocale::setDefault(QLocale::c());
    TFormMain f;
    f.Session().View.SeriesOsc = {{0, 1500.25}, {1, 2500.5}, {2, 1800}};
    f.SyncFromView();
    QCOMPARE(f.SeriesOsc->data()->size(), 3);
    QCOMPARE(f.SeriesOsc->data()->at(1)->value, 2500.5);
    QVERIFY(!f.Chart1->legend->visible());
    QCOMPARE(f.SeriesOsc->pen().color(), QColor(Qt::red));

    // Left-axis numbers read "#,##0.####".
    const auto labels = [&f](double lower, double upper) {
      f.Chart1->yAxis->setRange(lower, upper);
      f.Chart1->replot();
      return QStringList(f.Chart1->yAxis->tickVectorLabels().toList());
    };
    QVERIFY(labels(0, 5000).contains("1,000"));
    QVERIFY(labels(-3000, 0).contains("-2,000"));
    QVERIFY(labels(0, 1).contains("0.2"));
    QVERIFY(labels(0, 1).contains("0"));
    QVERIFY(labels(12000.5, 12001.5).contains("12,001"));
    QVERIFY(labels(0, 0.001).contains("0.0004"));

    f.Session().View.SeriesOsc.clear();
    f.SyncFromView();
    QCOMPARE(f.SeriesOsc->data()->size(), 0);
  }

  void foldTimerUnfoldsAndFoldsInSteps() {
    TFormMain f;
    f.show();
    THeightLog log;
    f.installEventFilter(&log);
    f.Session().View.TimerMore = true;
    f.SyncFromView();
    QVERIFY(f.TimerMore->isActive());
    QTRY_VERIFY(!f.TimerMore->isActive());
    QCOMPARE(f.height(), 716);
    QCOMPARE(log.Heights, std::vector<int>({260, 360, 460, 560, 660, 716}));
    QVERIFY(!f.findChild<QWidget*>("PanelMiddleCover")->isVisible());
    QVERIFY(f.ValueListEditorParam->isVisible());

    log.Heights.clear();
    f.Session().View.TimerMore = true;
    f.SyncFromView();
    QTRY_VERIFY(!f.TimerMore->isActive());
    QCOMPARE(log.Heights, std::vector<int>({616, 516, 416, 316, 216, 160}));
    QVERIFY(f.Session().ExpandNext);
  }

  void selectorsReachTheSession() {
    TRig rig;
    auto& s = rig.Form.Session();
    QCOMPARE(rig.Form.ComboBoxCOM->currentText(), QString::fromStdString(rig.Sim.DevicePath()));
    QCOMPARE(s.PortName, rig.Sim.DevicePath());

    rig.Form.ComboBoxWorkCodeDev->setCurrentIndex(4);
    QCOMPARE(int(s.DeviceAddress), 5);
    QCOMPARE(s.View.AddressIndex, 4);

    // A baud change opens the port at once, connected or not.
    rig.Form.ComboBoxWorkBaund->setCurrentIndex(7);
    QCOMPARE(s.LinkBaud, 115200u);
    QVERIFY(s.SensorLink->IsOpen());
    QVERIFY(rig.Person.Messages.empty());

    // Typing a path changes the name for the next open only.
    rig.Form.ComboBoxCOM->setEditText("/dev/karvo-no-such-port");
    QCOMPARE(s.PortName, std::string("/dev/karvo-no-such-port"));
    QVERIFY(s.SensorLink->IsOpen());
    rig.Form.ButtonConnect->click();
    QCOMPARE(rig.Person.Messages.size(), size_t(1));
    QVERIFY(rig.Person.Messages[0].Text.rfind(
                "Error opening /dev/karvo-no-such-port.\rPort already in use or not available.",
                0) == 0);
    QCOMPARE(rig.Person.Messages[0].Caption, std::string("KARVO-SP"));
    QVERIFY(rig.Person.Messages[0].Icon == TIcon::Exclamation);
    ExpectDisconnectedLook(rig.Form);
  }

  void connectsAndDisconnects() {
    TRig rig;
    TFormMain& f = rig.Form;
    f.show();
    f.Session().View.SeriesOsc = {{0, 1}, {1, 2}};
    f.SyncFromView();
    f.ButtonConnect->click();
    QCOMPARE(f.SeriesOsc->data()->size(), 0);
    QVERIFY(rig.Person.Messages.empty());
    QCOMPARE(f.ButtonConnect->text(), QString("Disconnect"));
    QCOMPARE(f.ButtonConnect->property("Tag").toInt(), 1);
    QCOMPARE(f.LabelModel->text(), QString("7"));
    QCOMPARE(f.LabelRelease->text(), QString("4"));
    QCOMPARE(f.LabelSerNum->text(), QString("1234"));
    QCOMPARE(f.LabelBase->text(), QString("60 mm"));
    QCOMPARE(f.LabelRange->text(), QString("100 mm"));
    QVERIFY(f.ButtonMeasure->isEnabled());
    QVERIFY(f.ButtonStream->isEnabled());
    QVERIFY(f.ButtonZero->isEnabled());
    QVERIFY(f.LabelRast->isEnabled());
    QVERIFY(f.TimerAnswer->isActive());
    QVERIFY(!f.LabelCOMmotor->isHidden());
    QVERIFY(!f.ComboBoxMotorCom->isHidden());
    QVERIFY(f.WriteToFactory->isVisible());
    QCOMPARE(f.ProgressBarParam->maximum(), 35);
    QCOMPARE(f.ProgressBarParam->value(), 35);
    QCOMPARE(f.ValueListEditorParam->rowCount(), 36);
    QCOMPARE(f.ValueListEditorParam->item(0, 0)->text(), QString("Sensor On/Off"));
    QCOMPARE(f.ValueListEditorParam->item(2, 1)->text(), QString("9600"));
    QCOMPARE(f.ValueListEditorParam->item(31, 0)->text(), QString::fromUtf8("_\u0421ustomer"));
    QVERIFY(rig.WaitForRest());
    QCOMPARE(f.height(), 716);

    f.ButtonConnect->click();
    ExpectDisconnectedLook(f);
    QVERIFY(!f.Session().SensorLink->IsOpen());
    QVERIFY(rig.WaitForRest());
    QCOMPARE(f.height(), 160);
    // The grid keeps its values for the next connection.
    QCOMPARE(f.ValueListEditorParam->rowCount(), 36);
    QVERIFY(rig.Person.Messages.empty());
  }

  void sensorFallingSilentTearsDown() {
    TRig rig;
    TFormMain& f = rig.Form;
    f.show();
    // The identity and a few registers answer; then nothing.
    rig.Sim.FailSilentAfter(6);
    f.ButtonConnect->click();
    QVERIFY(f.TimerAnswer->isActive());
    QTRY_COMPARE_WITH_TIMEOUT(rig.Person.Messages.size(), size_t(1), 2000);
    QCOMPARE(rig.Person.Messages[0].Text, std::string("No answer."));
    QCOMPARE(rig.Person.Messages[0].Caption, std::string("KARVO-SP"));
    QVERIFY(rig.Person.Messages[0].Icon == TIcon::Stop);
    ExpectDisconnectedLook(f);
    QVERIFY(!f.Session().SensorLink->IsOpen());
    QVERIFY(rig.WaitForRest());
    QCOMPARE(f.height(), 160);
    // The watchdog stays quiet once it has torn down.
    QTest::qWait(500);
    QCOMPARE(rig.Person.Messages.size(), size_t(1));

    // A new connect works without a restart.
    rig.Sim.ClearFaults();
    f.ButtonConnect->click();
    QCOMPARE(f.ButtonConnect->text(), QString("Disconnect"));
    QVERIFY(rig.WaitForRest());
    QCOMPARE(f.height(), 716);

    // And so does a teardown after the window has unfolded, from a failing menu operation.
    rig.Sim.FailSilent();
    f.findChild<QAction*>("PopupMenuReadAll")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(rig.Person.Messages.size(), size_t(2), 2000);
    QCOMPARE(rig.Person.Messages[1].Text, std::string("No answer."));
    QVERIFY(rig.WaitForRest());
    QCOMPARE(f.height(), 160);
  }

  void closingStopsEverythingFirst() {
    TRig rig;
    TFormMain& f = rig.Form;
    f.show();
    f.ButtonConnect->click();
    QVERIFY(f.TimerAnswer->isActive());
    QVERIFY(f.TimerMore->isActive());
    f.close();
    QVERIFY(f.Closed());
    QVERIFY(!f.TimerMore->isActive());
    QVERIFY(!f.TimerAnswer->isActive());
    QVERIFY(!f.TimerMain->isActive());
    QVERIFY(!f.Session().SensorLink);

    // Nothing the window does later reaches the sensor.
    const uint32_t answers = rig.Sim.AnswerCount();
    f.Session().View.TimerAnswer = true;
    f.SyncFromView();
    QVERIFY(!f.TimerAnswer->isActive());
    f.ButtonConnect->click();
    f.findChild<QAction*>("PopupMenuReadAll")->trigger();
    QTest::qWait(300);
    QCOMPARE(rig.Sim.AnswerCount(), answers);
    QVERIFY(rig.Person.Messages.empty());
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
