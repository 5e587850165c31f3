#include "params/ValueCheck.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "params/ParamGrid.h"

namespace karvo {

namespace {

// Bits of register 2 that mean something (sampling, output range, signal, trigger synch, CAN).
constexpr uint32_t MODE_BITS = 0x1F;
// The run mode register: the sensor reads its two low bits.
constexpr uint32_t RUN_MODE_REGISTER_MAX = 3;
constexpr int32_t PERCENT_MAX = 100;

bool HasRow(int row) {
  return row >= 0 && row < PARAM_COUNT;
}

int64_t Signed(uint32_t value) {
  return static_cast<int32_t>(value);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

bool IsModeRegisterRow(int row) {
  return row == ROW_SAMPLE_CONTROL || row == ROW_AL_CONTROL || row == ROW_WINDOW_CONTROL ||
         row == ROW_CAN_MODE;
}

// Rows whose list is fixed texts: a typed value is one of them or nothing.
bool IsNamedList(int row) {
  switch (row) {
    case ROW_SENSOR_ON:
    case ROW_ANALOG_ON:
    case ROW_BAUD:
    case ROW_CAN_ON:
    case ROW_CAN_BAUD:
    case ROW_CAN_ID_TYPE:
    case ROW_MODE_OF_RUN:
      return true;
    default:
      return IsModeRegisterRow(row);
  }
}

std::string Quoted(const std::string& text) {
  return "'" + text + "' ";
}

// Why a typed text does not fit the row, for texts the grid's own rules refused.
std::string TypedProblem(int row, const std::string& typed, int16_t measuringRange) {
  const std::string allowed = AllowedValues(row, measuringRange);
  if (ParamTable[row].Kind == KIND_TEXT) {
    return Quoted(typed) + "is longer than " + std::to_string(ParamTable[row].Size) +
           " characters.";
  }
  return Quoted(typed) + (IsNamedList(row) ? "is not one of " : "is outside ") + allowed + ".";
}

// The hex rows take hex digits only: a stray character would count as a zero digit.
std::string HexProblem(int row, const std::string& typed) {
  const TPARAMETR& p = ParamTable[row];
  const bool digitsOnly = !typed.empty() && std::all_of(typed.begin(), typed.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  });
  if (!digitsOnly) return Quoted(typed) + "is not a hex number.";
  if (typed.size() > p.MaxLength) {
    return Quoted(typed) + "has more than " + std::to_string(p.MaxLength) + " hex digits.";
  }
  return "";
}

}  // namespace

std::string AllowedValues(int row, int16_t measuringRange) {
  if (!HasRow(row)) return "";
  const TPARAMETR& p = ParamTable[row];
  switch (row) {
    case ROW_LASER: {
      const char* const* levels = LaserLevels(measuringRange);
      return std::string(levels[0]) + " to " + levels[31];
    }
    case ROW_ADDRESS:
    case ROW_AVERAGED:
      return std::to_string(p.Min) + " to " + std::to_string(p.Max);
    case ROW_LOCK_TIME:
      return "0 to " + std::to_string(Highest(p) * DivisorOf(row)) + " in steps of 5";
    case ROW_WINDOW_BEGIN:
    case ROW_WINDOW_END:
      return "0 to 100 %";
    case ROW_ZERO_POINT:
      return "0 to " + GridCellText(row, TPARAMVALUE{"", p.Max}, measuringRange);
    case ROW_CAN_STD_ID:
    case ROW_CAN_EXT_ID:
      return "hex " + Hex(p.Min) + " to " + Hex(p.Max);
    default:
      break;
  }
  if (IsNamedList(row)) return Joined(GridPickList(row, measuringRange));
  if (p.Kind == KIND_TEXT) return "at most " + std::to_string(p.Size) + " characters";
  return std::to_string(p.Min) + " to " + std::to_string(Highest(p));
}

std::string ValueProblem(int row, const TPARAMVALUE& value, int16_t measuringRange) {
  if (!HasRow(row)) return "There is no row " + std::to_string(row) + ".";
  const TPARAMETR& p = ParamTable[row];
  const uint32_t v = value.Value;
  const std::string stored = Quoted(std::to_string(Signed(v)));
  switch (row) {
    case ROW_SENSOR_ON:
    case ROW_ANALOG_ON:
    case ROW_CAN_ON:
    case ROW_CAN_ID_TYPE: {
      if (v <= 1) return "";
      const std::vector<std::string> items = GridPickList(row, measuringRange);
      return stored + "is not 0 (" + items[0] + ") or 1 (" + items[1] + ").";
    }
    case ROW_BAUD:
    case ROW_CAN_BAUD: {
      // Shown as a rate: rates between the list's entries are the ones that go wrong.
      const std::string rate = std::to_string(Signed(v) * DivisorOf(row));
      const std::vector<std::string> items = GridPickList(row, measuringRange);
      if (std::find(items.begin(), items.end(), rate) != items.end()) return "";
      return Quoted(rate) + "is not one of " + Joined(items) + ".";
    }
    case ROW_LOCK_TIME:
      if (v <= Highest(p)) return "";
      return Quoted(std::to_string(Signed(v) * DivisorOf(row))) + "is outside " +
             AllowedValues(row, measuringRange) + ".";
    case ROW_WINDOW_BEGIN:
    case ROW_WINDOW_END:
      if (v <= p.Max) return "";
      return stored + "is outside 0 to " + std::to_string(p.Max) + " (100 %).";
    case ROW_ZERO_POINT:
      // Judged on the stored value: the shown one is rounded and hides the difference.
      if (v <= Highest(p)) return "";
      return stored + "is outside 0 to " + std::to_string(Highest(p)) + ".";
    case ROW_CAN_STD_ID:
    case ROW_CAN_EXT_ID:
      if (v <= p.Max) return "";
      return Quoted(Hex(v)) + "is outside " + AllowedValues(row, measuringRange) + ".";
    case ROW_MODE_OF_RUN:
      if (v <= RUN_MODE_REGISTER_MAX) return "";
      return stored + "is outside 0 to 3, the run mode register's values.";
    default:
      break;
  }
  if (IsModeRegisterRow(row)) {
    if ((v & ~MODE_BITS) == 0) return "";
    return stored + "sets bits of register 2 above bit 4.";
  }
  if (p.Kind == KIND_TEXT) {
    if (value.Text.size() <= p.Size) return "";
    return Quoted(value.Text) + "is longer than " + std::to_string(p.Size) + " characters.";
  }
  if (v >= p.Min && v <= Highest(p)) return "";
  return stored + "is outside " + std::to_string(p.Min) + " to " + std::to_string(Highest(p)) + ".";
}

TCommitResult CommitCheckedCell(int row, const std::string& cell, TParamSet& values,
                                int16_t measuringRange, uint32_t runMode, std::string& problem) {
  problem.clear();
  TCommitResult r;
  if (!HasRow(row)) return r;
  if (row == ROW_CAN_STD_ID || row == ROW_CAN_EXT_ID) problem = HexProblem(row, cell);
  TParamSet copy = values;
  if (problem.empty()) {
    r = CommitCell(row, cell, copy, measuringRange, runMode);
    if (r.Outcome == TCommit::Refused) problem = TypedProblem(row, cell, measuringRange);
    if (r.Outcome != TCommit::Stored) return r;
    problem = ValueProblem(row, copy[row], measuringRange);
    if (problem.empty()) {
      values = copy;
      return r;
    }
    // Bits of register 2 the entry did not set speak for themselves; elsewhere the operator's
    // own text is named.
    if (!IsModeRegisterRow(row)) problem = TypedProblem(row, cell, measuringRange);
  }
  r = TCommitResult{};
  r.Outcome = TCommit::Refused;
  std::string shown = GridCellText(row, values[row], measuringRange);
  if (row == ROW_MODE_OF_RUN) shown = RunModeName(runMode);
  if (row == ROW_ZERO_POINT) shown = ZeroPointRefusedText(values[row].Value);
  r.Cells.emplace_back(row, shown);
  return r;
}

bool TakeTypedValue(int row, const std::string& typed, TParamSet& values, int16_t measuringRange,
                    std::string& problem) {
  problem.clear();
  if (!HasRow(row)) {
    problem = ValueProblem(row, TPARAMVALUE{}, measuringRange);
    return false;
  }
  TParamSet copy = values;
  if (row == ROW_WINDOW_BEGIN || row == ROW_WINDOW_END) {
    // The grid takes these from the range window in whole percent; typed, they are percent too.
    int32_t percent;
    if (!StrToInt(typed, percent)) {
      problem = NotValidIntegerMessage(typed);
    } else if (percent < 0 || percent > PERCENT_MAX) {
      problem = TypedProblem(row, typed, measuringRange);
    } else {
      copy[row].Value = PercentToWindowValue(percent);
    }
  } else {
    // No run mode is in force here, so a mode name is always taken anew; an empty one is none.
    const TCommitResult r =
        CommitCheckedCell(row, typed, copy, measuringRange, UINT32_MAX, problem);
    if (r.Outcome == TCommit::NotInteger) problem = NotValidIntegerMessage(typed);
    if (row == ROW_MODE_OF_RUN && typed.empty()) problem = TypedProblem(row, typed, measuringRange);
  }
  // A typed text that shows the stored value leaves it as it is: it must fit all the same.
  if (problem.empty()) problem = ValueProblem(row, copy[row], measuringRange);
  if (!problem.empty()) return false;
  values = copy;
  return true;
}

std::vector<TValueIssue> ValuesOutsideRows(const TParamSet& values, int16_t measuringRange) {
  std::vector<TValueIssue> issues;
  for (int row = 0; row < PARAM_COUNT; ++row) {
    std::string problem = ValueProblem(row, values[row], measuringRange);
    if (problem.empty()) continue;
    const std::string shown = ParamTable[row].Kind == KIND_TEXT
                                  ? values[row].Text
                                  : std::to_string(Signed(values[row].Value));
    issues.push_back({row, shown, std::move(problem)});
  }
  return issues;
}

std::string IssueLine(const TValueIssue& issue) {
  std::string name = ParamTable[issue.Row].Name;
  name.erase(0, name.find_first_not_of(' '));
  return "row " + std::to_string(issue.Row) + " '" + name + "': " + issue.Value + ": " +
         issue.Problem;
}

}  // namespace karvo
