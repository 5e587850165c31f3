// Command line of karvo-sim, kept apart from main() so that it can be tested.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/SensorSim.h"

namespace karvo::sim {

extern const char* const SIM_USAGE;

struct TSimArguments {
  TSensorSimOptions Options;
  std::optional<double> Distance;  // mm from the base
  bool Stage = false;              // also a stage controller whose carriage moves the target
  bool Help = false;
  bool Version = false;
};

// "1,2,3": distinct net addresses 1..127, in the order given.
bool ParseAddressList(const std::string& text, std::vector<uint8_t>& addresses);

// Parses the arguments after the program name. Returns "" on success, otherwise what is wrong.
std::string ParseSimArguments(const std::vector<std::string>& args, TSimArguments& parsed);

}  // namespace karvo::sim
