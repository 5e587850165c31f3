// The parameter file reader over any bytes: it must not crash, and whatever set it takes in
// must come back unchanged through the writer and a second read.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "params/ParamFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace karvo;
  TParamSet values;
  const TParamFileRead read =
      ReadParamFileBytes(std::string_view(reinterpret_cast<const char*>(data), size), values);
  if (read.Records > PARAM_COUNT || read.Complete != (read.Records == PARAM_COUNT)) {
    __builtin_trap();
  }
  TParamSet again;
  if (!ReadParamFileBytes(ParamFileBytes(values), again).Complete || again != values) {
    __builtin_trap();
  }
  return 0;
}
