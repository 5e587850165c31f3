// The main window mirrors the session and hands its events to the device thread; the
// session's own rules are tested without widgets. Here one simulated sensor and one window go
// the operator's way: connect with the fold timer, a measure run and a stream seen on the
// chart and the display, a transfer cancelled half-way, then a menu operation on a sensor gone
// silent, whose box spins a nested event loop while the watchdog must wait until the handler
// has returned. All along, the window's own thread keeps serving its events.
#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <cmath>

#include "app/qt/Main.h"
#include "measure/DataFile.h"
#include "measure/MeasureLoop.h"
#include "measure/qt/Oscilloscope.h"
#include "sim/SensorSim.h"
#include "support/ScratchDir.h"
#include "support/ScriptedOperator.h"

using karvo::TFormMain;

namespace {

// A scripted operator that looks at the window while the session asks something of it.
class TWatchingOperator : public karvo::test::TScriptedOperator {
 public:
  std::vector<bool> ConnectedDuringBox;
  int StripShown = 0;
  int StripLast = 0;
  TFormMain Form;  // last: it goes first, while what its dialogs note is still there

  // Every box runs a real nested event loop for a while, as QMessageBox::exec does.
  void Message(const std::string& text, const std::string& caption, karvo::TIcon icon) override {
    TScriptedOperator::Message(text, caption, icon);
    QEventLoop loop;
    QTimer::singleShot(450, &loop, &QEventLoop::quit);
    loop.exec();
    // The window shows the session as it was when it asked.
    ConnectedDuringBox.push_back(Form.ButtonConnect->property("Tag").toInt() == 1);
  }
  // What the folded window shows of a transfer's progress.
  void Refresh() override {
    TScriptedOperator::Refresh();
    if (Form.ProgressStrip->isVisible()) ++StripShown;
    StripLast = Form.ProgressStrip->value();
  }
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

  karvo::sim::TSensorSim sim{{.Address = 5, .Baud = 115200, .FlashWriteMs = 100}};
  TWatchingOperator person;
  TFormMain& f = person.Form;

  bool FoldedTo(int height) {
    QWidget* cover = f.findChild<QWidget*>("PanelMiddleCover");
    return QTest::qWaitFor([&] { return f.Idle() && !f.TimerMore->isActive(); }, 5000) &&
           f.height() == height && cover->isVisible() == (height == 160);
  }
  // Clicks and waits until the device thread has done it, counting the window's own 10 ms
  // beats meanwhile: a window thread that waited on the line would have none to show.
  int ClickAndCountBeats(QAbstractButton* button) {
    int beats = 0;
    QTimer beat;
    beat.setInterval(10);
    connect(&beat, &QTimer::timeout, [&] { ++beats; });
    beat.start();
    button->click();
    if (!f.WaitIdle()) return -1;
    return beats;
  }
  template <typename F>
  auto Look(F look) {
    return f.Inspect(look);
  }
  QAction* ChartItem(const char* name) { return f.PopupMenuSave->findChild<QAction*>(name); }

 private slots:
  // The selectors are set to a sensor at 115200 baud and address 5: connecting works only if
  // both reach the link.
  void connectReadsTheSensorWhileFoldedAndUnfolds() {
    QLocale::setDefault(QLocale::c());
    std::string error;
    QVERIFY2(sim.Start(&error), error.c_str());
    sim.SetTargetDistance(50);
    f.SetDialogs(&person);
    f.AddPort(sim.DevicePath(), true);
    f.ComboBoxWorkBaund->setCurrentText("115200");
    f.ComboBoxWorkCodeDev->setCurrentText("5");
    f.show();
    QVERIFY(f.WaitIdle());
    // Read at 115200 baud, a connect takes tens of milliseconds of the wire at least. A window
    // that waited on it would see one late beat at the most; a loaded machine may see few.
    QVERIFY(ClickAndCountBeats(f.ButtonConnect) >= 2);
    QCOMPARE(f.ButtonConnect->text(), QString("Disconnect"));
    QCOMPARE(f.LabelSerNum->text() + "|" + f.LabelRange->text(), QString("1234|100 mm"));
    QVERIFY(f.ButtonMeasure->isEnabled() && !f.ComboBoxMotorCom->isHidden() &&
            f.WriteToFactory->isVisible());
    QVERIFY(f.TimerAnswer->isActive());
    // The parameters are read before the window unfolds: the strip moved with them.
    QVERIFY(person.StripShown > 10);
    QCOMPARE(person.StripLast, 35);
    QVERIFY(FoldedTo(716));
    QVERIFY(!f.ProgressStrip->isVisible());
  }

  void measureRunFillsTheChartAndSavesTheData() {
    f.ButtonMeasure->click();
    QVERIFY(f.WaitIdle());
    QCOMPARE(f.ButtonMeasure->text(), QString("Stop"));
    // The window shows the run as it goes, however closely the ticks follow each other, and
    // Stop stays there to be pressed.
    QTRY_VERIFY_WITH_TIMEOUT(f.SeriesOsc->dataCount() >= 20, 5000);
    QVERIFY(f.ButtonMeasure->isEnabled());
    f.ButtonMeasure->click();
    QVERIFY(f.WaitIdle());
    // 50 mm of a 100 mm range, give or take the noise.
    const QString shown = f.LabelRast->text();
    QVERIFY2(shown.endsWith(" mm") && std::abs(shown.chopped(3).toDouble() - 50) < 1,
             qPrintable(shown));
    QCOMPARE(size_t(f.SeriesOsc->dataCount()),
             Look([](karvo::TSession& s) { return s.View.SeriesOsc.Count(); }));
    QVERIFY(!Look([](karvo::TSession& s) { return s.View.TimerMain; }));

    const karvo::test::TScratchDir dir;
    const std::string path = dir.Path("data.txt");
    const std::string data =
        Look([](karvo::TSession& s) { return karvo::DataFileBytes(s.SampleRing); });
    QVERIFY(!data.empty());
    // "Clear" empties the chart only; a save after it still has every sample.
    ChartItem("Clear")->trigger();
    QVERIFY(f.WaitIdle());
    QCOMPARE(f.SeriesOsc->dataCount(), 0);
    person.SaveAnswers.push_back(path);
    ChartItem("Save")->trigger();
    QVERIFY(f.WaitIdle());
    QCOMPARE(karvo::test::FileBytes(path), data);
    QVERIFY(person.Messages.empty());
  }

  void streamFoldsTheWindowAndPlotsAtItsStop() {
    f.ButtonStream->click();
    QVERIFY(f.WaitIdle());
    QCOMPARE(f.ButtonStream->text(), QString("Stream stop"));
    QVERIFY(FoldedTo(160));
    // The display follows the worker while the chart stays as it was.
    // (The ring is the worker's until the stop: only the display is looked at meanwhile.)
    const QString before = f.LabelRast->text();
    QTRY_VERIFY_WITH_TIMEOUT(f.LabelRast->text() != before, 5000);
    QTest::qWait(300);
    QCOMPARE(f.SeriesOsc->dataCount(), 0);

    f.ButtonStream->click();
    QVERIFY(f.WaitIdle());
    const size_t taken = Look([](karvo::TSession& s) { return s.SampleRing.SampleCount; });
    QVERIFY(taken > 20);
    QCOMPARE(size_t(f.SeriesOsc->dataCount()), taken);
    QVERIFY(FoldedTo(716));
    QVERIFY(person.Messages.empty());
  }

  // "Read All" cancelled from the window: the read stops between two requests, nothing is
  // adopted, no box comes and the connection stays.
  void aTransferCancelledHalfWayLeavesTheConnection() {
    QVERIFY(FoldedTo(716));
    const auto working = [this] { return Look([](karvo::TSession& s) { return s.ParamWrite; }); };
    Look([](karvo::TSession& s) { s.Device->Link().Pause = [](uint32_t) {}; });
    QAction* readAll = f.findChild<QAction*>("PopupMenuReadAll");
    // What a whole read asks, to tell a cancelled one by.
    sim.ClearRequests();
    readAll->trigger();
    QVERIFY(f.WaitIdle());
    const size_t whole = sim.Requests().size();
    const karvo::TParamSet before = working();
    sim.SetRegister(5, 3);  // what a read would adopt
    sim.ClearRequests();
    QTimer cancel;
    connect(&cancel, &QTimer::timeout, this, [&] {
      if (sim.Requests().size() < 5) return;
      cancel.stop();
      f.ButtonCancel->click();
    });
    cancel.start(1);
    readAll->trigger();
    QVERIFY(f.ButtonCancel->isVisible() && !f.ButtonConnect->isEnabled());
    QVERIFY(f.WaitIdle());
    QVERIFY(!f.ButtonCancel->isVisible() && f.ButtonConnect->isEnabled());
    const size_t asked = sim.Requests().size();
    QVERIFY2(asked >= 5 && asked < whole, qPrintable(QString::number(asked)));
    QVERIFY(working() == before);
    QVERIFY(person.Messages.empty());
    QTest::qWait(300);  // a watchdog tick
    QCOMPARE(f.ButtonConnect->text(), QString("Disconnect"));
  }

  void watchdogWaitsUntilTheHandlerHasReturned() {
    // "Write to Factory" with a sensor gone silent: the failing flash command's box, during
    // which the watchdog's tick comes; the handler stops there (no restore, no file).
    sim.FailSilent();
    const size_t offered = person.SaveSuggestions.size();
    f.findChild<QAction*>("WriteToFactory")->trigger();
    QVERIFY(f.WaitIdle());

    std::vector<std::string> texts;
    for (const auto& m : person.Messages) texts.push_back(m.Text);
    QCOMPARE(texts, (std::vector<std::string>{"Write ERROR", "No answer."}));
    // The watchdog fired during the box, yet the handler kept its link to its end.
    QCOMPARE(person.ConnectedDuringBox, (std::vector<bool>{true, false}));
    QCOMPARE(person.SaveSuggestions.size(), offered);
    QCOMPARE(f.ButtonConnect->text(), QString("Connect"));
    QVERIFY(!f.ButtonMeasure->isEnabled() && f.ComboBoxMotorCom->isHidden());
    QVERIFY(!f.TimerAnswer->isActive());
    QVERIFY(FoldedTo(160));
  }

  void selectorsShowTheLinkATypedPortIsUsedAndClosingStopsTheTimersForGood() {
    TFormMain f;
    f.show();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    // The selectors show the session's link.
    QCOMPARE(f.ComboBoxWorkBaund->currentText() + " " + f.ComboBoxWorkCodeDev->currentText(),
             QString("9600 1"));
    const auto port = [&f] { return f.Inspect([](karvo::TSession& s) { return s.PortName(); }); };
    // Typed as an operator types: every key stays in the box, which keeps the focus, and the
    // name is the session's once Enter commits it.
    f.ComboBoxCOM->setFocus();
    f.ComboBoxCOM->lineEdit()->selectAll();
    QTest::keyClicks(f.ComboBoxCOM->lineEdit(), "/dev/karvo-typed");
    QVERIFY(f.WaitIdle());
    QCOMPARE(f.ComboBoxCOM->currentText(), QString("/dev/karvo-typed"));
    QVERIFY(f.ComboBoxCOM->lineEdit()->hasFocus());
    QCOMPARE(port(), std::string("COM1"));
    QTest::keyClick(f.ComboBoxCOM->lineEdit(), Qt::Key_Return);
    QCOMPARE(port(), std::string("/dev/karvo-typed"));
    QCOMPARE(f.ComboBoxCOM->currentText(), QString("/dev/karvo-typed"));
    f.Inspect([](karvo::TSession& s) { s.View.TimerAnswer = true; });
    QVERIFY(f.TimerAnswer->isActive());
    f.close();
    QVERIFY(!f.TimerMore->isActive() && !f.TimerAnswer->isActive());
    // Nothing the window is asked later starts them again.
    f.ButtonConnect->click();
    QVERIFY(!f.TimerAnswer->isActive());
  }

  // At its own size the window is as it always was; the room the operator adds goes to the
  // chart, a fold takes it back and an unfold returns it, and it never gets smaller.
  void theWindowGrowsIntoTheChartAndNeverShrinks() {
    TFormMain w;
    w.show();
    QWidget* grid = w.findChild<QWidget*>("PanelParam");
    QWidget* top = w.findChild<QWidget*>("PanelTop");
    const auto height = [&w](int h) { w.Inspect([h](karvo::TSession& s) { s.View.Height = h; }); };
    const struct {
      std::function<void()> act;
      QSize window, chart;
    } steps[] = {
        {[&] { height(716); }, {639, 716}, {402, 584}},
        {[&] { w.resize(900, 1000); }, {900, 1000}, {663, 868}},
        {[&] { height(160); }, {900, 160}, {663, 28}},
        {[&] { height(716); }, {900, 1000}, {663, 868}},
        {[&] { w.resize(300, 300); }, {639, 716}, {402, 584}},
    };
    for (const auto& step : steps) {
      step.act();
      QCoreApplication::processEvents();
      QCOMPARE(w.size(), step.window);
      QCOMPARE(w.Chart1->size(), step.chart);
      QCOMPARE(grid->size(), QSize(237, step.chart.height()));
      QCOMPARE(top->size(), QSize(step.window.width(), 73));
    }
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
