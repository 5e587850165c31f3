// Argument checks that the command line and the Python package share, so that a value one of
// them takes the other takes too, and both refuse it in the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::device {

// How many samples a command can hold: a measure keeps its values in memory, a stream also
// fits them into one sample ring for its data file.
struct CountLimit {
  long long Min;
  long long Max;
};
inline constexpr CountLimit MEASURE_COUNTS{1, 100000000};
inline constexpr CountLimit STREAM_COUNTS{1, 65535};

// "" when `count` fits, else "<what> takes 1 to 65535, not 70000".
std::string CountProblem(const std::string& what, long long count, const CountLimit& limit);

// The ten rates the sensor knows, slowest first.
const std::vector<uint32_t>& SensorBaudRates();
// "" when `baud` is one of them, else "<what> takes 2400, 4800, ..., 460800, not 12345".
std::string BaudProblem(const std::string& what, long long baud);

inline constexpr long long ADDRESS_MIN = 1;
inline constexpr long long ADDRESS_MAX = 127;
std::string AddressProblem(const std::string& what, long long address);

// The same word in any letter case: words the program takes are taken as typed.
bool SameLetters(std::string_view a, std::string_view b);

// The run mode named `name` in any letter case among `modes`; nothing when none matches.
std::optional<uint32_t> RunModeNamed(const std::string& name, const std::vector<uint32_t>& modes);
// "Line, NonLine or Temperature": the names of `modes` for an error message.
std::string RunModeChoices(const std::vector<uint32_t>& modes);

// A typed value for `row` with a pick-list entry's letter case corrected ("full" -> "Full");
// anything else comes back as it was, for the row's own check to judge.
std::string PickListSpelling(int row, const std::string& typed, int16_t measuringRange);

// A port name as the channel takes it: "com3" is COM3 and "usb" USB. A name that is neither a
// COM or USB name, nor a path, nor a URL gets "" and `problem` says what would do.
std::string PortNameOf(const std::string& name, std::string& problem);

}  // namespace karvo::device
