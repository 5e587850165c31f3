#include "cli/Json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

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

std::string JsonLine(const Json& document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
}

Json JsonNumber(float value) {
  if (!std::isfinite(value)) return nullptr;
  // Whole numbers as integers, as a reader of the text expects them (150, not 150.0).
  if (value == std::trunc(value) && std::fabs(value) < 1e9f) return static_cast<int64_t>(value);
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text - 1, value).ptr;
  *end = '\0';
  return std::strtod(text, nullptr);
}

std::string JsonQuoted(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string AsUtf8(const std::string& text) {
  return ValidUtf8(text) ? text : Cp1251ToUtf8(text);
}

}  // namespace karvo::cli
