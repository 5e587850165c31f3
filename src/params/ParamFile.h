// The parameter file (".prm"): one line per parameter row, "register TAB value LF", in
// table order. Writing gives the file's bytes; reading takes a file's bytes into a set.
//
// A text value is everything after the one TAB that follows its register, leading blanks
// included, so that every text comes back as it was saved. Where anything else stands
// between register and value (blanks, several TABs, zero bytes, as a hand-edited file may
// have), those are skipped as they always were.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "params/ParamTable.h"
#include "params/ValueCheck.h"

namespace karvo {

// The bytes of a parameter file holding `values`.
std::string ParamFileBytes(const TParamSet& values);

struct TParamFileRead {
  bool Complete = false;  // all 36 records were taken
  int Records = 0;        // records taken; their rows keep what they got even when incomplete
  std::string BadToken;   // incomplete: the token that is not an integer
  int Line = 0;           // incomplete: the line (from 1) that token stands on
  std::vector<TValueIssue> Issues;  // TakeParamFileBytes: values that do not fit their rows
};

// Takes up to 36 records from `bytes` into `values`, in the order they come; stops at the
// first register or number that is not an integer.
TParamFileRead ReadParamFileBytes(std::string_view bytes, TParamSet& values);

// A whole file or nothing: `values` takes the file only when all 36 records were read, so a
// file that fails part-way leaves the set as it was. Values outside their rows are taken as
// they stand (stored files may rely on it) and listed in Issues.
TParamFileRead TakeParamFileBytes(std::string_view bytes, TParamSet& values,
                                  int16_t measuringRange);

// Why a read stopped, for a message: "FILE, line N: 'TOKEN' is not a valid integer value",
// the token as printable text only.
std::string ParamFileProblem(const std::string& path, const TParamFileRead& read);

}  // namespace karvo
