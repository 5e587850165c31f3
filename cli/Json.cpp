#include "cli/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "params/ParamTable.h"

namespace karvo::cli {

namespace {

bool ValidUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

std::string JsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + '"';
}

std::string AsUtf8(const std::string& text) {
  return ValidUtf8(text) ? text : Cp1251ToUtf8(text);
}

void TJson::Separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (first_.empty()) return;
  if (!first_.back()) text_ += ',';
  first_.back() = false;
}

TJson& TJson::Raw(std::string_view text) {
  Separate();
  text_ += text;
  return *this;
}

TJson& TJson::Object() {
  Raw("{");
  first_.push_back(true);
  closers_ += '}';
  return *this;
}

TJson& TJson::Array() {
  Raw("[");
  first_.push_back(true);
  closers_ += ']';
  return *this;
}

TJson& TJson::End() {
  text_ += closers_.back();
  closers_.pop_back();
  first_.pop_back();
  return *this;
}

TJson& TJson::Key(std::string_view name) {
  Raw(JsonQuoted(name) + ':');
  afterKey_ = true;
  return *this;
}

TJson& TJson::Str(std::string_view utf8) {
  return Raw(JsonQuoted(utf8));
}

TJson& TJson::Int(int64_t value) {
  return Raw(std::to_string(value));
}

TJson& TJson::Num(double value) {
  if (!std::isfinite(value)) return Raw("null");
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return Raw({text, static_cast<size_t>(end - text)});
}

TJson& TJson::Num(float value) {
  if (!std::isfinite(value)) return Raw("null");
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return Raw({text, static_cast<size_t>(end - text)});
}

TJson& TJson::Null() {
  return Raw("null");
}

TJson& TJson::Bool(bool value) {
  return Raw(value ? "true" : "false");
}

}  // namespace karvo::cli
