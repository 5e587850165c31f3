// The "Find sensor" dialog: it returns the settings found, keeps the window thread free while
// it scans, cancels, and says when nothing answered. That the scan frees the port is the
// scan's own test.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "app/qt/FindSensor.h"
#include "sim/SensorSim.h"

using namespace karvo;

namespace {

TScanOptions Options(const std::string& path, std::vector<uint32_t> bauds, uint32_t margin) {
  return {.Port = {.Name = path},
          .SelectedBaud = bauds.front(),
          .BaudRates = bauds,
          .MarginMs = margin};
}

}  // namespace

// One sensor for all scans: found first, then gone silent.
class FindSensorTest : public QObject {
  Q_OBJECT

  sim::TSensorSim sim{{.Address = 17, .Baud = 115200, .SerialNumber = 4711}};

 private slots:
  void returnsTheSettingsFound() {
    QVERIFY(sim.Start());
    TFormFindSensor form(Options(sim.DevicePath(), {115200}, 40));
    form.show();
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 30000);
    QCOMPARE(form.result(), int(QDialog::Accepted));
    QVERIFY(form.Result().has_value());
    QCOMPARE(form.Result()->Baud, 115200u);
    QCOMPARE(int(form.Result()->Address), 17);
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
