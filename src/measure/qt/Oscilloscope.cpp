#include "measure/qt/Oscilloscope.h"

#include <QBuffer>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <cmath>

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
  statsLine_->setMargins(QMargins(2, 4, 2, 2));
  for (QCPAxis* axis : {xAxis, yAxis}) {
    axis->setLabelFont(small);
    axis->setLabelColor(Qt::darkGray);
    axis->setLabelPadding(2);
  }
  // The operator may zoom with the wheel and pan by dragging; the axes stop following the
  // data until a double click or "Whole series".
  setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  legend->setVisible(false);
  yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new TGroupedTicker));
  series_ = addGraph();
  series_->setObjectName("SeriesOsc");
  series_->setPen(QPen(Qt::red));
  series_->setLineStyle(QCPGraph::lsLine);
  series_->setScatterStyle(
      QCPScatterStyle(QCPScatterStyle::ssSquare, Qt::red, Qt::red, MARKER_SIZE));
  // Large series are drawn from a sample of what falls on each pixel column.
  series_->setAdaptiveSampling(true);
  setMouseTracking(true);
  SetAxes(shown_.Axes);
  FitAxes();
  ArrangeRowsBelowPlot();
  statsLine_->setText(Decode(stats_.Text()));

  replotTimer_ = new QTimer(this);
  replotTimer_->setSingleShot(true);
  replotTimer_->setInterval(REPLOT_INTERVAL_MS);
  connect(replotTimer_, &QTimer::timeout, this, [this] { Replot(); });
}

void TOscilloscope::Show(const TOscSeries& series, const std::vector<std::string>& footer) {
  if (series.Axes != shown_.Axes) {
    shown_.Axes = series.Axes;
    SetAxes(series.Axes);
    ScheduleReplot();
  }
  const auto& points = series.Points();
  if (series.Generation() != shownGeneration_ || points.size() < shown_.Count()) {
    // A new run or stream: the axes follow its data again.
    if (series.Generation() != shownGeneration_) followData_ = true;
    shownGeneration_ = series.Generation();
    shown_ = series;
    QVector<double> x, y;
    x.reserve(static_cast<qsizetype>(points.size()));
    y.reserve(static_cast<qsizetype>(points.size()));
    stats_.Clear();
    for (const TOscPoint& p : points) {
      x.push_back(p.X);
      y.push_back(p.Y);
      if (p.IsReading()) stats_.Add(p.Y);
    }
    series_->setData(x, y, true);
    ScheduleReplot();
  } else if (points.size() > shown_.Count()) {
    QVector<double> x, y;
    for (size_t i = shown_.Count(); i < points.size(); ++i) {
      const TOscPoint& p = points[i];
      x.push_back(p.X);
      y.push_back(p.Y);
      if (p.IsReading()) stats_.Add(p.Y);
      shown_.Append(p.Y, p.Label, p.SeriesColour);
    }
    series_->addData(x, y, true);
    ScheduleReplot();
  }
  if (footer != shownFooter_) SetFooter(footer);
}

void TOscilloscope::SetAxes(const TOscAxes& axes) {
  xAxis->setLabel(Decode(axes.X));
  yAxis->setLabel(Decode(axes.Y));
}

void TOscilloscope::SetFooter(const std::vector<std::string>& footer) {
  const bool rowChanges = footer.empty() != shownFooter_.empty();
  shownFooter_ = footer;
  QStringList lines;
  for (const auto& line : footer) lines << Decode(line);
  footer_->setText(lines.join('\n'));
  if (rowChanges) ArrangeRowsBelowPlot();
  ScheduleReplot();
}

void TOscilloscope::ArrangeRowsBelowPlot() {
  for (QCPLayoutElement* row :
       {static_cast<QCPLayoutElement*>(statsLine_), static_cast<QCPLayoutElement*>(footer_)}) {
    if (row->layout() != nullptr) plotLayout()->take(row);
  }
  plotLayout()->simplify();
  // Right under the plot, in the row after the axis rect's, whatever came and went before.
  int below = 0;
  for (int r = 0; r < plotLayout()->rowCount(); ++r) {
    if (plotLayout()->element(r, 0) == axisRect()) below = r + 1;
  }
  plotLayout()->insertRow(below);
  plotLayout()->addElement(below, 0, statsLine_);
  // An empty footer takes no room under the plot.
  if (!shownFooter_.empty()) {
    plotLayout()->insertRow(below + 1);
    plotLayout()->addElement(below + 1, 0, footer_);
  }
}

void TOscilloscope::FitAxes() {
  const auto data = series_->data();
  if (data->isEmpty()) {
    // An empty chart shows no scale of a run gone by.
    xAxis->setRange(0, 10);
    yAxis->setRange(0, 1);
    return;
  }
  const double first = data->constBegin()->key;
  const double last = (data->constEnd() - 1)->key;
  double low = stats_.Min();
  double high = stats_.Max();
  if (stats_.Count() == 0) {
    bool found = false;
    const QCPRange values = data->valueRange(found);
    low = values.lower;
    high = values.upper;
  }
  // A flat series stands in the middle of a band of its own size, not on the frame.
  const double span = high - low;
  const double flat = std::max(std::abs(high) * 0.01, 0.5);
  const double height = std::max(axisRect()->height(), 2 * EDGE_PX + 1);
  const double width = std::max(axisRect()->width(), 2 * EDGE_PX + 1);
  const double valuePad =
      span > 0 ? span * (HEADROOM * height + EDGE_PX) / (height - 2.0 * EDGE_PX) : flat;
  const double keySpan = std::max(last - first, 1.0);
  const double keyPad = keySpan * EDGE_PX / (width - 2.0 * EDGE_PX);
  xAxis->setRange(first - keyPad, first + keySpan + keyPad);
  yAxis->setRange(low - valuePad, high + valuePad);
}

void TOscilloscope::Replot() {
  statsLine_->setText(Decode(stats_.Text()));
  // The room around the points is reckoned in pixels of the plot as it will be drawn.
  updateLayout();
  if (followData_) FitAxes();
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
  return statsLine_->text();
}

void TOscilloscope::ShowWholeSeries() {
  followData_ = true;
  FitAxes();
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
  int error = 0;
  if (WriteFileReplacing(path, SeriesCsv(shown_), error)) return true;
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

size_t TOscilloscope::NearestIndex(double key) const {
  // X runs 0, 1, 2, ... so the nearest point is found by rounding.
  const double last = static_cast<double>(shown_.Count() - 1);
  return static_cast<size_t>(std::clamp(std::round(key), 0.0, last));
}

QString TOscilloscope::PointText(double key) const {
  if (shown_.Count() == 0) return {};
  const TOscPoint& p = shown_.Points()[NearestIndex(key)];
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
  const TOscPoint& p = shown_.Points()[NearestIndex(key)];
  const QPointF point(xAxis->coordToPixel(p.X), yAxis->coordToPixel(p.Y));
  if (QLineF(point, at).length() > 8) {
    QToolTip::hideText();
    return;
  }
  QToolTip::showText(event->globalPosition().toPoint(), text, this);
}

}  // namespace karvo
