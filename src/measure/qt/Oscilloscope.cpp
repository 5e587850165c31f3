#include "measure/qt/Oscilloscope.h"

#include <QTimer>
#include <QToolTip>

namespace karvo {

namespace {

// Labels and footers are plain ASCII: numbers, units, "Exposure:", "Error:".
QString Decode(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// Left-axis numbers as "#,##0.####": grouped thousands, up to four decimals, no trailing
// zeros.
class TGroupedTicker : public QCPAxisTicker {
 protected:
  QString getTickLabel(double tick, const QLocale& locale, QChar, int) override {
    QLocale grouped = locale;
    grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
    QString text = grouped.toString(tick, 'f', 4);
    const QString point = grouped.decimalPoint();
    if (text.contains(point)) {
      while (text.endsWith('0')) text.chop(1);
      if (text.endsWith(point)) text.chop(point.size());
    }
    if (text == "-0") text = "0";
    return text;
  }
};

}  // namespace

TOscilloscope::TOscilloscope(QWidget* parent) : QCustomPlot(parent) {
  setObjectName("Chart1");
  setLocale(QLocale());
  setBackground(Qt::white);
  plotLayout()->insertRow(0);
  auto* title = new QCPTextElement(this, "Oscilloscope");
  QFont titleFont("Arial");
  titleFont.setFamilies({"Arial", "Liberation Sans", "DejaVu Sans"});
  titleFont.setPixelSize(16);
  title->setFont(titleFont);
  title->setTextColor(Qt::blue);
  plotLayout()->addElement(0, 0, title);
  footer_ = new QCPTextElement(this, "");
  footer_->setLayer("axes");
  legend->setVisible(false);
  yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new TGroupedTicker));
  xAxis->setRange(0, 10);
  yAxis->setRange(0, 1);
  series_ = addGraph();
  series_->setObjectName("SeriesOsc");
  series_->setPen(QPen(Qt::red));
  series_->setLineStyle(QCPGraph::lsLine);
  series_->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssSquare, Qt::red, Qt::red, 2));
  // Large series are drawn from a sample of what falls on each pixel column.
  series_->setAdaptiveSampling(true);
  setMouseTracking(true);

  replotTimer_ = new QTimer(this);
  replotTimer_->setSingleShot(true);
  replotTimer_->setInterval(REPLOT_INTERVAL_MS);
  connect(replotTimer_, &QTimer::timeout, this, [this] {
    if (series_->dataCount() > 0) rescaleAxes();
    replot();
  });
}

void TOscilloscope::Show(const TOscSeries& series, const std::vector<std::string>& footer) {
  shown_ = &series;
  const auto& points = series.Points();
  if (series.Generation() != shownGeneration_ || points.size() < shownCount_) {
    QVector<double> x, y;
    x.reserve(static_cast<qsizetype>(points.size()));
    y.reserve(static_cast<qsizetype>(points.size()));
    for (const TOscPoint& p : points) {
      x.push_back(p.X);
      y.push_back(p.Y);
    }
    series_->setData(x, y, true);
    shownGeneration_ = series.Generation();
    shownCount_ = points.size();
    ScheduleReplot();
  } else if (points.size() > shownCount_) {
    QVector<double> x, y;
    for (size_t i = shownCount_; i < points.size(); ++i) {
      x.push_back(points[i].X);
      y.push_back(points[i].Y);
    }
    series_->addData(x, y, true);
    shownCount_ = points.size();
    ScheduleReplot();
  }
  if (footer != shownFooter_) SetFooter(footer);
}

void TOscilloscope::SetFooter(const std::vector<std::string>& footer) {
  shownFooter_ = footer;
  QStringList lines;
  for (const auto& line : footer) lines << Decode(line);
  footer_->setText(lines.join('\n'));
  // An empty footer takes no room under the plot.
  const bool inLayout = plotLayout()->hasElement(2, 0);
  if (!footer.empty() && !inLayout) {
    plotLayout()->addElement(2, 0, footer_);
  } else if (footer.empty() && inLayout) {
    plotLayout()->take(footer_);
    plotLayout()->simplify();
  }
  ScheduleReplot();
}

QString TOscilloscope::FooterText() const {
  return shownFooter_.empty() ? QString() : footer_->text();
}

void TOscilloscope::ScheduleReplot() {
  if (!replotTimer_->isActive()) replotTimer_->start();
}

void TOscilloscope::FlushReplot() {
  if (!replotTimer_->isActive()) return;
  replotTimer_->stop();
  if (series_->dataCount() > 0) rescaleAxes();
  replot();
}

QString TOscilloscope::PointText(double key) const {
  if (!shown_ || shown_->Count() == 0 || shownCount_ == 0) return {};
  // X runs 0, 1, 2, ... so the nearest point is found by rounding.
  const double last = static_cast<double>(shownCount_ - 1);
  const auto index = static_cast<size_t>(std::clamp(std::round(key), 0.0, last));
  const TOscPoint& p = shown_->Points()[index];
  return QString("%1: X = %2, Y = %3")
      .arg(Decode(p.Label), QString::number(p.X), locale().toString(p.Y, 'g', 10));
}

void TOscilloscope::mouseMoveEvent(QMouseEvent* event) {
  QCustomPlot::mouseMoveEvent(event);
  const QPointF at = event->position();
  if (!axisRect()->rect().contains(at.toPoint())) {
    QToolTip::hideText();
    return;
  }
  const double key = xAxis->pixelToCoord(at.x());
  const QString text = PointText(key);
  if (text.isEmpty()) return;
  // Only near the point itself, not anywhere in its column.
  const size_t index =
      static_cast<size_t>(std::clamp(std::round(key), 0.0, static_cast<double>(shownCount_ - 1)));
  const QPointF point(xAxis->coordToPixel(shown_->Points()[index].X),
                      yAxis->coordToPixel(shown_->Points()[index].Y));
  if (QLineF(point, at).length() > 8) {
    QToolTip::hideText();
    return;
  }
  QToolTip::showText(event->globalPosition().toPoint(), text, this);
}

}  // namespace karvo
