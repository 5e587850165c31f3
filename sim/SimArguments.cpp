#include "sim/SimArguments.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

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
    "  --help         show this text\n"
    "  --version      the program's version\n";

namespace {

// A whole decimal number within low..high, nothing else in the text.
bool ParseLong(const std::string& text, long low, long high, long& value) {
  long v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (v < low || v > high) return false;
  value = v;
  return true;
}

bool ParseDouble(const std::string& text, double& value) {
  double v = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return false;
  if (!std::isfinite(v)) return false;
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
  CLI::App app("Simulated KARVO sensor", "karvo-sim");
  app.set_help_flag();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("-h,--help", parsed.Help)->disable_flag_override();
  app.add_flag("--version", parsed.Version)->disable_flag_override();
  bool noPace = false;
  app.add_flag("--stage", parsed.Stage)->disable_flag_override();
  app.add_flag("--no-pace", noPace)->disable_flag_override();
  // Values are taken as text and read below, so that each has its own check and message.
  const char* const valued[] = {"--address",   "--addresses", "--baud",         "--range",
                                "--base",      "--serial",    "--distance",     "--motion",
                                "--amplitude", "--period",    "--stream-period"};
  std::map<std::string, std::string> values;
  std::map<std::string, CLI::Option*> given;
  for (const char* name : valued) given[name] = app.add_option(name, values[name]);
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    return e.what();
  }
  if (noPace) options.Pace = false;
  bool motionGiven = false;
  for (const char* name : valued) {
    if (given[name]->count() == 0) continue;
    const std::string option = name;
    const std::string& text = values[name];
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
      options.Motion = text == "sine" ? TTargetMotion::Sine : TTargetMotion::Ramp;
      motionGiven = true;
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
