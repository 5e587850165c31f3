#include "params/ParamGrid.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace karvo {

namespace {

std::vector<std::string> Counted(int first, int count, int step) {
  std::vector<std::string> items;
  items.reserve(count);
  for (int k = 0; k < count; ++k) items.push_back(std::to_string(first + k * step));
  return items;
}

bool Has(const std::vector<std::string>& items, const std::string& s) {
  return std::find(items.begin(), items.end(), s) != items.end();
}

// Values are kept unsigned but shown signed, as the parameter file writes them.
int64_t Signed(uint32_t value) {
  return static_cast<int32_t>(value);
}

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

bool IsWithin(const TPARAMETR& p, int64_t n) {
  return n >= p.Min && n <= Highest(p);
}

// The text the grid itself wrote for the value in force; committing it must change nothing.
bool ShowsStored(int row, const std::string& cell, const TPARAMVALUE& value, int16_t measuringRange,
                 uint32_t runMode) {
  if (row == ROW_MODE_OF_RUN) return cell == RunModeName(runMode);
  if (row == ROW_ZERO_POINT && cell == ZeroPointRefusedText(value.Value)) return true;
  return cell == GridCellText(row, value, measuringRange);
}

}  // namespace

int64_t Highest(const TPARAMETR& p) {
  const int64_t registers = p.Size >= 4 ? int64_t{UINT32_MAX} : (int64_t{1} << (8 * p.Size)) - 1;
  return std::min<int64_t>(p.Max, registers);
}

int DivisorOf(int row) {
  switch (row) {
    case ROW_BAUD:
      return 2400;
    case ROW_LOCK_TIME:
      return 5;
    case ROW_CAN_BAUD:
      return 5000;
    default:
      return 1;
  }
}

std::vector<std::string> GridPickList(int row, int16_t measuringRange) {
  switch (row) {
    case ROW_SENSOR_ON:
    case ROW_ANALOG_ON:
    case ROW_CAN_ON:
      return SplitPickList(PICK_OFF_ON);
    case ROW_BAUD:
      return SplitPickList(PICK_BAUD);
    case ROW_ADDRESS:
      return Counted(1, 127, 1);
    case ROW_SAMPLE_CONTROL:
      return SplitPickList(PICK_SAMPLE_CONTROL);
    case ROW_AL_CONTROL:
      return SplitPickList(PICK_AL_CONTROL);
    case ROW_WINDOW_CONTROL:
      return SplitPickList(PICK_WINDOW_CONTROL);
    case ROW_LASER: {
      const char* const* list = LaserLevels(measuringRange);
      return std::vector<std::string>(list, list + 32);
    }
    case ROW_AVERAGED:
      return Counted(1, 128, 1);
    case ROW_LOCK_TIME:
      return Counted(0, 256, 5);
    case ROW_CAN_BAUD:
      return SplitPickList(PICK_CAN_BAUD);
    case ROW_CAN_ID_TYPE:
      return SplitPickList(PICK_CAN_ID_TYPE);
    case ROW_CAN_MODE:
      return SplitPickList(PICK_CAN_MODE);
    case ROW_MODE_OF_RUN:
      return SplitPickList(PICK_MODE_OF_RUN);
    default:
      return {};
  }
}

std::string GridCellText(int row, const TPARAMVALUE& value, int16_t measuringRange) {
  const TPARAMETR& p = ParamTable[row];
  const uint32_t v = value.Value;
  switch (row) {
    case ROW_SENSOR_ON:
    case ROW_ANALOG_ON:
    case ROW_CAN_ON:
      return v != 0 ? "On" : "Off";
    case ROW_BAUD:
    case ROW_LOCK_TIME:
    case ROW_CAN_BAUD:
      return std::to_string(Signed(v) * DivisorOf(row));
    case ROW_SAMPLE_CONTROL:
      return (v & MODE_TRIGGER) != 0 ? "Trigger" : "Time";
    case ROW_AL_CONTROL:
      return (v & MODE_MUTUAL_SYNCH) != 0 ? "Mutual_Synch" : "Out_of_Range";
    case ROW_WINDOW_CONTROL:
      return (v & MODE_FULL_RANGE) != 0 ? "Full" : "Window";
    case ROW_LASER:
      // The lists end at 31; a level beyond, from a sensor or a file, shows as its number.
      return v < 32 ? LaserLevels(measuringRange)[v] : std::to_string(Signed(v));
    case ROW_WINDOW_BEGIN:
    case ROW_WINDOW_END:
      return std::to_string(WholePercent(v));
    case ROW_ZERO_POINT:
      return std::to_string(Signed(v) * 1000 / 16384);
    case ROW_CAN_STD_ID:
    case ROW_CAN_EXT_ID:
      return Hex(v, p.MaxLength);
    case ROW_CAN_ID_TYPE:
      return v != 0 ? "Extended" : "Standard";
    case ROW_CAN_MODE:
      if ((v & MODE_CAN_ACTIVE) == 0) return "Remote";
      return (v & MODE_TRIGGER) != 0 ? "Trigger" : "Cotinuous";
    case ROW_MODE_OF_RUN:
      return RunModeName(RunModeOfRegister(v));
    default:
      return p.Kind == KIND_TEXT ? value.Text : std::to_string(Signed(v));
  }
}

int64_t WholePercent(uint32_t value) {
  return static_cast<int64_t>(value * 100.0 * (1.0 / 16384) + 0.5);
}

uint32_t PercentToWindowValue(int32_t percent) {
  const int32_t p = std::clamp(percent, 0, 100);
  return static_cast<uint32_t>(p * 16384 * 0.01 + 0.5);
}

std::string ZeroPointRefusedText(uint32_t value) {
  const double shown = std::trunc(Signed(value) * 1000 * (1.0 / 16384) + 0.5);
  return std::to_string(static_cast<int16_t>(static_cast<int32_t>(shown)));
}

uint32_t RunModeOfRegister(uint32_t registerValue) {
  switch (registerValue & 3) {
    case 1:
      return RUN_NONLINE;
    case 3:
      return RUN_TEMPERATURE;
    default:
      return RUN_LINE;
  }
}

uint32_t RegisterOfRunMode(uint32_t runMode) {
  if (runMode == RUN_NONLINE) return 1;
  if (runMode == RUN_TEMPERATURE) return 3;
  return 0;
}

std::string RunModeName(uint32_t runMode) {
  const std::vector<std::string> names = SplitPickList(PICK_MODE_OF_RUN);
  return runMode < names.size() ? names[runMode] : "";
}

std::string RunModeLabelRast(uint32_t runMode) {
  switch (runMode) {
    case RUN_LINE:
      return LABEL_RAST_MM;
    case RUN_NONLINE:
      return "0 px";
    case RUN_TEMPERATURE:
      return "0 cl";
    default:
      return " ";
  }
}

bool RunModeStreams(uint32_t runMode) {
  return runMode <= RUN_TEMPERATURE;
}

uint32_t MergeModeRegister(int row, const std::string& choice, uint32_t b) {
  // Clearing goes through the byte, so it also drops anything above bit 7.
  const auto set = [&b](uint32_t mask) { b |= mask; };
  const auto clear = [&b](uint32_t mask) { b &= 0xFFu & ~mask; };
  switch (row) {
    case ROW_SAMPLE_CONTROL:
      choice == "Time" ? clear(MODE_TRIGGER) : set(MODE_TRIGGER);
      break;
    case ROW_CAN_MODE:
      choice == "Remote" ? clear(MODE_CAN_ACTIVE) : set(MODE_CAN_ACTIVE);
      if (choice == "Cotinuous") clear(MODE_TRIGGER);
      if (choice == "Trigger") set(MODE_TRIGGER);
      break;
    case ROW_AL_CONTROL:
      choice == "Out_of_Range" ? clear(MODE_MUTUAL_SYNCH) : set(MODE_MUTUAL_SYNCH);
      break;
    case ROW_WINDOW_CONTROL:
      choice == "Window" ? clear(MODE_FULL_RANGE) : set(MODE_FULL_RANGE);
      break;
    default:
      break;
  }
  if ((b & (MODE_TRIGGER | MODE_MUTUAL_SYNCH)) == (MODE_TRIGGER | MODE_MUTUAL_SYNCH)) {
    set(MODE_TRIGGER_SYNCH);
  }
  return b;
}

TCommitResult CommitCell(int row, const std::string& cell, TParamSet& values,
                         int16_t measuringRange, uint32_t runMode) {
  TCommitResult r;
  if (row < 0 || row >= PARAM_COUNT) return r;
  const TPARAMETR& p = ParamTable[row];
  TPARAMVALUE& value = values[row];

  const auto refuse = [&](std::string shown) {
    r.Outcome = TCommit::Refused;
    r.Cells.emplace_back(row, std::move(shown));
    return r;
  };
  const auto store = [&](uint32_t v) {
    value.Value = v;
    r.Outcome = TCommit::Stored;
    return r;
  };
  const auto notInteger = [&] {
    r.Outcome = TCommit::NotInteger;
    r.BadText = cell;
    return r;
  };

  // The window rows take nothing from the text: leaving them only pulls the value into range.
  if (row == ROW_WINDOW_BEGIN || row == ROW_WINDOW_END) {
    const uint32_t clamped = std::clamp(value.Value, p.Min, p.Max);
    if (clamped != value.Value) store(clamped);
    r.Cells.emplace_back(row, std::to_string(WholePercent(value.Value)));
    return r;
  }
  if (ShowsStored(row, cell, value, measuringRange, runMode)) return r;

  switch (row) {
    case ROW_SENSOR_ON:
    case ROW_ANALOG_ON:
    case ROW_CAN_ON:
    case ROW_CAN_ID_TYPE: {
      // Only the list's own texts mean anything here; a typed "0" must not switch a thing on.
      const std::vector<std::string> items = GridPickList(row, measuringRange);
      if (cell == items[0]) return store(0);
      if (cell == items[1]) return store(1);
      return refuse(GridCellText(row, value, measuringRange));
    }
    case ROW_BAUD:
    case ROW_ADDRESS:
    case ROW_AVERAGED:
    case ROW_LOCK_TIME:
    case ROW_CAN_BAUD: {
      int32_t n;
      if (!StrToInt(cell, n)) return notInteger();
      // Out-of-range values would leave the sensor at an address or rate nobody can reach.
      const int64_t held = n / DivisorOf(row);
      if (!IsWithin(p, held)) return refuse(GridCellText(row, value, measuringRange));
      return store(static_cast<uint32_t>(held));
    }
    case ROW_SAMPLE_CONTROL:
    case ROW_AL_CONTROL:
    case ROW_WINDOW_CONTROL:
    case ROW_CAN_MODE: {
      if (!Has(GridPickList(row, measuringRange), cell)) {
        return refuse(GridCellText(row, value, measuringRange));
      }
      const uint32_t b =
          MergeModeRegister(row, cell,
                            values[ROW_SAMPLE_CONTROL].Value | values[ROW_CAN_MODE].Value |
                                values[ROW_AL_CONTROL].Value | values[ROW_WINDOW_CONTROL].Value);
      for (int shared : {ROW_SAMPLE_CONTROL, ROW_CAN_MODE, ROW_AL_CONTROL, ROW_WINDOW_CONTROL}) {
        values[shared].Value = b;
      }
      r.Outcome = TCommit::Stored;
      // Both show bit 0, which any of the four edits may have changed.
      r.Cells.emplace_back(ROW_SAMPLE_CONTROL,
                           GridCellText(ROW_SAMPLE_CONTROL, values[ROW_SAMPLE_CONTROL], 0));
      r.Cells.emplace_back(ROW_CAN_MODE, GridCellText(ROW_CAN_MODE, values[ROW_CAN_MODE], 0));
      return r;
    }
    case ROW_LASER: {
      const std::vector<std::string> items = GridPickList(row, measuringRange);
      const auto it = std::find(items.begin(), items.end(), cell);
      if (it != items.end()) return store(static_cast<uint32_t>(it - items.begin()));
      // A typed level, or an entry of the other list, names its level by its number.
      int32_t n;
      if (!StrToInt(cell.substr(0, cell.find(' ')), n) || !IsWithin(p, n)) {
        return refuse(GridCellText(row, value, measuringRange));
      }
      store(static_cast<uint32_t>(n));
      r.Cells.emplace_back(row, GridCellText(row, value, measuringRange));
      return r;
    }
    case ROW_ZERO_POINT: {
      if (cell.empty()) return refuse(ZeroPointRefusedText(value.Value));
      int32_t n;
      if (!StrToInt(cell, n)) return notInteger();
      const int64_t m = int64_t{n} * 16384 / 1000;
      if (m < p.Min || m > p.Max) return refuse(ZeroPointRefusedText(value.Value));
      return store(static_cast<uint32_t>((int64_t{n} * 16384 + 500) / 1000));
    }
    case ROW_CAN_STD_ID:
    case ROW_CAN_EXT_ID: {
      uint64_t h = 0;
      bool tooWide = false;
      for (char c : cell) {
        h = h * 16 + static_cast<uint64_t>(HexDigitValue(c));
        if (h > UINT32_MAX) {
          tooWide = true;
          h &= UINT32_MAX;
        }
      }
      if (!tooWide && h <= p.Max) {
        store(static_cast<uint32_t>(h));
      } else {
        r.Outcome = TCommit::Refused;
      }
      r.Cells.emplace_back(row, GridCellText(row, value, measuringRange));
      return r;
    }
    case ROW_MODE_OF_RUN: {
      const std::vector<std::string> names = GridPickList(row, measuringRange);
      const auto it = std::find(names.begin(), names.end(), cell);
      if (it == names.end()) return refuse(RunModeName(runMode));
      r.RunMode = static_cast<uint32_t>(it - names.begin());
      return store(RegisterOfRunMode(r.RunMode));
    }
    default:
      break;
  }

  if (p.Kind == KIND_TEXT) {
    value.Text = cell;
    r.Outcome = TCommit::Stored;
    return r;
  }
  // Plain numbers with limits.
  if (cell.empty()) return refuse(GridCellText(row, value, measuringRange));
  int32_t n;
  if (!StrToInt(cell, n)) return notInteger();
  if (!IsWithin(p, n)) return refuse(GridCellText(row, value, measuringRange));
  return store(static_cast<uint32_t>(n));
}

bool KeyAccepted(uint8_t kind, uint8_t maxLength, char key, size_t currentLength) {
  if (key == KEY_BACKSPACE) return true;
  const bool digit = key >= '0' && key <= '9';
  const bool hexLetter = (key >= 'a' && key <= 'f') || (key >= 'A' && key <= 'F');
  bool passes;
  switch (kind) {
    case KIND_DEC:
      passes = digit;
      break;
    case KIND_HEX:
      passes = digit || hexLetter;
      break;
    default:
      passes = true;
      break;
  }
  return passes && currentLength < maxLength;
}

}  // namespace karvo
