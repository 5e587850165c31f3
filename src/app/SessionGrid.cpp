// The parameter grid's events: the rules live in params/ParamGrid; here they meet the
// window's grid rows, the run mode and the buttons it governs.
#include <algorithm>

#include "app/Session.h"
#include "params/ParamGrid.h"
#include "params/ValueCheck.h"

namespace karvo {

namespace {

bool HasRow(const TSession& s, int row) {
  return row >= 0 && row < PARAM_COUNT && static_cast<size_t>(row) < s.View.Grid.size();
}

void TakeRunMode(TSession& s, uint32_t runMode) {
  s.RunMode = runMode;
  s.View.LabelRast = RunModeLabelRast(runMode);
  // A stream must stay stoppable and must never meet a measure run on the link, and without a
  // sensor there is nothing to measure: the buttons follow the mode only when idle and online.
  const bool connected = s.View.ButtonConnectTag == 1;
  const bool running = s.View.ButtonMeasureTag != 0;
  if (!connected || running || s.StreamActive) return;
  s.View.ButtonMeasureEnabled = true;
  s.View.ButtonMeasureCaption = "Measure";
  s.View.ButtonStreamEnabled = RunModeStreams(runMode);
  s.View.ButtonZeroEnabled = RunModeStreams(runMode);
}

// What "Load" would change: a text row by its text, the others by their number.
void MarkEditedRows(TSession& s) {
  for (int i = 0; i < PARAM_COUNT && static_cast<size_t>(i) < s.View.Grid.size(); ++i) {
    const TPARAMVALUE& working = s.ParamWrite[i];
    const TPARAMVALUE& read = s.ParamInSensor[i];
    s.View.Grid[i].Edited =
        ParamTable[i].Kind == KIND_TEXT ? working.Text != read.Text : working.Value != read.Value;
  }
}

// False when the cell's text failed the integer conversion: the error has been shown and the
// cell, the value and SelParam stay as they are. A value that does not fit its row never
// reaches ParamWrite: the cell shows the stored value again and the row says why.
bool Commit(TSession& s) {
  const int row = s.SelParam;
  if (!HasRow(s, row)) return true;
  std::string problem;
  const TCommitResult r = CommitCheckedCell(row, s.View.Grid[row].Value, s.ParamWrite,
                                            s.MeasuringRange(), s.RunMode, problem);
  if (r.Outcome == TCommit::NotInteger) {
    s.Person.Message(NotValidIntegerMessage(r.BadText), CAPTION, TIcon::Stop);
    return false;
  }
  s.View.Grid[row].Refusal = problem;
  for (const auto& [shown, text] : r.Cells) s.View.Grid[shown].Value = text;
  if (row == ROW_MODE_OF_RUN && r.Outcome == TCommit::Stored) TakeRunMode(s, r.RunMode);
  MarkEditedRows(s);
  return true;
}

int32_t WindowPercent(const TSession& s, int row) {
  int32_t percent;
  if (StrToInt(s.View.Grid[row].Value, percent)) return percent;
  // The cell normally holds the whole percent; should it not, the stored value says it.
  return static_cast<int32_t>(std::min<int64_t>(WholePercent(s.ParamWrite[row].Value), 100));
}

}  // namespace

void TSession::FillParamGrid() {
  for (int i = 0; i < PARAM_COUNT; ++i) {
    const TPARAMETR& p = ParamTable[i];
    if (View.Grid.size() <= static_cast<size_t>(i)) {
      TGridRow row;
      row.Key = p.Name;
      row.EditStyle = p.EditStyle;
      row.MaxLength = p.MaxLength;
      View.Grid.push_back(std::move(row));
    }
    TGridRow& row = View.Grid[i];
    row.Value = GridCellText(i, ParamWrite[i], MeasuringRange());
    row.PickList = GridPickList(i, MeasuringRange());
    row.Hint = AllowedValues(i, MeasuringRange());
    row.Refusal.clear();
  }
  // The register knows only the sensor's output mode; a loop mode chosen earlier gives way.
  const uint32_t mode = ParamWrite[ROW_MODE_OF_RUN].Value & 3;
  RunMode = RunModeOfRegister(mode);
  View.LabelRast = RunModeLabelRast(RunMode);
  ParamWrite[ROW_MODE_OF_RUN].Value = mode;
  ParamRead[ROW_MODE_OF_RUN].Value = mode;
  ParamInSensor[ROW_MODE_OF_RUN].Value = mode;
  MarkEditedRows(*this);
}

void TSession::CommitParamEdit() {
  Commit(*this);
}

void TSession::ValueListEditorParamSelectCell(int newGridRow) {
  if (!Commit(*this)) return;
  SelParam = (newGridRow >= 1 && newGridRow <= PARAM_COUNT) ? static_cast<uint8_t>(newGridRow - 1)
                                                            : uint8_t{0xFF};
}

void TSession::CommitCell(int row, const std::string& text) {
  if (!HasRow(*this, row)) return;
  SelParam = static_cast<uint8_t>(row);
  View.Grid[row].Value = text;
  Commit(*this);
}

void TSession::SelectRow(int row) {
  SelParam = row >= 0 && row < PARAM_COUNT ? static_cast<uint8_t>(row) : uint8_t{0xFF};
}

void TSession::ValueListEditorParamExit() {
  Commit(*this);
}

void TSession::ValueListEditorParamContextPopup() {
  Commit(*this);
}

void TSession::ValueListEditorParamEditButtonClick(int currentGridRow) {
  if (currentGridRow != ROW_WINDOW_BEGIN + 1 && currentGridRow != ROW_WINDOW_END + 1) return;
  if (!Commit(*this)) return;
  if (!HasRow(*this, ROW_WINDOW_END)) return;
  int32_t windowBegin = WindowPercent(*this, ROW_WINDOW_BEGIN);
  int32_t windowEnd = WindowPercent(*this, ROW_WINDOW_END);
  Person.EditRange(windowBegin, windowEnd);
  // The window keeps dragged values within the scale; values it was handed and gave back
  // untouched are held to it here.
  windowBegin = std::clamp(windowBegin, 0, 100);
  windowEnd = std::clamp(windowEnd, 0, 100);
  View.Grid[ROW_WINDOW_BEGIN].Value = std::to_string(windowBegin);
  View.Grid[ROW_WINDOW_END].Value = std::to_string(windowEnd);
  ParamWrite[ROW_WINDOW_BEGIN].Value = PercentToWindowValue(windowBegin);
  ParamWrite[ROW_WINDOW_END].Value = PercentToWindowValue(windowEnd);
  MarkEditedRows(*this);
}

bool TSession::ValueListEditorParamKeyPress(char key) {
  if (!HasRow(*this, SelParam)) return true;
  const TPARAMETR& p = ParamTable[SelParam];
  if (KeyAccepted(p.Kind, p.MaxLength, key, View.Grid[SelParam].Value.size())) return true;
  Person.Beep();
  return false;
}

std::string TSession::DisplayText(int row) const {
  if (row < 0 || row >= PARAM_COUNT) return "";
  return GridCellText(row, ParamWrite[row], MeasuringRange());
}

}  // namespace karvo
