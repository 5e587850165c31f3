// The window's own copy of the parameter grid. It answers what the operator does in a cell at
// once, on the window's thread, with the grid's pure rules on its copy of the rows (the key
// filter, the integer check, a refused value and why), and hands each committed text and each
// selected row to the session as an event, in order. The session's updates replace the copy.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/Operator.h"
#include "app/ViewUpdate.h"
#include "params/ParamGridRows.h"

namespace karvo {

class TGridMirror : public TParamGridOwner {
 public:
  using Event = std::function<void(TSession&)>;

  // `person` answers on the window's thread (beeps, the integer check's box); `send` hands an
  // event to the session.
  TGridMirror(TOperator& person, std::function<void(Event)> send);

  // The session's rows and what the checks need, as an update brings them.
  void Take(const TViewUpdate& update);

  // Called with the reason of a refused value, and with "" at the next edit.
  std::function<void(const std::string&)> ShowReason;
  // Asks for the range window on the session's side after the cell was committed.
  std::function<void(int gridRow)> EditButton;

  std::vector<TGridRow>& GridRows() override { return rows_; }
  bool GridEnabled() const override { return enabled_; }
  uint8_t SelectedRow() const override { return selected_; }
  void ValueListEditorParamSelectCell(int newGridRow) override;
  void ValueListEditorParamExit() override;
  void ValueListEditorParamContextPopup() override;
  void ValueListEditorParamEditButtonClick(int currentGridRow) override;
  bool ValueListEditorParamKeyPress(char key) override;
  std::string FilterPaste(const std::string& bytes, size_t lengthBefore) override;

 private:
  bool HasRow(int row) const;
  // False when the text is no integer: the box has been shown and the row stays.
  bool Commit();

  TOperator& person_;
  std::function<void(Event)> send_;
  std::vector<TGridRow> rows_;
  std::vector<std::string> sessionText_;  // each cell's text as the session last had it
  TParamSet working_;
  int16_t range_ = 0;
  uint32_t runMode_ = RUN_LINE;
  bool enabled_ = true;
  uint8_t selected_ = 0;
};

}  // namespace karvo
