#include "measure/qt/Oscilloscope.h"

#include <QBuffer>
#include <QTimer>
#include <QToolTip>

#include "files/TextFile.h"

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
  statsLine_ = new QCPTextElement(this, "");
  statsLine_->setLayer("axes");
  QFont small = font();
  small.setPixelSize(10);
  statsLine_->setFont(small);
  statsLine_->setTextColor(Qt::darkGray);
  // The operator may zoom with the wheel and pan by dragging; the axes stop following the
  // data until a double click or "Whole series".
  setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  legend->setVisible(false);
  yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new TGroupedTicker));
  xAxis->setRange(0, 10);
  yAxis->setRange(0, 1);
  series_ = addGraph();
  series_->setObjectName("SeriesOsc");
  series_->setPen(QPen(Qt::red));
  series_->setLineStyle(QCPGraph::lsLine);
  series_->setScatterStyle(
      QCPScatterStyle(QCPScatterStyle::ssSquare, Qt::red, Qt::red, MARKER_SIZE));
  // Large series are drawn from a sample of what falls on each pixel column.
  series_->setAdaptiveSampling(true);
  setMouseTracking(true);

  replotTimer_ = new QTimer(this);
  replotTimer_->setSingleShot(true);
  replotTimer_->setInterval(REPLOT_INTERVAL_MS);
  connect(replotTimer_, &QTimer::timeout, this, [this] { Replot(); });
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
    // A new run or stream: the axes follow its data again.
    if (series.Generation() != shownGeneration_) followData_ = true;
    shownGeneration_ = series.Generation();
    shownCount_ = points.size();
    stats_.Clear();
    for (const TOscPoint& p : points) stats_.Add(p.Y);
    ScheduleReplot();
  } else if (points.size() > shownCount_) {
    QVector<double> x, y;
    for (size_t i = shownCount_; i < points.size(); ++i) {
      x.push_back(points[i].X);
      y.push_back(points[i].Y);
    }
    series_->addData(x, y, true);
    for (double v : y) stats_.Add(v);
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
  ArrangeRowsBelowPlot();
  ScheduleReplot();
}

void TOscilloscope::ArrangeRowsBelowPlot() {
  // Empty lines take no room under the plot.
  for (QCPLayoutElement* row :
       {static_cast<QCPLayoutElement*>(statsLine_), static_cast<QCPLayoutElement*>(footer_)}) {
    if (row->layout() != nullptr) plotLayout()->take(row);
  }
  plotLayout()->simplify();
  if (stats_.Count() > 0) plotLayout()->addElement(plotLayout()->rowCount(), 0, statsLine_);
  if (!shownFooter_.empty()) plotLayout()->addElement(plotLayout()->rowCount(), 0, footer_);
}

void TOscilloscope::Replot() {
  const bool statsShown = statsLine_->layout() != nullptr;
  if (statsShown != (stats_.Count() > 0)) ArrangeRowsBelowPlot();
  statsLine_->setText(Decode(stats_.Text()));
  if (followData_ && series_->dataCount() > 0) rescaleAxes();
  // Markers are drawn while they can be told apart; with more points in view than pixels
  // across they would only blot the line, and a noisy series of thousands of them costs more
  // to draw than the loop has time for between two results.
  const QCPRange keys = xAxis->range();
  const auto data = series_->data();
  const auto inView = data->findEnd(keys.upper) - data->findBegin(keys.lower);
  const bool markers = inView <= axisRect()->width();
  // Smoothing the edges of a line through thousands of points only costs time.
  series_->setAntialiased(markers);
  if (markers != (series_->scatterStyle().shape() != QCPScatterStyle::ssNone)) {
    series_->setScatterStyle(
        markers ? QCPScatterStyle(QCPScatterStyle::ssSquare, Qt::red, Qt::red, MARKER_SIZE)
                : QCPScatterStyle(QCPScatterStyle::ssNone));
  }
  replot();
}

QString TOscilloscope::StatsText() const {
  return statsLine_->layout() != nullptr ? statsLine_->text() : QString();
}

void TOscilloscope::ShowWholeSeries() {
  followData_ = true;
  if (series_->dataCount() > 0) rescaleAxes();
  replot();
}

void TOscilloscope::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && axisRect()->rect().contains(event->pos()))
    followData_ = false;
  QCustomPlot::mousePressEvent(event);
}

void TOscilloscope::wheelEvent(QWheelEvent* event) {
  if (axisRect()->rect().contains(event->position().toPoint())) followData_ = false;
  QCustomPlot::wheelEvent(event);
}

void TOscilloscope::mouseDoubleClickEvent(QMouseEvent* event) {
  QCustomPlot::mouseDoubleClickEvent(event);
  ShowWholeSeries();
}

bool TOscilloscope::WriteCsv(const std::string& path, std::string& reason) const {
  static const TOscSeries none;
  int error = 0;
  if (WriteFileReplacing(path, SeriesCsv(shown_ ? *shown_ : none), error)) return true;
  reason = ErrnoSentence(error);
  return false;
}

bool TOscilloscope::WritePng(const std::string& path, std::string& reason) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!toPixmap().save(&buffer, "PNG")) {
    reason = "The picture could not be made.";
    return false;
  }
  int error = 0;
  if (WriteFileReplacing(path, bytes.toStdString(), error)) return true;
  reason = ErrnoSentence(error);
  return false;
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
  Replot();
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
