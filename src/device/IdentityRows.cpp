#include "device/IdentityRows.h"

namespace karvo::device {

namespace {

std::string Shown(int row, const TPARAMVALUE& v) {
  return ParamTable[row].Kind == KIND_TEXT ? Cp1251ToUtf8(v.Text)
                                           : std::to_string(static_cast<int32_t>(v.Value));
}

std::string NameOf(int row) {
  const std::string name = Cp1251ToUtf8(ParamTable[row].Name);
  const size_t first = name.find_first_not_of(" _");
  return first == std::string::npos ? name : name.substr(first);
}

}  // namespace

const std::vector<int>& IdentityRows() {
  static const std::vector<int> rows = {ROW_DEVICE_TYPE, ROW_SERIAL, ROW_BASE, ROW_RANGE};
  return rows;
}

std::vector<int> DifferingIdentityRows(const TParamSet& loaded, const TParamSet& held) {
  std::vector<int> rows;
  for (int row : IdentityRows()) {
    const bool text = ParamTable[row].Kind == KIND_TEXT;
    if (text ? loaded[row].Text != held[row].Text : loaded[row].Value != held[row].Value)
      rows.push_back(row);
  }
  return rows;
}

void KeepIdentityRows(TParamSet& loaded, const TParamSet& held) {
  for (int row : IdentityRows()) loaded[row] = held[row];
}

std::string IdentityRowsText(const std::vector<int>& rows, const TParamSet& loaded,
                             const TParamSet& held) {
  std::string text;
  for (int row : rows) {
    if (!text.empty()) text += ", ";
    text += NameOf(row) + " " + Shown(row, loaded[row]) + " (the sensor has " +
            Shown(row, held[row]) + ")";
  }
  return text;
}

}  // namespace karvo::device
