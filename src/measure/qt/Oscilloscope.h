// The oscilloscope: one red line series with small square markers, the title
// "Oscilloscope", axes captioned with what they count, the statistics of the readings and
// the footer lines under the plot, and each point's label on hover. It shows the session's
// series as it grows, appending only the new points and replotting at the screen's pace
// rather than once per appended point. It keeps its own copy of what it shows, so that a
// hover or an export never reads the session's series while the device thread writes it.
#pragma once

#include <qcustomplot.h>

#include <cstdint>
#include <string>
#include <vector>

#include "measure/OscSeries.h"
#include "measure/SeriesStats.h"

class QTimer;

namespace karvo {

class TOscilloscope : public QCustomPlot {
  Q_OBJECT

 public:
  explicit TOscilloscope(QWidget* parent = nullptr);

  QCPGraph* Series() const { return series_; }

  // Takes what changed since the last call; cheap when nothing did. The plot follows within
  // one replot interval.
  void Show(const TOscSeries& series, const std::vector<std::string>& footer);
  // Replots now if a replot is due (tests, screenshots).
  void FlushReplot();
  // The footer as shown, lines joined by '\n'.
  QString FooterText() const;
  // What the hover tooltip says for the point nearest to `key`; empty without points.
  QString PointText(double key) const;
  // The statistics line under the plot, as shown; of the readings only.
  QString StatsText() const;

  // Back to the whole series after the operator zoomed or panned (a double click does it
  // too); the axes then follow the data again.
  void ShowWholeSeries();
  bool FollowsData() const { return followData_; }
  // The points as CSV, the picture as PNG; false with the reason on failure.
  bool WriteCsv(const std::string& path, std::string& reason) const;
  bool WritePng(const std::string& path, std::string& reason);

  static constexpr int REPLOT_INTERVAL_MS = 33;
  static constexpr double MARKER_SIZE = 2;
  // Room around the outermost points so that neither they nor their markers touch the frame:
  // a share of the data's span plus a few pixels.
  static constexpr double HEADROOM = 0.05;
  static constexpr int EDGE_PX = 4;

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void ScheduleReplot();
  void SetFooter(const std::vector<std::string>& footer);
  void SetAxes(const TOscAxes& axes);
  // The statistics line always sits right under the plot, the footer under it while it has
  // lines.
  void ArrangeRowsBelowPlot();
  // Both axes to the data, the value axis to the readings alone.
  void FitAxes();
  void Replot();
  size_t NearestIndex(double key) const;  // of a point, in a series that has one

  QCPGraph* series_ = nullptr;
  QCPTextElement* footer_ = nullptr;
  QCPTextElement* statsLine_ = nullptr;
  TSeriesStats stats_;
  bool followData_ = true;
  QTimer* replotTimer_ = nullptr;
  TOscSeries shown_;
  uint64_t shownGeneration_ = 0;
  std::vector<std::string> shownFooter_;
};

}  // namespace karvo
