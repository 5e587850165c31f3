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

// Answers like the scripted operator, but every message box runs a real nested event loop
// for a while, as QMessageBox::exec does, and notes whether the link was up meanwhile.
class TNestedLoopOperator : public karvo::test::TScriptedOperator {
 public:
  TFormMain* Form = nullptr;
  std::vector<bool> ConnectedDuringBox;

  void Message(const std::string& text, const std::string& caption, karvo::TIcon icon) override {
    TScriptedOperator::Message(text, caption, icon);
    QEventLoop loop;
    QTimer::singleShot(450, &loop, &QEventLoop::quit);
    loop.exec();
    ConnectedDuringBox.push_back(Form->Session().View.ButtonConnectTag == 1 &&
                                 Form->Session().SensorLink->IsOpen());
  }
};

// Notes what the folded window shows of a transfer's progress each time the session asks
// for a refresh in the middle of one.
class TProgressWatcher : public karvo::test::TScriptedOperator {
 public:
  TFormMain* Form = nullptr;
  int StripShown = 0;
  int StripLast = 0;

  void Refresh() override {
    TScriptedOperator::Refresh();
    if (Form->ProgressStrip->isVisible()) ++StripShown;
    StripLast = Form->ProgressStrip->value();
  }
};

}  // namespace

class WindowEventsTest : public QObject {
  Q_OBJECT

 private slots:
  void watchdogWaitsUntilTheHandlerHasReturned() {
    karvo::sim::TSensorSim sim({.Address = 1, .Baud = 115200, .FlashWriteMs = 100});
    std::string error;
    QVERIFY2(sim.Start(&error), error.c_str());
    TNestedLoopOperator person;
    TFormMain form;
    person.Form = &form;
    form.SetDialogs(&person);
    form.AddPort(sim.DevicePath(), true);
    form.ComboBoxWorkBaund->setCurrentText("115200");
    form.show();
    form.ButtonConnect->click();
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
    std::string error;
    QVERIFY2(sim.Start(&error), error.c_str());
    TProgressWatcher person;
    TFormMain form;
    person.Form = &form;
    form.SetDialogs(&person);
    form.AddPort(sim.DevicePath(), true);
    form.ComboBoxWorkBaund->setCurrentText("115200");
    form.show();
    form.ButtonConnect->click();
    QCOMPARE(form.ButtonConnect->text(), QString("Disconnect"));
    // The parameters are read before the window unfolds: the strip moved with them.
    QVERIFY(person.StripShown > 10);
    QCOMPARE(person.StripLast, 35);
    QVERIFY(!form.ProgressStrip->isVisible());
  }
};

QTEST_MAIN(WindowEventsTest)
#include "WindowEventsTest.moc"
