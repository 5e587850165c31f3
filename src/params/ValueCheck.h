// One check of a parameter value against its row (limits, hex digits, pick-list members,
// text length, the width of the row's registers), shared by the grid's commit, the command
// line, the parameter-file reader, the device layer and the Python package.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "params/ParamGrid.h"
#include "params/ParamTable.h"

namespace karvo {

// What a row takes, for hints and messages (Windows-1251 like the names): "1 to 127",
// "Off, On", "hex 0 to 7FF", "at most 32 characters".
std::string AllowedValues(int row, int16_t measuringRange);

// Why a stored value does not fit its row, or "" when it does. Rows that share register 2
// are checked on their own bits.
std::string ValueProblem(int row, const TPARAMVALUE& value, int16_t measuringRange);

// A value typed as the grid shows it (a number, hex digits, a pick-list entry, a text; rows
// 11 and 12 in whole percent) taken into `values` by the grid's rules, after the check.
// False with `problem` set (and `values` untouched) when the row refuses it.
bool TakeTypedValue(int row, const std::string& typed, TParamSet& values, int16_t measuringRange,
                    std::string& problem);

// The grid's commit of a cell (CommitCell), checked: a value that does not fit its row, or
// hex digits that are not hex digits, is refused like a value outside Min..Max (the set as it
// was, the cell showing the stored value again), with `problem` set. Rows 11 and 12 keep the
// grid's rule (the typed text is not used).
TCommitResult CommitCheckedCell(int row, const std::string& cell, TParamSet& values,
                                int16_t measuringRange, uint32_t runMode, std::string& problem);

struct TValueIssue {
  int Row = 0;
  std::string Value;    // as stored: decimal, or the text
  std::string Problem;  // ValueProblem
};

// Every row of `values` that does not fit its row, in row order.
std::vector<TValueIssue> ValuesOutsideRows(const TParamSet& values, int16_t measuringRange);

// "row 8 'Number of Averaged Values': 200: '200' is outside 1 to 128." (Windows-1251, the
// name without its leading blanks).
std::string IssueLine(const TValueIssue& issue);

}  // namespace karvo
