// The command line taken apart, GNU style: options anywhere, before or after the command,
// "--name value" or "--name=value", and "--" ending the options. The parsing itself is
// CLI11's (see Run); these are the values it leaves and the checks of their text.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace karvo::cli {

struct TArguments {
  std::string Port = "COM1";
  uint32_t Baud = 9600;
  std::vector<uint8_t> Addresses = {1};  // one, or a list for the commands that poll several
  bool Trace = false;
  bool Force = false;
  bool Json = false;
  std::vector<std::string> Words;  // the command and its arguments
  // The command's own options that were given: value, or "" for a flag.
  std::map<std::string, std::string> Options;

  uint8_t Address() const { return Addresses.front(); }
  bool Has(const std::string& option) const { return Options.count(option) != 0; }
};

// A whole decimal number within min..max: an optional sign and digits, nothing else.
bool ParseNumber(const std::string& text, long min, long max, long& value);

// "1,2,3": distinct net addresses 1..127, in the order given.
bool ParseAddresses(const std::string& text, std::vector<uint8_t>& addresses);

// "" when `port`, given with `option` (--port, --stage), may name a port, else why not.
// Names the transports take are checked here, once, before anything is opened.
std::string PortNameProblem(const std::string& option, const std::string& port);

// The port as the channel names it: "com3" is COM3, "usb" USB; others as they are.
std::string NormalPortName(const std::string& port);

}  // namespace karvo::cli
