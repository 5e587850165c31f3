#include "app/GridMirror.h"

#include "params/ParamGrid.h"
#include "params/ValueCheck.h"

namespace karvo {

TGridMirror::TGridMirror(TOperator& person, std::function<void(Event)> send)
    : person_(person), send_(std::move(send)) {}

void TGridMirror::Take(const TViewUpdate& update) {
  rows_ = update.View.Grid;
  sessionText_.resize(rows_.size());
  for (size_t i = 0; i < rows_.size(); ++i) sessionText_[i] = rows_[i].Value;
  enabled_ = update.View.GridEnabled;
  working_ = update.Working;
  range_ = update.MeasuringRange;
  runMode_ = update.RunMode;
}

bool TGridMirror::HasRow(int row) const {
  return row >= 0 && row < PARAM_COUNT && static_cast<size_t>(row) < rows_.size();
}

bool TGridMirror::Commit() {
  const int row = selected_;
  if (!HasRow(row)) return true;
  const std::string text = rows_[row].Value;
  // A cell the operator left as the session has it commits nothing.
  if (text == sessionText_[row]) return true;
  std::string problem;
  const TCommitResult r = CommitCheckedCell(row, text, working_, range_, runMode_, problem);
  if (r.Outcome == TCommit::NotInteger) {
    person_.Message(NotValidIntegerMessage(r.BadText), CAPTION, TIcon::Stop);
    return false;
  }
  rows_[row].Refusal = problem;
  for (const auto& [shown, cell] : r.Cells) rows_[shown].Value = cell;
  if (row == ROW_MODE_OF_RUN && r.Outcome == TCommit::Stored) runMode_ = r.RunMode;
  sessionText_[row] = rows_[row].Value;
  if (ShowReason) ShowReason(problem);
  send_([row, text](TSession& s) { s.CommitCell(row, text); });
  return true;
}

void TGridMirror::ValueListEditorParamSelectCell(int newGridRow) {
  if (!Commit()) return;
  selected_ = newGridRow >= 1 && newGridRow <= PARAM_COUNT ? static_cast<uint8_t>(newGridRow - 1)
                                                           : uint8_t{0xFF};
  send_([row = int{selected_}](TSession& s) { s.SelectRow(row); });
}

void TGridMirror::ValueListEditorParamExit() {
  Commit();
}

void TGridMirror::ValueListEditorParamContextPopup() {
  Commit();
}

void TGridMirror::ValueListEditorParamEditButtonClick(int currentGridRow) {
  if (currentGridRow != ROW_WINDOW_BEGIN + 1 && currentGridRow != ROW_WINDOW_END + 1) return;
  if (!Commit()) return;
  send_([currentGridRow](TSession& s) { s.ValueListEditorParamEditButtonClick(currentGridRow); });
}

bool TGridMirror::ValueListEditorParamKeyPress(char key) {
  if (ShowReason) ShowReason("");
  if (!HasRow(selected_)) return true;
  const TPARAMETR& p = ParamTable[selected_];
  if (KeyAccepted(p.Kind, p.MaxLength, key, rows_[selected_].Value.size())) return true;
  person_.Beep();
  return false;
}

std::string TGridMirror::FilterPaste(const std::string& bytes, size_t lengthBefore) {
  if (ShowReason) ShowReason("");
  if (!HasRow(selected_)) return bytes;
  const TPARAMETR& p = ParamTable[selected_];
  std::string taken;
  for (const char c : bytes) {
    if (c == '\r' || c == '\n') break;  // a pasted line ends the cell's text
    if (KeyAccepted(p.Kind, p.MaxLength, c, lengthBefore + taken.size())) taken += c;
  }
  if (taken.size() != bytes.size()) person_.Beep();
  return taken;
}

}  // namespace karvo
