// Boxes and dialogs spin nested event loops. The session's timers must not act inside a
// handler that is still in the middle of its steps: their ticks wait until it has returned.
#include <QAction>
#include <QComboBox>
#include <QEventLoop>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/qt/Main.h"
#include "sim/SensorSim.h"
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

  // Connects the window to `sim` at 115200 baud.
  bool Connect(karvo::sim::TSensorSim& sim) {
    if (!sim.Start()) return false;
    Form.SetDialogs(this);
    Form.AddPort(sim.DevicePath(), true);
    Form.ComboBoxWorkBaund->setCurrentText("115200");
    Form.show();
    Form.ButtonConnect->click();
    return Form.ButtonConnect->text() == "Disconnect";
  }
  // Every box runs a real nested event loop for a while, as QMessageBox::exec does.
  void Message(const std::string& text, const std::string& caption, karvo::TIcon icon) override {
    TScriptedOperator::Message(text, caption, icon);
    QEventLoop loop;
    QTimer::singleShot(450, &loop, &QEventLoop::quit);
    loop.exec();
    ConnectedDuringBox.push_back(Form.Session().View.ButtonConnectTag == 1 &&
                                 Form.Session().SensorLink->IsOpen());
  }
  // What the folded window shows of a transfer's progress.
  void Refresh() override {
    TScriptedOperator::Refresh();
    if (Form.ProgressStrip->isVisible()) ++StripShown;
    StripLast = Form.ProgressStrip->value();
  }
};

}  // namespace

class WindowEventsTest : public QObject {
  Q_OBJECT

 private slots:
  void watchdogWaitsUntilTheHandlerHasReturned() {
    karvo::sim::TSensorSim sim({.Address = 1, .Baud = 115200, .FlashWriteMs = 100});
    TWatchingOperator person;
    QVERIFY(person.Connect(sim));
    TFormMain& form = person.Form;
    QVERIFY(form.TimerAnswer->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!form.TimerMore->isActive(), 5000);

    // "Write to Factory" with a sensor gone silent: two failing flash commands, each with its
    // box, then the save dialog, all in one handler.
    sim.FailSilent();
    form.findChild<QAction*>("WriteToFactory")->trigger();

    std::vector<std::string> texts;
    for (const auto& m : person.Messages) texts.push_back(m.Text);
    QCOMPARE(texts, (std::vector<std::string>{"Write ERROR", "Restore ERROR", "No answer."}));
    // The watchdog fired during the boxes, yet the handler kept its link and identity to
    // the end: the file it offers is still named after the sensor.
    QCOMPARE(person.ConnectedDuringBox, (std::vector<bool>{true, true, false}));
    QCOMPARE(person.SaveSuggestions, std::vector<std::string>{"1234.prm"});
    QCOMPARE(form.ButtonConnect->text(), QString("Connect"));
    QVERIFY(!form.TimerAnswer->isActive());
  }

  void foldedWindowShowsTheProgressOfAConnect() {
    karvo::sim::TSensorSim sim({.Baud = 115200});
    TWatchingOperator person;
    QVERIFY(person.Connect(sim));
    // The parameters are read before the window unfolds: the strip moved with them.
    QVERIFY(person.StripShown > 10);
    QCOMPARE(person.StripLast, 35);
    QVERIFY(!person.Form.ProgressStrip->isVisible());
  }
};

QTEST_MAIN(WindowEventsTest)
#include "WindowEventsTest.moc"
