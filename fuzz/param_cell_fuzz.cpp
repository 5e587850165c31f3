// A grid cell of any text committed on any row, and any text through the code page: no crash,
// no undefined behaviour, and a refused or failed commit leaves the set as it was.
#include <cstddef>
#include <cstdint>
#include <string>

#include "params/ParamGrid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace karvo;
  if (size < 3) return 0;
  const int row = data[0] % PARAM_COUNT;
  const auto range = static_cast<int16_t>(data[1] << 8 | data[2]);
  const std::string cell(reinterpret_cast<const char*>(data + 3), size - 3);

  TParamSet values;
  for (int i = 0; i < PARAM_COUNT; ++i)
    values[i].Value = static_cast<uint32_t>(range) * 2654435761u + i;
  const TParamSet before = values;
  const TCommitResult r = CommitCell(row, cell, values, range, data[1] % 9);
  if ((r.Outcome == TCommit::Refused || r.Outcome == TCommit::NotInteger) && values != before) {
    __builtin_trap();
  }
  for (const auto& [shown, text] : r.Cells) {
    if (shown < 0 || shown >= PARAM_COUNT) __builtin_trap();
  }
  if (Utf8ToCp1251(Cp1251ToUtf8(cell)) != cell) __builtin_trap();
  Utf8ToCp1251(cell);
  return 0;
}
