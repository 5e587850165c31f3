#include "app/ViewUpdate.h"

#include <iterator>
#include <utility>

namespace karvo {

void TViewUpdate::Absorb(TViewUpdate&& later) {
  if (later.SeriesReset) {
    SeriesReset = true;
    NewPoints = std::move(later.NewPoints);
  } else {
    NewPoints.insert(NewPoints.end(), std::make_move_iterator(later.NewPoints.begin()),
                     std::make_move_iterator(later.NewPoints.end()));
  }
  View = std::move(later.View);
  Working = later.Working;
  MeasuringRange = later.MeasuringRange;
  RunMode = later.RunMode;
  FoldExpands = later.FoldExpands;
  HandledEvents = later.HandledEvents;
  Busy = later.Busy;
}

TViewUpdate TViewPublisher::Take(TSession& session) {
  TViewUpdate update;
  TOscSeries& series = session.View.SeriesOsc;
  // The points go by difference: a run's 65536 are not copied thirty times a second.
  TOscSeries held;
  std::swap(held, series);
  update.View = session.View;
  std::swap(held, series);
  update.View.SeriesOsc.Axes = series.Axes;
  const auto& points = series.Points();
  if (series.Generation() != generation_ || points.size() < sent_) {
    update.SeriesReset = true;
    generation_ = series.Generation();
    sent_ = 0;
  }
  update.NewPoints.assign(points.begin() + static_cast<std::ptrdiff_t>(sent_), points.end());
  sent_ = points.size();
  update.Working = session.ParamWrite;
  update.MeasuringRange = session.MeasuringRange();
  update.RunMode = session.RunMode;
  update.FoldExpands = session.ExpandNext;
  return update;
}

void ApplySeries(TOscSeries& series, TViewUpdate& update) {
  if (update.SeriesReset) series.Clear();
  series.Axes = update.View.SeriesOsc.Axes;
  for (TOscPoint& p : update.NewPoints) series.Add(std::move(p));
  update.NewPoints.clear();
  update.SeriesReset = false;
}

}  // namespace karvo
