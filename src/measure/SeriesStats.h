// Figures of the oscilloscope's series for the operator reading the chart: count, mean,
// standard deviation, extremes; and the series as CSV for a spreadsheet.
#pragma once

#include <cstddef>
#include <string>

#include "measure/OscSeries.h"

namespace karvo {

// Running figures, updated point by point so that a growing series costs nothing to follow.
class TSeriesStats {
 public:
  void Clear() { *this = TSeriesStats(); }
  void Add(double y);

  size_t Count() const { return count_; }
  double Mean() const { return mean_; }
  // Of the sample (n - 1); 0 for fewer than two points.
  double StdDev() const;
  double Min() const { return min_; }
  double Max() const { return max_; }
  double PeakToPeak() const { return count_ ? max_ - min_ : 0.0; }

  // One line that fits under the chart: "n 1234  mean 50.001  sd 0.004  min 49.99  max 50.01
  // p-p 0.02", numbers with up to `digits` significant digits and the locale's separator.
  std::string Text(int digits = 5) const;

 private:
  size_t count_ = 0;
  double mean_ = 0;
  double m2_ = 0;  // sum of squared differences from the mean (Welford)
  double min_ = 0;
  double max_ = 0;
};

// The series as CSV: a header line "index,x,y,label", then one line a point; points as
// decimal separators whatever the locale, numbers as exact as a double allows, a label
// quoted when it needs it; lines end with CR LF.
std::string SeriesCsv(const TOscSeries& series);

}  // namespace karvo
