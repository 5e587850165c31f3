// The JSON documents of --json, through nlohmann::json: compact, one document a line, the
// fields in the order they are set.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace karvo::cli {

using Json = nlohmann::ordered_json;

// The document and a line end. Text that is not UTF-8 is replaced, never thrown on.
std::string JsonLine(const Json& document);

// A float as the number its shortest text reads back as (25.1, not 25.100000381469727);
// null when it is no number.
Json JsonNumber(float value);

// `text` as a JSON string, quotes included.
std::string JsonQuoted(std::string_view text);

// Text that may be Windows-1251 (the sensor's, the names) or already UTF-8 (the system's
// reasons) as UTF-8.
std::string AsUtf8(const std::string& text);

}  // namespace karvo::cli
