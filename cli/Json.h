// The JSON documents of --json: a writer small enough to need no library. Compact, one
// document a line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::cli {

class TJson {
 public:
  TJson& Object();
  TJson& Array();
  TJson& End();  // closes the innermost object or array
  TJson& Key(std::string_view name);
  TJson& Str(std::string_view utf8);
  TJson& Int(int64_t value);
  TJson& Num(double value);
  TJson& Num(float value);  // shortest text that reads back as the same float
  TJson& Bool(bool value);
  TJson& Null();

  // The document and a line end.
  std::string Line() const { return text_ + '\n'; }
  // The document so far, e.g. a lone number as JSON spells it.
  const std::string& Text() const { return text_; }

 private:
  void Separate();
  TJson& Raw(std::string_view text);

  std::string text_;
  std::vector<bool> first_;  // per open container: nothing in it yet
  std::string closers_;      // of the open containers, innermost last
  bool afterKey_ = false;
};

// `text` quoted, with quotes, backslashes and control characters escaped.
std::string JsonQuoted(std::string_view text);

// Text that may be Windows-1251 (the sensor's, the names) or already UTF-8 (the system's
// reasons) as UTF-8.
std::string AsUtf8(const std::string& text);

}  // namespace karvo::cli
