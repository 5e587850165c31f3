#include "cli/Arguments.h"

#include <cctype>

namespace karvo::cli {

namespace {

struct TKnownOption {
  const char* Name;
  bool Valued;
};

constexpr TKnownOption kOptions[] = {
    {"--port", true},   {"--baud", true},  {"--address", true}, {"--trace", false},
    {"--force", false}, {"--json", false}, {"--mode", true},    {"--count", true},
    {"--data", true},   {"--stage", true}, {"--file", true},    {"--zero", false},
    {"--all", false},
};

const TKnownOption* FindOption(const std::string& name) {
  for (const TKnownOption& known : kOptions) {
    if (name == known.Name) return &known;
  }
  return nullptr;
}

// A word that is an option: "-x" and "--x", but not "-", nor a negative number such as a
// zero point, which scripts pass without "--".
bool LooksLikeOption(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1]));
}

}  // namespace

bool ParseNumber(const std::string& text, long min, long max, long& value) {
  if (text.empty() || text.size() > 12) return false;
  size_t i = 0;
  if (text[0] == '-' || text[0] == '+') i = 1;
  if (i == text.size()) return false;
  for (size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
  }
  value = std::stol(text);
  return value >= min && value <= max;
}

std::string ParseArguments(const std::vector<std::string>& args, TArguments& parsed) {
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
      continue;
    }
    if (optionsEnded || !LooksLikeOption(word)) {
      parsed.Words.push_back(word);
      continue;
    }
    std::string name = word;
    std::string value;
    bool hasValue = false;
    const size_t eq = word.find('=');
    if (word.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = word.substr(0, eq);
      value = word.substr(eq + 1);
      hasValue = true;
    }
    if (name == "--help" || name == "-h") {
      parsed.Help = true;
      return "";
    }
    const TKnownOption* option = FindOption(name);
    if (!option) return "unknown option '" + word + "'";
    if (!option->Valued) {
      if (hasValue) return name + " takes no value";
      if (name == "--trace")
        parsed.Trace = true;
      else if (name == "--force")
        parsed.Force = true;
      else if (name == "--json")
        parsed.Json = true;
      else
        parsed.Options[name] = "";
      continue;
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) return name + " needs a value";
      value = args[++i];
    }
    if (value.empty()) return name + " needs a value";
    long n;
    if (name == "--port") {
      parsed.Port = value;
    } else if (name == "--baud") {
      if (!ParseNumber(value, 1, 4000000, n)) return "'" + value + "' is not a baud rate";
      parsed.Baud = static_cast<uint32_t>(n);
    } else if (name == "--address") {
      if (!ParseNumber(value, 1, 127, n)) {
        return "the address must be 1 to 127, not '" + value + "'";
      }
      parsed.Address = static_cast<uint8_t>(n);
    } else {
      parsed.Options[name] = value;
    }
  }
  return "";
}

}  // namespace karvo::cli
