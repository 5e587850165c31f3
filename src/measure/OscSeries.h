// The oscilloscope's data without the chart: the points the loop, the stream and the sweep
// writers draw, which the window's chart mirrors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace karvo {

struct TOscPoint {
  double X;
  double Y;
  std::string Label;
  bool SeriesColour;  // false: red; true: the series' own colour
};

class TOscSeries {
 public:
  // Removes all points; a view that sees Generation() change redraws from scratch.
  void Clear() {
    points_.clear();
    ++generation_;
  }
  // X is the number of points already in the series. Amortised O(1): a view appends only the
  // points it has not shown yet.
  void Append(double y, std::string label, bool seriesColour = false) {
    points_.push_back({static_cast<double>(points_.size()), y, std::move(label), seriesColour});
  }
  size_t Count() const { return points_.size(); }
  const std::vector<TOscPoint>& Points() const { return points_; }
  uint64_t Generation() const { return generation_; }

 private:
  std::vector<TOscPoint> points_;
  uint64_t generation_ = 0;
};

}  // namespace karvo
