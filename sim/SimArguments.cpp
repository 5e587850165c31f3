#include "sim/SimArguments.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace karvo::sim {

const char* const SIM_USAGE =
    "usage: karvo-sim [options]\n"
    "Simulates a KARVO laser distance sensor on a pseudo-terminal and prints its device path.\n"
    "  --address N    net address, 1..127 (default 1)\n"
    "  --addresses A,B,...  one sensor per net address on the one line, as on RS-485, serial\n"
    "                 numbers counting up from --serial, each target moving on its own (sine\n"
    "                 unless --motion says otherwise); only the addressed one answers\n"
    "  --baud N       line rate, a multiple of 2400 up to 460800 (default 9600)\n"
    "  --range MM     measuring range in mm, 1..32767 (default 100)\n"
    "  --base MM      base distance in mm, 0..32767 (default 60)\n"
    "  --serial N     serial number, 0..65535 (default 1234)\n"
    "  --distance MM  target distance from the base in mm (default half the range)\n"
    "  --no-pace      answer at once instead of at the line rate\n"
    "  --stage        also simulate the stage controller (115200 baud) carrying the target;\n"
    "                 prints the stage's device path on a second line\n"
    "  --motion sine|ramp  move the target about its distance, so that measurements change\n"
    "  --amplitude MM how far the target moves either side (default a quarter of the range)\n"
    "  --period S     seconds of one swing of the target (default 10)\n"
    "  --stream-period US  stream a sample every US microseconds, whatever the sampling\n"
    "                 period register says, down to what the line carries\n"
    "  --help         show this text\n";

namespace {

bool ParseLong(const std::string& text, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || text.empty() || *end != '\0' || v < low || v > high) return false;
  value = v;
  return true;
}

bool ParseDouble(const std::string& text, double& value) {
  char* end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || text.empty() || *end != '\0') return false;
  value = v;
  return true;
}

}  // namespace

bool ParseAddressList(const std::string& text, std::vector<uint8_t>& addresses) {
  std::vector<uint8_t> list;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    long value = 0;
    if (!ParseLong(item, 1, 127, value)) return false;
    // Two sensors at one address would answer together and garble each other.
    if (std::find(list.begin(), list.end(), value) != list.end()) return false;
    list.push_back(static_cast<uint8_t>(value));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  addresses = std::move(list);
  return true;
}

std::string ParseSimArguments(const std::vector<std::string>& args, TSimArguments& parsed) {
  TSensorSimOptions& options = parsed.Options;
  bool motionGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help") {
      parsed.Help = true;
      continue;
    }
    if (option == "--stage") {
      parsed.Stage = true;
      continue;
    }
    if (option == "--no-pace") {
      options.Pace = false;
      continue;
    }
    if (option != "--address" && option != "--baud" && option != "--range" && option != "--base" &&
        option != "--serial" && option != "--distance" && option != "--motion" &&
        option != "--amplitude" && option != "--period" && option != "--stream-period" &&
        option != "--addresses")
      return "unknown option " + option;
    if (i + 1 >= args.size()) return option + " needs a value";
    const std::string& text = args[++i];
    long value = 0;
    bool ok;
    if (option == "--address") {
      ok = ParseLong(text, 1, 127, value);
      options.Address = static_cast<uint8_t>(value);
    } else if (option == "--addresses") {
      ok = ParseAddressList(text, options.Addresses);
    } else if (option == "--baud") {
      ok = ParseLong(text, 2400, 460800, value) && value % 2400 == 0;
      options.Baud = static_cast<uint32_t>(value);
    } else if (option == "--range") {
      ok = ParseLong(text, 1, 32767, value);
      options.MeasuringRange = static_cast<int16_t>(value);
    } else if (option == "--base") {
      ok = ParseLong(text, 0, 32767, value);
      options.BaseDistance = static_cast<int16_t>(value);
    } else if (option == "--serial") {
      ok = ParseLong(text, 0, 65535, value);
      options.SerialNumber = static_cast<uint16_t>(value);
    } else if (option == "--motion") {
      ok = text == "sine" || text == "ramp";
      motionGiven = true;
      options.Motion = text == "sine" ? TTargetMotion::Sine : TTargetMotion::Ramp;
    } else if (option == "--amplitude") {
      ok = ParseDouble(text, options.MotionAmplitudeMm) && options.MotionAmplitudeMm >= 0;
    } else if (option == "--period") {
      ok = ParseDouble(text, options.MotionPeriodS) && options.MotionPeriodS > 0;
    } else if (option == "--stream-period") {
      ok = ParseLong(text, 1, 1000000, value);
      options.StreamPeriodUs = static_cast<uint32_t>(value);
    } else {
      double mm = 0.0;
      ok = ParseDouble(text, mm);
      parsed.Distance = mm;
    }
    if (!ok) return "bad value for " + option + ": " + text;
  }
  if (!options.Addresses.empty() && !motionGiven) options.Motion = TTargetMotion::Sine;
  return "";
}

}  // namespace karvo::sim
