// The measurement loop's timer: it beats, a stop holds even over a beat already due, and a new
// interval takes effect at once on a running timer without starting a stopped one.
#include <QSignalSpy>
#include <QtTest>
#include <thread>

#include "app/qt/PeriodicTimer.h"

using namespace karvo;

class PeriodicTimerTest : public QObject {
  Q_OBJECT

 private slots:
  void beatsStopsAndTakesNewIntervals() {
    TPeriodicTimer timer;
    QSignalSpy beats(&timer, &TPeriodicTimer::timeout);
    timer.setInterval(1);
    QVERIFY(!timer.isActive());
    timer.start();
    QTRY_VERIFY(beats.count() >= 3);

    // Due while the window thread is busy, then stopped before the event loop sees it.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    timer.stop();
    const qsizetype stopped = beats.count();
    QTest::qWait(30);
    QCOMPARE(beats.count(), stopped);

    timer.start();
    timer.setInterval(1000);
    QVERIFY(timer.isActive());
    QTest::qWait(50);
    QCOMPARE(beats.count(), stopped);
    timer.stop();
    timer.setInterval(1);
    QTest::qWait(30);
    QVERIFY(!timer.isActive());
    QCOMPARE(beats.count(), stopped);
  }
};

QTEST_MAIN(PeriodicTimerTest)
#include "PeriodicTimerTest.moc"
