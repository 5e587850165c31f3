// The chart follows the session's series by appending what is new, redraws it all after a
// clear, keeps the statistics right under the plot and the footer under them only while there
// is one, scales to the readings with room around them, and names the point under the mouse
// by its label. Through the window: a run's footer goes with it, and an export the system
// refuses says why.
#include <QAction>
#include <QMenu>
#include <QtTest>

#include "app/qt/Main.h"
#include "app/qt/PluginChatter.h"
#include "measure/SeriesStats.h"
#include "measure/qt/Oscilloscope.h"
#include "sim/SensorSim.h"
#include "sim/StageSim.h"
#include "support/ScratchDir.h"
#include "support/ScriptedOperator.h"

using karvo::TOscilloscope;
using karvo::TOscSeries;

namespace {

// The text element that shows `text` under the plot, and its row.
std::pair<QCPLayoutElement*, int> RowShowing(TOscilloscope& chart, const QString& text) {
  QCPLayoutGrid* grid = chart.plotLayout();
  for (int r = 0; r < grid->rowCount(); ++r) {
    auto* element = qobject_cast<QCPTextElement*>(grid->element(r, 0));
    if (element && element->text() == text) return {element, r};
  }
  return {nullptr, -1};
}

int AxisRectRow(TOscilloscope& chart) {
  for (int r = 0; r < chart.plotLayout()->rowCount(); ++r)
    if (chart.plotLayout()->element(r, 0) == chart.axisRect()) return r;
  return -1;
}

}  // namespace

class OscilloscopeTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    karvo::DropPluginChatter();
    QLocale::setDefault(QLocale::c());
  }

  void leftAxisReadsGroupedAndTheFooterTakesRoomOnlyWhileItHasLines() {
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
    TOscilloscope chart;
    chart.resize(402, 448);
    TOscSeries series;
    QCOMPARE(chart.PointText(0), QString());
    for (int i = 0; i < 100; ++i) series.Append(i * 0.5, std::to_string(458 + i));
    chart.Show(series, {});
    chart.FlushReplot();
    QVERIFY(chart.xAxis->range().contains(0) && chart.xAxis->range().contains(99));
    QVERIFY(chart.xAxis->range().upper < 101);
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
    QVERIFY(chart.yAxis->range().upper > 500.0);
    // A new run follows its data again.
    QApplication::sendEvent(&chart, &wheel);
    series.Clear();
    series.Append(7, "0");
    series.Append(8, "1");
    chart.Show(series, {});
    chart.FlushReplot();
    QVERIFY(chart.FollowsData());
    QVERIFY(chart.xAxis->range().upper < 1.1);
  }

  // Temperature readings of about 2480 cl after the first tick's 1800: the readings fill the
  // plot and the figures; a flat series and a single reading stand clear of the frame too.
  void figuresAndScaleCountTheReadingsOnly() {
    const struct {
      std::vector<double> readings;
      QString stats;
    } cases[] = {
        {{2478, 2482, 2480}, "n 3  mean 2480  sd 2  min 2478  max 2482  p-p 4"},
        {{50, 50, 50}, "n 3  mean 50  sd 0  min 50  max 50  p-p 0"},
        {{-3}, "n 1  mean -3  sd 0  min -3  max -3  p-p 0"},
    };
    for (const auto& c : cases) {
      TOscilloscope chart;
      chart.resize(402, 448);
      TOscSeries series;
      series.Append(karvo::FIRST_TICK_LIMIT, "0", true);
      for (size_t i = 0; i < c.readings.size(); ++i)
        series.Append(c.readings[i], std::to_string(i));
      chart.Show(series, {});
      chart.FlushReplot();
      QCOMPARE(chart.StatsText(), c.stats);
      const QRect plot = chart.axisRect()->rect();
      for (double y : c.readings) {
        const double at = chart.yAxis->coordToPixel(y);
        QVERIFY2(at > plot.top() + 3 && at < plot.bottom() - 3, qPrintable(QString::number(y)));
      }
      // The readings use most of the height: none is squeezed into a flat line.
      const auto [low, high] = std::minmax_element(c.readings.begin(), c.readings.end());
      if (*high > *low)
        QVERIFY(chart.yAxis->coordToPixel(*low) - chart.yAxis->coordToPixel(*high) >
                plot.height() * 0.8);
    }
  }

  // Under the plot, never above it or over the tick labels: on an empty chart, with a footer
  // come and gone, and after a clear as at a reconnect.
  void statisticsSitUnderThePlotWhateverCameBefore() {
    TOscilloscope chart;
    chart.resize(402, 448);
    TOscSeries series;
    series.Axes = karvo::OscAxesOf(karvo::RUN_TEMPERATURE);
    const auto under = [&chart](const std::vector<std::string>& footer) {
      chart.replot();
      const auto [stats, row] = RowShowing(chart, chart.StatsText());
      const auto [foot, footRow] = RowShowing(chart, chart.FooterText());
      return stats && row == AxisRectRow(chart) + 1 &&
             stats->outerRect().top() >= chart.axisRect()->outerRect().bottom() &&
             (footer.empty() ? chart.plotLayout()->rowCount() == row + 1 : footRow == row + 1);
    };
    const std::vector<std::string> exposure = {"Exposure: 81 mks"};
    QVERIFY(under({}));
    QCOMPARE(chart.StatsText(), QString("n 0"));
    for (int round = 0; round < 2; ++round) {
      chart.Show(series, exposure);
      chart.FlushReplot();
      QVERIFY(under(exposure));
      series.Append(2480, "0");
      chart.Show(series, {});
      chart.FlushReplot();
      QVERIFY(under({}));
      series.Clear();
      chart.Show(series, {});
      chart.FlushReplot();
      QVERIFY(under({}));
    }
    QCOMPARE(chart.yAxis->label() + "|" + chart.xAxis->label(), QString("cl|Sample"));
  }

  // A Pulse run's exposure line is gone once a stream starts, and the stream's readings are
  // in the unit of its mode. A sweep counts its samples there; stopped by the operator, it
  // says that nothing was saved.
  void theFooterBelongsToItsRun() {
    karvo::sim::TSensorSim sim({.Baud = 115200});
    karvo::sim::TStageSim stage({.TimeScale = 0.001});
    QVERIFY(sim.Start() && stage.Start());
    karvo::test::TScriptedOperator person;
    karvo::TFormMain form;
    form.SetDialogs(&person);
    form.AddPort(sim.DevicePath(), true);
    form.AddMotorPort(stage.DevicePath());
    form.ComboBoxWorkBaund->setCurrentText("115200");
    form.show();
    QVERIFY(form.WaitIdle());
    // A click on Stream start while the window folds or unfolds is ignored.
    const auto settled = [&form] {
      return QTest::qWaitFor([&] { return form.WaitIdle() && !form.TimerMore->isActive(); });
    };
    form.ButtonConnect->click();
    QVERIFY(settled());
    const auto pick = [&form](const char* mode) {
      form.Inspect([mode](karvo::TSession& s) { s.CommitCell(karvo::ROW_MODE_OF_RUN, mode); });
    };
    pick("Pulse");
    form.ButtonMeasure->click();
    QTRY_VERIFY_WITH_TIMEOUT(!form.Chart1->FooterText().isEmpty(), 5000);
    // The operator's Stop, as the button would hand it over however busy the window looks.
    const auto stop = [&form] { form.Post([](karvo::TSession& s) { s.ButtonMeasureClick(); }); };
    stop();
    QVERIFY(form.WaitIdle());
    QVERIFY(form.Chart1->FooterText().startsWith("Exposure: "));
    pick("NonLine");
    form.ButtonStream->click();
    QVERIFY(settled());
    QCOMPARE(form.Chart1->FooterText(), QString());
    form.ButtonStream->click();
    QVERIFY(settled());
    QCOMPARE(form.Chart1->yAxis->label(), QString("px"));
    QVERIFY(person.Messages.empty());

    pick("Calibration");
    form.ButtonMeasure->click();
    // The readings are drawn as they come, against the stage's position.
    QTRY_VERIFY_WITH_TIMEOUT(form.Chart1->FooterText().contains(" of 6801, stage at ") &&
                                 form.SeriesOsc->dataCount() > 2,
                             10000);
    QCOMPARE(form.Chart1->xAxis->label(), QString("Stage, mm"));
    stop();
    QVERIFY(form.WaitIdle());
    // The progress line went with its run.
    QCOMPARE(form.Chart1->FooterText(), QString());
    QCOMPARE(person.LastMessage() + "|" + person.Messages.back().Caption,
             std::string("The run was stopped. Nothing was saved.|KARVO-SP"));
  }

  void anExportTheSystemRefusesSaysWhy() {
    const karvo::test::TScratchDir dir;
    karvo::test::TScriptedOperator person;
    karvo::TFormMain form;
    form.SetDialogs(&person);
    const std::pair<std::string, std::string> cases[] = {
        {dir.Path(std::string(300, 'x') + ".csv"), "File name too long."},
        {dir.Path("no/such/folder.csv"), "No such file or directory."},
    };
    for (const auto& [name, reason] : cases) {
      person.SaveAnswers.push_back(name);
      form.PopupMenuSave->findChild<QAction*>("ExportCsv")->trigger();
      QCOMPARE(person.LastMessage(), "Error writing " + name + ".\r" + reason);
    }
    QCOMPARE(dir.Entries(), size_t{0});
  }
};

QTEST_MAIN(OscilloscopeTest)
#include "OscilloscopeTest.moc"
