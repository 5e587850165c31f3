// The oscilloscope's data without the chart: the points the loop, the stream and the sweep
// writers draw, which the window's chart mirrors, and what its two axes stand for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "params/ParamTable.h"

namespace karvo {

struct TOscPoint {
  double X;
  double Y;
  std::string Label;
  // false: red. true: the series' own colour, which only the point a run adds at its first
  // tick has; that point is no reading and counts in no figure of the series.
  bool SeriesColour;

  bool IsReading() const { return !SeriesColour; }
};

// Captions of the chart's axes: what X counts and the unit of Y.
struct TOscAxes {
  std::string X = "Sample";
  std::string Y;
  bool operator==(const TOscAxes&) const = default;
};

// The axes of what a run or stream in `runMode` draws: its readings by sample in the mode's
// unit, the pulse profile by profile point, a verification's deviation in mm.
inline TOscAxes OscAxesOf(uint32_t runMode) {
  switch (runMode) {
    case RUN_LINE:
    case RUN_POVERKA:
      return {"Sample", "mm"};
    case RUN_NONLINE:
    case RUN_CALIBRATION:
      return {"Sample", "px"};
    case RUN_TEMPERATURE:
      return {"Sample", "cl"};
    case RUN_PULSE:
      return {"Profile point", "Level"};
    default:
      return {};
  }
}

class TOscSeries {
 public:
  // Removes all points; a view that sees Generation() change redraws from scratch. The axes
  // stay until the next run sets its own.
  void Clear() {
    points_.clear();
    ++generation_;
  }
  // X is the number of points already in the series. Amortised O(1): a view appends only the
  // points it has not shown yet.
  void Append(double y, std::string label, bool seriesColour = false) {
    points_.push_back({static_cast<double>(points_.size()), y, std::move(label), seriesColour});
  }
  // A point at its own X (a sweep's reading at its stage position).
  void AppendAt(double x, double y, std::string label) {
    points_.push_back({x, y, std::move(label), false});
  }
  // A point as another series has it (the window's copy of the session's).
  void Add(TOscPoint point) { points_.push_back(std::move(point)); }
  size_t Count() const { return points_.size(); }
  const std::vector<TOscPoint>& Points() const { return points_; }
  uint64_t Generation() const { return generation_; }

  TOscAxes Axes;

 private:
  std::vector<TOscPoint> points_;
  uint64_t generation_ = 0;
};

}  // namespace karvo
