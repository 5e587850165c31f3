// A simulated stage controller on a pseudo-terminal: it takes the controller's binary frames
// at 115200 baud (8N1), moves a carriage at the speed and by the distance it was told, is
// busy while the carriage moves, and answers the status request with 1 while busy and 0
// when idle. Its carriage can drive the simulated sensor's target.
//
// What it does, as the controller it stands for:
// - Hears nothing while the line is set to another rate, to parity or to two stop bits.
// - Moves only while the drive is on; switching the drive off stops the carriage where it is.
// - "Move forward" goes the last distance set, away from home; "move home" goes back to 0
//   whatever distance is set. Both at the last speed set (distance units per second, scaled
//   by TimeScale); a speed of 0 does not move. A new move starts from where the carriage is.
// - Argument frames carry 24 bits; a frame broken off by a new command byte is dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace karvo::sim {

class TSensorSim;

struct TStageSimOptions {
  uint32_t Baud = 115200;
  double MmPerUnit = 0.015;  // carriage travel of one distance unit
  // Seconds a move takes per (distance / speed); below 1 runs the stage faster than life, so
  // tests need not wait for it.
  double TimeScale = 1.0;
  int32_t StartUnits = 0;  // where the carriage stands at start-up, units from home
};

class TStageSim {
 public:
  explicit TStageSim(const TStageSimOptions& options = {});
  ~TStageSim();
  TStageSim(const TStageSim&) = delete;
  TStageSim& operator=(const TStageSim&) = delete;

  bool Start(std::string* error = nullptr);
  void Stop();
  std::string DevicePath() const;

  // The carriage, thread-safe: where it is now (moving or not), in units and mm from home.
  double CarriagePositionUnits() const;
  double CarriagePositionMm() const;
  bool Moving() const;
  bool DriveOn() const;
  int32_t Speed() const;
  int32_t Distance() const;
  void SetTimeScale(double scale);

  // Fault injection, from the next request on: answer nothing; answer this many more status
  // requests and then nothing; report busy for ever (the carriage still moves).
  void FailSilent(bool silent = true);
  void FailSilentAfter(int answers);
  void FailNeverIdle(bool never = true);
  void ClearFaults();

  // Every complete frame obeyed or answered (or ignored by a silent stage), in order.
  std::vector<std::vector<uint8_t>> Requests() const;
  void ClearRequests();
  uint32_t StatusAnswers() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The stage fitted for a sensor of this measuring range: mm per distance unit (a stage with a
// finer screw for small sensors, a coarser one for the large).
double StageMmPerUnitForRange(int16_t range);

// Makes the sensor's target follow the carriage: the target stands `homeMm` from the
// sensor's base when the carriage is home. The stage must outlive the coupling (or the sensor
// be given another distance source first).
void CoupleSensorToStage(TSensorSim& sensor, const TStageSim& stage, double homeMm = 0.0);

}  // namespace karvo::sim
