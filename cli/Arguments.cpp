#include "cli/Arguments.h"

#include <algorithm>
#include <charconv>

#include "channel/PortName.h"
#include "device/Arguments.h"

namespace karvo::cli {

bool ParseNumber(const std::string& text, long min, long max, long& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  // from_chars takes no plus sign; scripts sometimes write one.
  if (first != last && *first == '+' && last - first > 1 && first[1] != '-') ++first;
  long v = 0;
  const auto [end, error] = std::from_chars(first, last, v);
  if (error != std::errc() || end != last || first == last) return false;
  if (v < min || v > max) return false;
  value = v;
  return true;
}

bool ParseAddresses(const std::string& text, std::vector<uint8_t>& addresses) {
  std::vector<uint8_t> list;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    long value = 0;
    // Signs are for numbers, not for addresses.
    if (item.empty() || item[0] == '+' || !ParseNumber(item, 1, 127, value)) return false;
    // One sensor polled twice in a round would only make its column ambiguous.
    if (std::find(list.begin(), list.end(), value) != list.end()) return false;
    list.push_back(static_cast<uint8_t>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  addresses = std::move(list);
  return true;
}

std::string PortNameProblem(const std::string& option, const std::string& port) {
  if (port.empty()) return option + " needs a value";
  std::string problem;
  const std::string name = device::PortNameOf(port, problem);
  if (!problem.empty()) return option + ": " + problem;
  // A malformed URL (no port, a port above 65535) is said here, before anything is opened.
  std::string why;
  if (!CheckPortName(name, why)) return option + ": " + why;
  return "";
}

std::string NormalPortName(const std::string& port) {
  std::string problem;
  const std::string name = device::PortNameOf(port, problem);
  return problem.empty() ? name : port;
}

}  // namespace karvo::cli
