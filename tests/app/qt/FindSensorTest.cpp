// The "Find sensor" dialog: the window offers to connect to what it found; the dialog keeps the
// window thread free while it scans, cancels, and says when nothing answered. That the scan
// frees the port is the scan's own test.
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>

#include "app/qt/FindSensor.h"
#include "app/qt/Main.h"
#include "app/qt/PluginChatter.h"
#include "sim/SensorSim.h"
#include "support/ScriptedOperator.h"

using namespace karvo;

namespace {

TScanOptions Options(const std::string& path, std::vector<uint32_t> bauds, uint32_t margin) {
  return {.Port = {.Name = path},
          .SelectedBaud = bauds.front(),
          .BaudRates = bauds,
          .MarginMs = margin};
}

}  // namespace

// One sensor, silent, for the dialog's own scans.
class FindSensorTest : public QObject {
  Q_OBJECT

  sim::TSensorSim sim{{.Address = 17, .Baud = 115200, .SerialNumber = 4711}};

 private slots:
  void initTestCase() {
    karvo::DropPluginChatter();
    QVERIFY(sim.Start());
  }

  // The sensor answers at 115200 baud, the window looks at 9600: OK connects to it at once,
  // Cancel leaves the selectors as they were.
  void theWindowOffersToConnectToWhatWasFound() {
    karvo::sim::TSensorSim found{{.Baud = 115200, .SerialNumber = 815}};
    QVERIFY(found.Start());
    for (const bool connect : {true, false}) {
      karvo::test::TScriptedOperator person;
      person.ConfirmAnswers = {connect};
      TFormMain form;
      form.SetDialogs(&person);
      form.AddPort(found.DevicePath(), true);
      form.show();
      QVERIFY(form.WaitIdle());
      form.ButtonFindSensor->click();
      QVERIFY(form.WaitIdle());
      QCOMPARE(person.Questions,
               std::vector<std::string>{"Sensor found at 115200 baud, address 1 (type 7, serial "
                                        "number 815). Connect now?|KARVO-SP."});
      QCOMPARE(form.ButtonConnect->text() + " " + form.ComboBoxWorkBaund->currentText(),
               QString(connect ? "Disconnect 115200" : "Connect 9600"));
    }
  }

  // Three sensors on one line: after the first, the rest of the line at its rate; the operator
  // picks one from the list and the window connects to it without asking again.
  void aLineWithSeveralListsThemAllAndConnectsToThePick() {
    karvo::sim::TSensorSim line{{.Baud = 115200, .SerialNumber = 500, .Addresses = {3, 9, 20}}};
    QVERIFY(line.Start());
    karvo::test::TScriptedOperator person;
    TFormMain form;
    form.SetDialogs(&person);
    form.AddPort(line.DevicePath(), true);
    form.show();
    QVERIFY(form.WaitIdle());
    QStringList listed;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
      auto* dialog = form.findChild<TFormFindSensor*>();
      if (!dialog || !dialog->ListSensors->isVisible()) return;
      poll.stop();
      for (int i = 0; i < dialog->ListSensors->count(); ++i)
        listed << dialog->ListSensors->item(i)->text();
      dialog->ListSensors->setCurrentRow(2);
      dialog->ButtonPick->click();
    });
    poll.start(50);
    form.ButtonFindSensor->click();
    QVERIFY(form.WaitIdle());
    QCOMPARE(listed, (QStringList{"Address 3, 115200 baud, serial number 500",
                                  "Address 9, 115200 baud, serial number 501",
                                  "Address 20, 115200 baud, serial number 502"}));
    QVERIFY(person.Questions.empty());
    QTRY_COMPARE(form.ButtonConnect->text(), QString("Disconnect"));
    QCOMPARE(form.LabelSerNum->text() + " " + form.ComboBoxWorkCodeDev->currentText(),
             QString("502 20"));
  }

  void cancelWhileScanningClosesWithoutAResult() {
    sim.FailSilent();
    sim.ClearRequests();
    TFormFindSensor form(Options(sim.DevicePath(), {115200, 230400}, 5));
    form.show();
    // The bar moves while the scan runs: the window thread is not held by it.
    QTRY_VERIFY_WITH_TIMEOUT(form.ProgressBarScan->value() >= 3, 20000);
    QCOMPARE(form.ProgressBarScan->maximum(), 254);
    QTest::mouseClick(form.ButtonCancel, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 20000);
    QVERIFY(!form.Result().has_value());
    QVERIFY(sim.Requests().size() < 254);
  }

  void saysWhyNothingWasFoundAndStaysOpen() {
    const std::pair<std::string, QString> cases[] = {
        {sim.DevicePath(), "No sensor found (127 combinations"},
        {"/dev/karvo-no-such-port", "Cannot open /dev/karvo-no-such-port: no such device"},
    };
    for (const auto& [path, text] : cases) {
      TFormFindSensor form(Options(path, {460800}, 2));
      form.show();
      QTRY_VERIFY_WITH_TIMEOUT(!form.Running(), 20000);
      QVERIFY2(form.LabelScan->text().startsWith(text), qPrintable(form.LabelScan->text()));
      QVERIFY(form.isVisible());
      QCOMPARE(form.ButtonCancel->text(), QString("Close"));
    }
  }
};

QTEST_MAIN(FindSensorTest)
#include "FindSensorTest.moc"
