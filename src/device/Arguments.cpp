#include "device/Arguments.h"

#include <algorithm>
#include <cctype>

#include "params/ParamGrid.h"
#include "protocol/SensorScan.h"

namespace karvo::device {

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

namespace {

std::string Listed(const std::vector<std::string>& words, const char* last) {
  std::string text;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? last : ", ";
    text += words[i];
  }
  return text;
}

}  // namespace

std::string CountProblem(const std::string& what, long long count, const CountLimit& limit) {
  if (count >= limit.Min && count <= limit.Max) return {};
  return what + " takes " + std::to_string(limit.Min) + " to " + std::to_string(limit.Max) +
         ", not " + std::to_string(count);
}

const std::vector<uint32_t>& SensorBaudRates() {
  return SCAN_BAUD_RATES;
}

std::string BaudProblem(const std::string& what, long long baud) {
  const std::vector<uint32_t>& rates = SensorBaudRates();
  if (std::find(rates.begin(), rates.end(), baud) != rates.end()) return {};
  std::vector<std::string> words;
  for (uint32_t rate : rates) words.push_back(std::to_string(rate));
  return what + " takes " + Listed(words, " or ") + ", not " + std::to_string(baud);
}

std::string AddressProblem(const std::string& what, long long address) {
  return CountProblem(what, address, {ADDRESS_MIN, ADDRESS_MAX});
}

std::optional<uint32_t> RunModeNamed(const std::string& name, const std::vector<uint32_t>& modes) {
  for (uint32_t mode : modes) {
    if (SameLetters(name, RunModeName(mode))) return mode;
  }
  return std::nullopt;
}

std::string RunModeChoices(const std::vector<uint32_t>& modes) {
  std::vector<std::string> words;
  for (uint32_t mode : modes) words.push_back(RunModeName(mode));
  return Listed(words, " or ");
}

std::string PickListSpelling(int row, const std::string& typed, int16_t measuringRange) {
  for (const std::string& entry : GridPickList(row, measuringRange)) {
    if (SameLetters(typed, entry)) return entry;
  }
  return typed;
}

std::string PortNameOf(const std::string& name, std::string& problem) {
  problem.clear();
  if (SameLetters(name, "USB")) return "USB";
  if (name.size() == 4 && SameLetters(name.substr(0, 3), "COM") && name[3] >= '1' && name[3] <= '8')
    return "COM" + name.substr(3);
  const bool url = name.find("://") != std::string::npos;
  if (!name.empty() && (name[0] == '/' || url)) return name;
  problem = "'" + name +
            "' is no port: use COM1..COM8, USB, a device path such as /dev/ttyUSB0, or tcp://, "
            "rfc2217://";
  return {};
}

}  // namespace karvo::device
