// The rules of the parameter grid without the grid: the text a value shows in its cell, the
// pick list of a row, what committing a cell does to the working set, and which typed
// characters a cell takes. The session applies them to the window's grid.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "params/ParamTable.h"

namespace karvo {

inline constexpr const char* LABEL_RAST_MM = "0.000 mm";
inline constexpr char KEY_BACKSPACE = 8;

// Largest value a row takes: its Max, but never more than its registers hold (a value above
// them would lose its high bytes on the wire).
int64_t Highest(const TPARAMETR& p);
// Divisor between the number shown and the number held, for the rows converted by division.
int DivisorOf(int row);

// Pick list of a row (empty for rows without one); the laser row's list follows the range.
std::vector<std::string> GridPickList(int row, int16_t measuringRange);

// The cell text of a row as the grid shows it after a fill. Row 26 shows the mode that the
// register holds.
std::string GridCellText(int row, const TPARAMVALUE& value, int16_t measuringRange);

// Analog window rows: whole percent of a register value, and the register value of a percent.
int64_t WholePercent(uint32_t value);
uint32_t PercentToWindowValue(int32_t percent);

// Zero Point shown after a refused entry: the stored value rounded to whole display units.
std::string ZeroPointRefusedText(uint32_t value);

// Mode of run. The register keeps only the sensor's output mode (two low bits); the run mode
// is the index of the chosen "Mode of Run" entry.
uint32_t RunModeOfRegister(uint32_t registerValue);  // 0, 1 or 2
uint32_t RegisterOfRunMode(uint32_t runMode);        // 0, 1 or 3
std::string RunModeName(uint32_t runMode);
// What the result display shows when a run mode is taken on: "0.000 mm", "0 px", "0 cl" or " ".
std::string RunModeLabelRast(uint32_t runMode);
// Streaming and zero set exist in the sensor's own output modes only.
bool RunModeStreams(uint32_t runMode);

// Register 2 after an edit of row 4, 5, 6 or 20 to `choice`, starting from the OR of the four
// rows' values `b`.
uint32_t MergeModeRegister(int row, const std::string& choice, uint32_t b);

enum class TCommit {
  Unchanged,   // the set is as it was (a cell may still be shown anew)
  Stored,      // the working set took the cell's value
  Refused,     // the value was not accepted; the set is as it was
  NotInteger,  // the text failed the integer conversion; the set and the cell are as they were
};

struct TCommitResult {
  TCommit Outcome = TCommit::Unchanged;
  std::string BadText;                             // NotInteger: the text that failed
  std::vector<std::pair<int, std::string>> Cells;  // rows whose cell shows a new text
  uint32_t RunMode = 0;                            // row 26, Stored: the run mode chosen
};

// Takes the text of row `row`'s cell into `values`. `runMode` is the run mode in force, which
// row 26's cell shows.
TCommitResult CommitCell(int row, const std::string& cell, TParamSet& values,
                         int16_t measuringRange, uint32_t runMode);

// Whether a typed character goes into a cell of a row of kind `kind`, given the cell's
// current length. Backspace always does: a full cell must stay shortenable.
bool KeyAccepted(uint8_t kind, uint8_t maxLength, char key, size_t currentLength);

}  // namespace karvo
