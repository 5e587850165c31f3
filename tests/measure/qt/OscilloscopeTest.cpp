// The chart follows the session's series by appending what is new, redraws it all after a
// clear, keeps the footer under the plot only while there is one, and names the point under
// the mouse by its label.
#include <QtTest>

#include "measure/SeriesStats.h"
#include "measure/qt/Oscilloscope.h"
#include "support/ScratchDir.h"

using karvo::TOscilloscope;
using karvo::TOscSeries;

class OscilloscopeTest : public QObject {
  Q_OBJECT

 private slots:
  void leftAxisReadsGroupedAndTheFooterTakesRoomOnlyWhileItHasLines() {
    QLocale::setDefault(QLocale::c());
    TOscilloscope chart;
    const auto labels = [&chart](double lower, double upper) {
      chart.yAxis->setRange(lower, upper);
      chart.replot();
      return QStringList(chart.yAxis->tickVectorLabels().toList());
    };
    QVERIFY(labels(0, 5000).contains("1,000"));
    QVERIFY(labels(0, 0.001).contains("0.0004"));

    TOscSeries series;
    const int rows = chart.plotLayout()->rowCount();
    chart.Show(series, {"Steps: 3401", "Error: 0.012 %"});
    QCOMPARE(chart.FooterText(), QString("Steps: 3401\nError: 0.012 %"));
    QCOMPARE(chart.plotLayout()->rowCount(), rows + 1);
    chart.Show(series, {});
    QCOMPARE(chart.FooterText(), QString());
    QCOMPARE(chart.plotLayout()->rowCount(), rows);
  }

  void pointsExportsAndAZoomHeldUntilTheWholeSeriesIsAskedFor() {
    QLocale::setDefault(QLocale::c());
    TOscilloscope chart;
    chart.resize(402, 448);
    TOscSeries series;
    QCOMPARE(chart.PointText(0), QString());
    for (int i = 0; i < 100; ++i) series.Append(i * 0.5, std::to_string(458 + i));
    chart.Show(series, {});
    chart.FlushReplot();
    QCOMPARE(chart.xAxis->range().upper, 99.0);
    QCOMPARE(chart.StatsText(), QString("n 100  mean 24.75  sd 14.506  min 0  max 49.5  p-p 49.5"));
    QCOMPARE(chart.PointText(2.4), QString("460: X = 2, Y = 1"));
    QCOMPARE(chart.PointText(500), QString("557: X = 99, Y = 49.5"));
    QCOMPARE(chart.PointText(-3), QString("458: X = 0, Y = 0"));

    const karvo::test::TScratchDir dir;
    std::string reason;
    QVERIFY(chart.WriteCsv(dir.Path("points.csv"), reason));
    QCOMPARE(karvo::test::FileBytes(dir.Path("points.csv")), karvo::SeriesCsv(series));
    QVERIFY(chart.WritePng(dir.Path("chart.png"), reason));
    QCOMPARE(QImage(QString::fromStdString(dir.Path("chart.png"))).size(), QSize(402, 448));
    QVERIFY(!chart.WritePng(dir.Path("no/such/chart.png"), reason));
    QCOMPARE(reason, std::string("No such file or directory."));

    const QPoint middle = chart.axisRect()->rect().center();
    QWheelEvent wheel(middle, chart.mapToGlobal(middle), {}, {0, 120}, Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&chart, &wheel);
    QVERIFY(!chart.FollowsData());
    const QCPRange zoomed = chart.xAxis->range();
    QVERIFY(zoomed.size() < 99);
    // The chart's own copy is extended, not rebuilt: a point changed behind its back (which
    // the session never does) stays as first shown.
    const_cast<karvo::TOscPoint&>(series.Points()[0]).Y = -1;
    series.Append(500, "100");
    chart.Show(series, {});
    chart.FlushReplot();
    QCOMPARE(chart.xAxis->range(), zoomed);
    QCOMPARE(chart.Series()->data()->at(0)->value, 0.0);
    QCOMPARE(chart.Series()->data()->at(100)->value, 500.0);

    chart.ShowWholeSeries();
    QCOMPARE(chart.yAxis->range().upper, 500.0);
    // A new run follows its data again.
    QApplication::sendEvent(&chart, &wheel);
    series.Clear();
    series.Append(7, "0");
    series.Append(8, "1");
    chart.Show(series, {});
    chart.FlushReplot();
    QVERIFY(chart.FollowsData());
    QCOMPARE(chart.xAxis->range().upper, 1.0);
  }
};

QTEST_MAIN(OscilloscopeTest)
#include "OscilloscopeTest.moc"
