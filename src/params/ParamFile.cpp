#include "params/ParamFile.h"

#include <algorithm>

#include "files/TextFile.h"

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
  const auto fail = [&](const std::string& token, size_t at) {
    result.BadToken = token;
    result.Line = 1 + static_cast<int>(std::count(bytes.begin(), bytes.begin() + at, '\n'));
    return result;
  };

  for (int record = 0; record < PARAM_COUNT; ++record) {
    while (pos < n && !isDigit(bytes[pos])) ++pos;
    const size_t regStart = pos;
    while (pos < n && isDigit(bytes[pos])) ++pos;
    const std::string regToken(bytes.substr(regStart, pos - regStart));
    int32_t reg;
    if (!StrToInt(regToken, reg)) return fail(regToken, regStart);

    const auto lineEnd = [&](size_t at) {
      while (at < n && bytes[at] != '\n' && bytes[at] != '\r' && bytes[at] != '\0') ++at;
      return at;
    };
    // After the writer's own separator, a TAB right after the register, a text's leading
    // blanks are part of the text.
    const bool writersTab = pos < n && bytes[pos] == '\t';
    const size_t textStart = pos + 1;
    while (pos < n && (bytes[pos] == '\t' || bytes[pos] == ' ' || bytes[pos] == '\0')) ++pos;
    const size_t valueStart = pos;
    pos = lineEnd(pos);
    const std::string valueToken(bytes.substr(valueStart, pos - valueStart));
    const std::string text =
        writersTab ? std::string(bytes.substr(textStart, lineEnd(textStart) - textStart))
                   : valueToken;

    for (int i = 0; i < PARAM_COUNT; ++i) {
      if (static_cast<int64_t>(ParamTable[i].Address) != reg) continue;
      if (ParamTable[i].Kind == KIND_TEXT) {
        values[i].Text = text;
        continue;
      }
      int32_t number;
      if (!StrToInt(valueToken, number)) return fail(valueToken, valueStart);
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

std::string ParamFileProblem(const std::string& path, const TParamFileRead& read) {
  return path + ", line " + std::to_string(read.Line) + ": " +
         NotValidIntegerMessage(PrintableText(read.BadToken));
}

}  // namespace karvo
