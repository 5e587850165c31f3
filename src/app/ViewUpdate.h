// What the device thread sends the window: the View as the session left it after an event or a
// tick, the chart points added since the last update, and what the window's own copy of the
// grid needs to answer keys and commits by itself. The window owns what it is sent; nothing of
// the session is shared.
#pragma once

#include <cstdint>
#include <vector>

#include "app/Session.h"

namespace karvo {

struct TViewUpdate {
  TMainView View;            // its SeriesOsc carries the axes only; the points travel below
  bool SeriesReset = false;  // the series was cleared: what the window shows goes first
  std::vector<TOscPoint> NewPoints;
  TParamSet Working;
  int16_t MeasuringRange = 0;
  uint32_t RunMode = RUN_LINE;
  bool FoldExpands = true;     // where the fold the View's TimerMore asks for goes
  uint64_t HandledEvents = 0;  // how many of the window's events the session has had
  bool Busy = false;           // an operation is queued or running

  // Takes in a later update that comes before the window has taken this one.
  void Absorb(TViewUpdate&& later);
};

// Makes the updates of one session, remembering which chart points the window already has.
class TViewPublisher {
 public:
  TViewUpdate Take(TSession& session);

 private:
  uint64_t generation_ = ~uint64_t{0};
  size_t sent_ = 0;
};

// The window's copy of the series: `update`'s points applied to `series`.
void ApplySeries(TOscSeries& series, TViewUpdate& update);

}  // namespace karvo
