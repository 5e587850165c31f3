// The oscilloscope: one red line series with small square markers, the title
// "Oscilloscope", footer lines under the plot and each point's label on hover. It shows the
// session's series as it grows, appending only the new points and replotting at the
// screen's pace rather than once per appended point.
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
  // The statistics line under the plot, as shown.
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

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void ScheduleReplot();
  void SetFooter(const std::vector<std::string>& footer);
  // The lines under the plot in their order: statistics (while there are points), footer.
  void ArrangeRowsBelowPlot();
  void Replot();

  QCPGraph* series_ = nullptr;
  QCPTextElement* footer_ = nullptr;
  QCPTextElement* statsLine_ = nullptr;
  TSeriesStats stats_;
  bool followData_ = true;
  QTimer* replotTimer_ = nullptr;
  const TOscSeries* shown_ = nullptr;
  uint64_t shownGeneration_ = 0;
  size_t shownCount_ = 0;
  std::vector<std::string> shownFooter_;
};

}  // namespace karvo
