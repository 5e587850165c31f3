// What the command line and the Python package both say and do in the same way: the words
// that name sweeps, flash operations and run modes, the result files' default names, writing
// a whole parameter set, and the run mode the sensor holds. Kept once here so that the two
// cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/Result.h"
#include "device/Sensor.h"
#include "device/Stage.h"
#include "params/ParamTable.h"

namespace karvo::device {

// "calibrate", "verify", "home", "end".
std::optional<SweepKind> SweepKindNamed(std::string_view word);
const char* SweepWord(SweepKind kind);
// The choices as a message lists them.
extern const char* const SWEEP_CHOICES;  // "calibrate, verify, home or end"
// The result file's extension, or nullptr for the moves that write none.
const char* SweepExtension(SweepKind kind);
// Where a sweep's result goes when no file is named: the serial number and the extension, in
// the current folder. Empty for the moves.
std::string DefaultSweepFile(SweepKind kind, uint16_t serialNumber);

// "store", "restore", "factory".
std::optional<FlashOperation> FlashOperationNamed(std::string_view word);
const char* FlashWord(FlashOperation operation);
extern const char* const FLASH_CHOICES;  // "store, restore or factory"

// "Line", "NonLine", "Temperature", "Pulse" (as the grid names them).
std::optional<uint32_t> RunModeNamed(std::string_view name);
// What the sensor's "Mode of Run" register holds, as a run mode.
uint32_t HeldRunMode(const TParamSet& read);
// Reads the "Mode of Run" row alone, for callers that have not read the whole set.
Result ReadHeldRunMode(Sensor& sensor, uint32_t& runMode);

// Writes a whole parameter set. Unforced, as Sensor::WriteParameters: every value checked
// first, nothing sent when one does not fit. Forced, values go out as they are, highest row
// first, and a failing row does not stop the others. `failedRows` gets the rows that failed;
// the Result names the first.
Result WriteParameterSet(Sensor& sensor, const TParamSet& values, bool force,
                         const CancelToken* cancel = nullptr,
                         std::vector<int>* failedRows = nullptr);

}  // namespace karvo::device
