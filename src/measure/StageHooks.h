// What the stage-driven run modes (4 to 7) do at the loop's three hook points. The stage
// folder implements it, so that the loop does not depend on the stage.
#pragma once

#include <cstdint>

namespace karvo {

class TStageHooks {
 public:
  virtual ~TStageHooks() = default;
  virtual void StageStart(uint32_t runMode) = 0;       // start of a run, before the timer runs
  virtual void StageTick(uint32_t runMode) = 0;        // every tick of the loop
  virtual void StageStopDrive(uint32_t runMode) = 0;   // stop: halt the stage, close its port
  virtual void StageStopFinish(uint32_t runMode) = 0;  // stop, modes 4 and 5: restore, write
};

}  // namespace karvo
