#include "params/ParamFile.h"

namespace karvo {

std::string ParamFileBytes(const TParamSet& values) {
  std::string bytes;
  for (int i = 0; i < PARAM_COUNT; ++i) {
    const TPARAMETR& p = ParamTable[i];
    bytes += std::to_string(p.Address & 0xFF);
    bytes += '\t';
    if (p.Kind == KIND_TEXT) {
      // A line break or zero byte inside a text would end its record early and let the rest
      // be read as a record of its own; a blank in its place keeps the file's records intact.
      for (char c : values[i].Text) {
        bytes += (c == '\n' || c == '\r' || c == '\0') ? ' ' : c;
      }
    } else {
      bytes += std::to_string(static_cast<int32_t>(values[i].Value));
    }
    bytes += '\n';
  }
  return bytes;
}

TParamFileRead ReadParamFileBytes(std::string_view bytes, TParamSet& values) {
  TParamFileRead result;
  const size_t n = bytes.size();
  size_t pos = 0;
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };

  for (int record = 0; record < PARAM_COUNT; ++record) {
    while (pos < n && !isDigit(bytes[pos])) ++pos;
    const size_t regStart = pos;
    while (pos < n && isDigit(bytes[pos])) ++pos;
    const std::string regToken(bytes.substr(regStart, pos - regStart));
    int32_t reg;
    if (!StrToInt(regToken, reg)) {
      result.BadToken = regToken;
      return result;
    }

    while (pos < n && (bytes[pos] == '\t' || bytes[pos] == ' ' || bytes[pos] == '\0')) ++pos;
    const size_t valueStart = pos;
    while (pos < n && bytes[pos] != '\n' && bytes[pos] != '\r' && bytes[pos] != '\0') ++pos;
    const std::string valueToken(bytes.substr(valueStart, pos - valueStart));

    for (int i = 0; i < PARAM_COUNT; ++i) {
      if (static_cast<int64_t>(ParamTable[i].Address) != reg) continue;
      if (ParamTable[i].Kind == KIND_TEXT) {
        values[i].Text = valueToken;
        continue;
      }
      int32_t number;
      if (!StrToInt(valueToken, number)) {
        result.BadToken = valueToken;
        return result;
      }
      values[i].Value = static_cast<uint32_t>(number);
    }
    ++result.Records;
  }
  result.Complete = true;
  return result;
}

TParamFileRead TakeParamFileBytes(std::string_view bytes, TParamSet& values,
                                  int16_t measuringRange) {
  TParamSet copy = values;
  TParamFileRead result = ReadParamFileBytes(bytes, copy);
  if (!result.Complete) return result;
  result.Issues = ValuesOutsideRows(copy, measuringRange);
  values = copy;
  return result;
}

}  // namespace karvo
