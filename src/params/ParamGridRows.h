// What the parameter grid shows and where its events go, so that the grid's view depends on
// the parameters alone and not on the window's session that implements it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "params/ParamTable.h"

namespace karvo {

// One row of the parameter grid as the window shows it.
struct TGridRow {
  std::string Key;    // the parameter's Name
  std::string Value;  // the value cell's text (Windows-1251 bytes)
  uint8_t EditStyle = esSimple;
  uint8_t MaxLength = 0;
  std::vector<std::string> PickList;
  std::string Hint;     // what the row takes (AllowedValues), Windows-1251
  std::string Refusal;  // why the value last typed was refused; empty once one is taken
  bool Edited = false;  // the working value differs from the one last read from the sensor
};

// The grid's owner: its rows (grid row r shows GridRows()[r - 1]), and its events, named
// after the grid's.
class TParamGridOwner {
 public:
  virtual ~TParamGridOwner() = default;

  virtual std::vector<TGridRow>& GridRows() = 0;
  virtual bool GridEnabled() const = 0;
  virtual uint8_t SelectedRow() const = 0;  // the parameter row whose cell is being edited

  virtual void ValueListEditorParamSelectCell(int newGridRow) = 0;
  virtual void ValueListEditorParamExit() = 0;
  virtual void ValueListEditorParamContextPopup() = 0;
  virtual void ValueListEditorParamEditButtonClick(int currentGridRow) = 0;
  // False when the typed character is discarded.
  virtual bool ValueListEditorParamKeyPress(char key) = 0;
  // What of pasted text (Windows-1251 bytes) goes into the selected row's cell, which holds
  // `lengthBefore` bytes once the selection is gone: the key filter's rule for each byte.
  virtual std::string FilterPaste(const std::string& bytes, size_t lengthBefore) {
    (void)lengthBefore;
    return bytes;
  }
};

}  // namespace karvo
