// Any bytes as a parameter file: no crash, no undefined behaviour, a result within bounds, a
// file that stops short changes nothing, and whatever set the reader makes saves and reads
// back equal.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "params/ParamFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace karvo;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  TParamSet values;
  // Rows that share a register share a record, so they start alike as in a sensor.
  for (int i = 0; i < PARAM_COUNT; ++i) values[i].Value = 2654435761u * (ParamTable[i].Address + 1);
  values[31].Text = "  ACME";
  const TParamSet before = values;

  TParamSet taken = values;
  const TParamFileRead read = TakeParamFileBytes(bytes, taken, static_cast<int16_t>(size));
  if (read.Records < 0 || read.Records > PARAM_COUNT) __builtin_trap();
  if (read.Complete != (read.Records == PARAM_COUNT)) __builtin_trap();
  if (!read.Complete) {
    if (taken != before) __builtin_trap();
    const auto lines = 1 + std::count(bytes.begin(), bytes.end(), '\n');
    if (read.Line < 1 || read.Line > lines) __builtin_trap();
    if (read.BadToken.size() > size) __builtin_trap();
    const std::string message = ParamFileProblem("f.prm", read);
    for (char c : message) {
      if (c < 0x20 || c > 0x7E) __builtin_trap();
    }
  }

  // Partial reads too: the rows taken before a failure must survive a save.
  ReadParamFileBytes(bytes, values);
  for (const TPARAMVALUE& v : values) {
    if (v.Text.size() > size && v.Text != "  ACME") __builtin_trap();
  }
  TParamSet again;
  const std::string saved = ParamFileBytes(values);
  if (!ReadParamFileBytes(saved, again).Complete) __builtin_trap();
  // A file holds a row's text or its number, not both. The writer puts blanks for line breaks
  // and zero bytes inside a text; those texts differ.
  for (int i = 0; i < PARAM_COUNT; ++i) {
    const std::string& text = values[i].Text;
    if (ParamTable[i].Kind != KIND_TEXT) {
      if (again[i].Value != values[i].Value) __builtin_trap();
    } else if (text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos &&
               again[i].Text != text) {
      __builtin_trap();
    }
  }
  if (ParamFileBytes(again) != saved) __builtin_trap();
  return 0;
}
