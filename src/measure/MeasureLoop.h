// The measurement loop's own work, apart from the window's buttons and timers: the reset at a
// run's start, one exchange with the sensor in the current run mode, and what a result does
// to the ring, the display and the chart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure/OscSeries.h"
#include "measure/SampleRing.h"
#include "protocol/Karvointerface.h"

namespace karvo {

constexpr double FIRST_TICK_LIMIT = 1800.0;
constexpr int PULSE_POINTS = 90;
constexpr int PULSE_OFFSET = 42;

// The sensor as the loop asks it, one request a call; the device layer implements it, so the
// loop never holds a link of its own. Each returns the exchange's status.
class TMeasureSource {
 public:
  virtual ~TMeasureSource() = default;
  virtual uint32_t ReadResult(uint16_t& word) = 0;
  virtual uint32_t ReadPulse(PulseRecord& pulse) = 0;
};

// What one exchange took.
struct TMeasureTake {
  bool Taken = true;     // false: a result was asked for and did not come
  bool HaveRaw = false;  // a result came; Raw is it
  int16_t Raw = 0;
  uint32_t Status = ST_OK;  // of the exchange
};

class TMeasureLoop {
 public:
  TMeasureLoop(TSampleRing& ring, TOscSeries& series, std::vector<std::string>& footer)
      : ring_(ring), series_(series), footer_(footer) {}

  // Clears the chart and its footer and resets the ring's indexes and flags.
  void StartRun();

  // One exchange in `runMode`: in "Pulse" the profile is fetched and drawn, in the other modes
  // a result is read and kept in LastValue. `labelRast` is the display's text.
  TMeasureTake Exchange(TMeasureSource& sensor, uint32_t runMode, int16_t measuringRange,
                        std::string& labelRast);

  // The continuous modes' handling of a result just taken: into the ring, onto the display
  // and onto the chart.
  void RecordResult(uint32_t runMode, std::string& labelRast);

  // Draws a pulse record: display, 90 profile points and the exposure footer.
  void DrawPulse(const PulseRecord& pulse, std::string& labelRast);

  // The last pulse record that came, for those who print it.
  const PulseRecord& LastPulse() const { return lastPulse_; }

 private:
  TSampleRing& ring_;
  TOscSeries& series_;
  std::vector<std::string>& footer_;
  PulseRecord lastPulse_;
};

}  // namespace karvo
