// The command line taken apart as GNU tools do: options anywhere, before or after the
// command, "--name value" or "--name=value", and "--" ending the options.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace karvo::cli {

struct TArguments {
  std::string Port = "COM1";
  uint32_t Baud = 9600;
  uint8_t Address = 1;
  bool Trace = false;
  bool Force = false;
  bool Json = false;
  bool Help = false;
  std::vector<std::string> Words;  // the command and its arguments
  // The command's own options that were given: value, or "" for a flag. Which command takes
  // which is the command's business.
  std::map<std::string, std::string> Options;

  bool Has(const std::string& option) const { return Options.count(option) != 0; }
};

// "" when the line parses, else what is wrong with it. Stops at --help.
std::string ParseArguments(const std::vector<std::string>& args, TArguments& parsed);

// A decimal number within min..max (a sign allowed, nothing else).
bool ParseNumber(const std::string& text, long min, long max, long& value);

}  // namespace karvo::cli
