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

  static constexpr int REPLOT_INTERVAL_MS = 25;

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void ScheduleReplot();
  void SetFooter(const std::vector<std::string>& footer);

  QCPGraph* series_ = nullptr;
  QCPTextElement* footer_ = nullptr;
  QTimer* replotTimer_ = nullptr;
  const TOscSeries* shown_ = nullptr;
  uint64_t shownGeneration_ = 0;
  size_t shownCount_ = 0;
  std::vector<std::string> shownFooter_;
};

}  // namespace karvo
