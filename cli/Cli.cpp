#include "cli/Cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "cli/Arguments.h"
#include "cli/Json.h"
#include "cli/Publish.h"
#include "device/Sensor.h"
#include "device/Stage.h"
#include "files/TextFile.h"
#include "measure/DataFile.h"
#include "measure/RunModes.h"
#include "params/ParamFile.h"
#include "params/ParamGrid.h"
#include "params/ParamTable.h"
#include "params/ValueCheck.h"
#include "protocol/SensorScan.h"
#include "stage/SweepFiles.h"

namespace karvo::cli {

namespace {

using device::Result;

// Far beyond any parameter file; keeps a wrongly named file from filling the memory.
constexpr size_t MAX_PARAM_FILE_SIZE = 16 * 1024 * 1024;
// A token longer than this is cut in the message.
constexpr size_t MAX_TOKEN_SHOWN = 100;

std::string Timestamp() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  long ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

bool IsText(int row) {
  return ParamTable[row].Kind == KIND_TEXT;
}

std::string NameOf(int row) {
  return Cp1251ToUtf8(ParamTable[row].Name);
}

// A value as the compare messages give it: the text, or the number in signed decimal.
std::string ValueText(int row, const TPARAMVALUE& v) {
  return IsText(row) ? Cp1251ToUtf8(v.Text) : std::to_string(static_cast<int32_t>(v.Value));
}

void ValueJson(TJson& json, int row, const TPARAMVALUE& v) {
  if (IsText(row)) {
    json.Str(Cp1251ToUtf8(v.Text));
  } else {
    json.Int(static_cast<int32_t>(v.Value));
  }
}

std::string UnitOf(uint32_t runMode) {
  if (runMode == RUN_PULSE) return "px";
  const std::string unit = ModeDisplay(runMode).Unit;
  return unit.substr(unit.find_first_not_of(' '));
}

class TCommand {
 public:
  TCommand(const TArguments& args, std::ostream& out, std::ostream& err, TInterrupt& interrupt)
      : args_(args), out_(out), err_(err), interrupt_(interrupt) {
    if (args.Trace) {
      sensor_.Link().Trace = [this](char direction, const uint8_t* bytes, size_t count) {
        std::ostringstream line;
        line << Timestamp() << ' ' << direction;
        char hex[4];
        for (size_t i = 0; i < count; ++i) {
          std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
          line << hex;
        }
        err_ << line.str() << '\n';
      };
    }
  }

  int Run();

 private:
  int Fail(int code, const std::string& message) {
    err_ << "karvo-cli: " << message << '\n';
    return code;
  }
  int UsageError(const std::string& message) { return Fail(EXIT_USAGE, message + "\n" + Usage()); }
  // A failed operation: `message` on stderr and the result as the JSON document; 128 + the
  // signal when it was cancelled.
  int Failure(const Result& r, int code, const std::string& message) {
    if (r.Cancelled() || interrupt_.Token.Cancelled()) code = interrupt_.ExitStatus();
    if (args_.Json) {
      TJson json;
      json.Object().Key("error").Object();
      json.Key("status").Int(r.Status).Key("reason").Str(AsUtf8(r.Reason));
      json.Key("doing").Str(AsUtf8(r.Doing)).End().End();
      out_ << json.Line();
    }
    return Fail(code, message);
  }
  int DeviceFailure(const Result& r, const std::string& what = "") {
    return Failure(r, EXIT_DEVICE, (what.empty() ? "" : what + ": ") + AsUtf8(r.Describe()));
  }
  int NoPort(const Result& r, const std::string& what) {
    const std::string reason = r.Reason.empty() ? "port already in use or not available" : r.Reason;
    return Failure(r, EXIT_NO_PORT, "cannot open " + what + ": " + AsUtf8(reason));
  }
  int Ok() {
    if (args_.Json) out_ << TJson().Object().Key("ok").Bool(true).End().Line();
    return EXIT_OK;
  }

  int OpenPort();
  // Opens, identifies and (when asked) reads all parameters into both sets, as a connect does.
  int Connect(bool readParameters);
  bool ParseRow(const std::string& text, int& row);
  // Takes VALUE of a command line as the grid takes a typed cell into the working set.
  bool TakeTyped(int row, const std::string& typed);
  // Reads a parameter file; one that does not parse is refused before the sensor is touched.
  int ReadFile(const std::string& path, std::string& bytes);
  // The file's records over `values`: rows it does not mention keep theirs.
  int TakeFile(const std::string& bytes, TParamSet& values);
  int WriteFile(const std::string& path, const std::string& bytes);
  int PrintComparison(const std::vector<device::ParameterDifference>& differences, int row);

  const std::string& Arg(size_t i) const { return args_.Words[i + 1]; }
  std::string Option(const std::string& name) const {
    auto it = args_.Options.find(name);
    return it == args_.Options.end() ? "" : it->second;
  }
  const device::CancelToken* Cancel() const { return &interrupt_.Token; }

  int Identify();
  int ReadRegisters();
  int WriteRegisters();
  int ReadResult();
  int ReadParams();
  int LoadParam();
  int Compare();
  int Flash();
  int SaveParams();
  int LoadParams();
  int CompareParams();
  int Scan();
  int Measure();
  // Where measured or streamed values go: the ring (for --data), and a line or a JSON number
  // each.
  std::function<void(float)> ValueSink(uint32_t runMode, TSampleRing& ring, TJson& json) {
    return [this, runMode, &ring, &json](float value) {
      ring.Store(value);
      if (args_.Json) {
        json.Num(value);
      } else {
        out_ << ResultText(runMode, value) << '\n';
      }
    };
  }
  int Stream();
  int Sweep();

  const TArguments& args_;
  std::ostream& out_;
  std::ostream& err_;
  TInterrupt& interrupt_;
  device::Sensor sensor_;
  IdentityRecord identity_;
  TParamSet read_;     // as the sensor holds them
  TParamSet working_;  // what goes to the sensor
};

int TCommand::Run() {
  const std::string& name = args_.Words[0];
  struct Entry {
    const char* Name;
    size_t MinArgs;
    size_t MaxArgs;
    const char* Options;  // the command's own, blank-separated
    int (TCommand::*Handler)();
  };
  static const Entry kCommands[] = {
      {"identify", 0, 0, "", &TCommand::Identify},
      {"read-registers", 2, 2, "", &TCommand::ReadRegisters},
      {"write-registers", 2, 256, "", &TCommand::WriteRegisters},
      {"result", 0, 0, "", &TCommand::ReadResult},
      {"read-params", 0, 0, "", &TCommand::ReadParams},
      {"load-param", 2, 2, "", &TCommand::LoadParam},
      {"compare", 2, 2, "", &TCommand::Compare},
      {"flash", 1, 1, "", &TCommand::Flash},
      {"save-params", 1, 1, "", &TCommand::SaveParams},
      {"load-params", 1, 1, "", &TCommand::LoadParams},
      {"compare-params", 1, 1, "", &TCommand::CompareParams},
      {"scan", 0, 0, "--all", &TCommand::Scan},
      {"measure", 0, 0, "--mode --count --zero --data", &TCommand::Measure},
      {"stream", 0, 0, "--count --data", &TCommand::Stream},
      {"sweep", 1, 1, "--stage --file", &TCommand::Sweep},
  };
  for (const Entry& e : kCommands) {
    if (name != e.Name) continue;
    for (const auto& option : args_.Options) {
      if ((" " + std::string(e.Options) + " ").find(" " + option.first + " ") == std::string::npos)
        return UsageError(option.first + " is not an option of " + name);
    }
    const size_t n = args_.Words.size() - 1;
    if (n < e.MinArgs || n > e.MaxArgs) return UsageError("wrong number of arguments for " + name);
    const int code = (this->*e.Handler)();
    // Asked to stop: scripts must see that, even when the command got to its end.
    return interrupt_.Token.Cancelled() ? interrupt_.ExitStatus() : code;
  }
  return UsageError("unknown command '" + name + "'");
}

int TCommand::OpenPort() {
  const Result r = sensor_.Open({.Port = args_.Port, .Baud = args_.Baud, .Address = args_.Address});
  return r ? EXIT_OK : NoPort(r, args_.Port);
}

int TCommand::Connect(bool readParameters) {
  if (int code = OpenPort()) return code;
  if (Result r = sensor_.Identify(identity_); !r) return DeviceFailure(r);
  if (!readParameters) return EXIT_OK;
  if (Result r = sensor_.ReadParameters(read_, Cancel()); !r) return DeviceFailure(r);
  working_ = read_;
  return EXIT_OK;
}

bool TCommand::ParseRow(const std::string& text, int& row) {
  long v;
  if (!ParseNumber(text, 0, PARAM_COUNT - 1, v)) return false;
  row = static_cast<int>(v);
  return true;
}

bool TCommand::TakeTyped(int row, const std::string& typed) {
  std::string problem;
  if (TakeTypedValue(row, Utf8ToCp1251(typed), working_, sensor_.MeasuringRange(), problem)) {
    return true;
  }
  Fail(EXIT_USAGE, "row " + std::to_string(row) + " (" + NameOf(row) + "): " + AsUtf8(problem));
  return false;
}

int TCommand::ReadFile(const std::string& path, std::string& bytes) {
  std::string reason;
  if (!ReadRegularFile(path, MAX_PARAM_FILE_SIZE, bytes, reason)) {
    return Fail(EXIT_FILE, "Error reading " + path + ". " + reason);
  }
  TParamSet scratch;
  return TakeFile(bytes, scratch);
}

int TCommand::TakeFile(const std::string& bytes, TParamSet& values) {
  const TParamFileRead read = ReadParamFileBytes(bytes, values);
  if (read.Complete) return EXIT_OK;
  std::string token = read.BadToken;
  if (token.size() > MAX_TOKEN_SHOWN) token = token.substr(0, MAX_TOKEN_SHOWN) + "...";
  return Fail(EXIT_FILE, AsUtf8(NotValidIntegerMessage(token)));
}

int TCommand::WriteFile(const std::string& path, const std::string& bytes) {
  int error = 0;
  if (WriteFileReplacing(path, bytes, error)) return EXIT_OK;
  return Fail(EXIT_FILE, "Error writing " + path + ". " + ErrnoSentence(error));
}

int TCommand::PrintComparison(const std::vector<device::ParameterDifference>& differences,
                              int row) {
  if (args_.Json) {
    TJson json;
    json.Object().Key("equal").Bool(differences.empty()).Key("differences").Array();
    for (const auto& d : differences) {
      json.Object().Key("row").Int(d.Row).Key("name").Str(NameOf(d.Row)).Key("expected");
      ValueJson(json, d.Row, d.Expected);
      json.Key("read");
      ValueJson(json, d.Row, d.Read);
      json.End();
    }
    out_ << json.End().End().Line();
  } else if (differences.empty()) {
    out_ << "Ok!\n";
  } else {
    out_ << (row >= 0 ? "Parameters '" + NameOf(row) + "' not equal:" : "Parameters not equal:");
    for (const auto& d : differences) {
      out_ << "\n'" << NameOf(d.Row) << "': Write=" << ValueText(d.Row, d.Expected)
           << ", Read=" << ValueText(d.Row, d.Read) << '.';
    }
    out_ << '\n';
  }
  return differences.empty() ? EXIT_OK : EXIT_DIFFERENT;
}

int TCommand::Identify() {
  if (int code = Connect(false)) return code;
  const IdentityRecord& id = identity_;
  if (args_.Json) {
    TJson json;
    json.Object().Key("device_type").Int(id.DeviceType).Key("release").Int(id.Release);
    json.Key("serial_number").Int(id.SerialNumber).Key("base_distance").Int(id.BaseDistance);
    out_ << json.Key("measuring_range").Int(id.MeasuringRange).End().Line();
    return EXIT_OK;
  }
  out_ << "device_type: " << int(id.DeviceType) << '\n'
       << "release: " << int(id.Release) << '\n'
       << "serial_number: " << id.SerialNumber << '\n'
       << "base_distance_mm: " << id.BaseDistance << '\n'
       << "measuring_range_mm: " << id.MeasuringRange << '\n';
  return EXIT_OK;
}

int TCommand::ReadRegisters() {
  long first, count;
  if (!ParseNumber(Arg(0), 0, 255, first)) return UsageError("FIRST must be a register 0 to 255");
  if (!ParseNumber(Arg(1), 1, 256 - first, count)) {
    return UsageError("COUNT must be 1 to " + std::to_string(256 - first));
  }
  if (int code = OpenPort()) return code;
  std::vector<uint8_t> bytes(static_cast<size_t>(count));
  const Result r = sensor_.ReadRegisters(static_cast<uint8_t>(first), bytes.size(), bytes.data());
  if (!r) return DeviceFailure(r);
  TJson json;
  json.Array();
  for (long i = 0; i < count; ++i) {
    if (args_.Json) {
      json.Object().Key("register").Int(first + i).Key("value").Int(bytes[i]).End();
    } else {
      out_ << first + i << '\t' << int(bytes[i]) << '\n';
    }
  }
  if (args_.Json) out_ << json.End().Line();
  return EXIT_OK;
}

int TCommand::WriteRegisters() {
  long first;
  if (!ParseNumber(Arg(0), 0, 255, first)) return UsageError("FIRST must be a register 0 to 255");
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 1 < args_.Words.size(); ++i) {
    long v;
    if (!ParseNumber(Arg(i), 0, 255, v)) {
      return UsageError("'" + Arg(i) + "' is not a byte value 0 to 255");
    }
    bytes.push_back(static_cast<uint8_t>(v));
  }
  if (first + static_cast<long>(bytes.size()) > 256) {
    return UsageError("the bytes run past register 255");
  }
  if (int code = OpenPort()) return code;
  if (Result r = sensor_.WriteRegisters(static_cast<uint8_t>(first), bytes); !r) {
    return DeviceFailure(r);
  }
  return Ok();
}

int TCommand::ReadResult() {
  if (int code = OpenPort()) return code;
  uint16_t word = 0;
  if (Result r = sensor_.ReadResult(word); !r) return DeviceFailure(r);
  if (args_.Json) {
    out_ << TJson().Object().Key("result").Int(static_cast<int16_t>(word)).End().Line();
  } else {
    out_ << static_cast<int16_t>(word) << '\n';
  }
  return EXIT_OK;
}

int TCommand::ReadParams() {
  if (int code = Connect(true)) return code;
  TJson json;
  json.Array();
  for (int row = 0; row < PARAM_COUNT; ++row) {
    const TPARAMVALUE& v = working_[row];
    const std::string shown = Cp1251ToUtf8(GridCellText(row, v, sensor_.MeasuringRange()));
    if (args_.Json) {
      json.Object().Key("row").Int(row).Key("name").Str(NameOf(row)).Key("value").Str(shown);
      json.Key("raw");
      ValueJson(json, row, v);
      json.End();
    } else {
      out_ << row << '\t' << NameOf(row) << '\t' << shown << '\t' << ValueText(row, v) << '\n';
    }
  }
  if (args_.Json) out_ << json.End().Line();
  return EXIT_OK;
}

int TCommand::LoadParam() {
  int row;
  if (!ParseRow(Arg(0), row)) return UsageError("ROW must be 0 to 35");
  if (int code = Connect(true)) return code;
  if (!TakeTyped(row, Arg(1))) return EXIT_USAGE;
  if (Result r = sensor_.WriteParameter(row, working_[row]); !r) return DeviceFailure(r);
  if (args_.Json) return Ok();
  out_ << row << '\t' << NameOf(row) << '\t'
       << Cp1251ToUtf8(GridCellText(row, working_[row], sensor_.MeasuringRange())) << '\t'
       << ValueText(row, working_[row]) << '\n';
  return EXIT_OK;
}

int TCommand::Compare() {
  int row;
  if (!ParseRow(Arg(0), row)) return UsageError("ROW must be 0 to 35");
  if (int code = Connect(true)) return code;
  if (!TakeTyped(row, Arg(1))) return EXIT_USAGE;
  TPARAMVALUE read;
  bool equal = false;
  if (Result r = sensor_.CompareParameter(row, working_[row], read, equal); !r) {
    return DeviceFailure(r);
  }
  std::vector<device::ParameterDifference> differences;
  if (!equal) differences.push_back({row, working_[row], read});
  return PrintComparison(differences, row);
}

int TCommand::Flash() {
  static const struct {
    const char* Word;
    device::FlashOperation Operation;
  } kinds[] = {{"store", device::FlashOperation::Store},
               {"restore", device::FlashOperation::Restore},
               {"factory", device::FlashOperation::Factory}};
  const auto* kind = std::find_if(std::begin(kinds), std::end(kinds),
                                  [&](const auto& k) { return Arg(0) == k.Word; });
  if (kind == std::end(kinds)) return UsageError("flash takes store, restore or factory");
  if (int code = OpenPort()) return code;
  if (Result r = sensor_.Flash(kind->Operation); !r) return DeviceFailure(r);
  if (args_.Json) return Ok();
  out_ << "flash " << kind->Word << ": ok\n";
  return EXIT_OK;
}

int TCommand::SaveParams() {
  const std::string& path = Arg(0);
  if (access(path.c_str(), F_OK) == 0 && !args_.Force) {
    return Fail(EXIT_FILE, path + " exists; --force replaces it");
  }
  if (int code = Connect(true)) return code;
  if (int code = WriteFile(path, ParamFileBytes(working_))) return code;
  return Ok();
}

int TCommand::LoadParams() {
  std::string bytes;
  if (int code = ReadFile(Arg(0), bytes)) return code;
  if (int code = Connect(true)) return code;
  TakeFile(bytes, working_);
  // The reader takes any number; a value from another sensor, or a typo, would go out with
  // only its low bytes.
  const std::vector<TValueIssue> issues = ValuesOutsideRows(working_, sensor_.MeasuringRange());
  if (!issues.empty() && !args_.Force) {
    for (const TValueIssue& issue : issues) {
      err_ << "karvo-cli: row " << issue.Row << " (" << NameOf(issue.Row)
           << "): " << AsUtf8(issue.Value) << ": " << AsUtf8(issue.Problem) << '\n';
    }
    return Fail(EXIT_FILE, Arg(0) +
                               " holds values outside their rows; nothing was written "
                               "(--force writes them as they are)");
  }
  std::vector<int> failed;
  Result first;
  if (issues.empty()) {
    first = sensor_.WriteParameters(working_, Cancel(), {}, &failed);
  } else {
    // As the checked load does it: highest row first, a failing row does not stop the others.
    for (int row = PARAM_COUNT - 1; row >= 0; --row) {
      if (interrupt_.Token.Cancelled())
        return DeviceFailure(Result::Failure(device::ST_CANCELLED, "writing the parameters"));
      if (Result r = sensor_.WriteParameterAsIs(row, working_[row]); !r) {
        failed.push_back(row);
        if (first) first = r;
      }
    }
  }
  if (first) return Ok();
  std::string rows;
  for (int row : failed) rows += " " + std::to_string(row);
  return DeviceFailure(first, "writing failed for rows" + rows);
}

int TCommand::CompareParams() {
  std::string bytes;
  if (int code = ReadFile(Arg(0), bytes)) return code;
  if (int code = Connect(true)) return code;
  TakeFile(bytes, working_);
  TParamSet read;
  std::vector<device::ParameterDifference> differences;
  if (Result r = sensor_.CompareParameters(working_, read, differences, Cancel()); !r) {
    return DeviceFailure(r);
  }
  return PrintComparison(differences, -1);
}

int TCommand::Scan() {
  // Opening at the given settings first names a port that cannot be opened at all.
  if (int code = OpenPort()) return code;
  TScanOptions options;
  options.Port = sensor_.Link().Link;
  options.SelectedBaud = args_.Baud;
  options.SelectedAddress = args_.Address;
  options.All = args_.Has("--all");
  TSensorScan scan(options);
  // Progress only for a person watching; a pipe or a log gets the result lines alone.
  const bool watched = &err_ == &std::cerr && isatty(STDERR_FILENO);
  scan.Progress = [&](const TScanProgress& p) {
    if (interrupt_.Token.Cancelled()) scan.Cancel();
    if (!watched) return;
    err_ << "\rscanning " << p.Probe.Baud << " baud, address " << int(p.Probe.Address) << " ("
         << p.Done + 1 << '/' << p.Total << ")   " << std::flush;
  };
  scan.Found = [&](const TFoundSensor& found) {
    if (watched) err_ << "\r\033[K" << std::flush;
    if (args_.Json) return;
    out_ << found.Baud << ' ' << int(found.Address) << ' ' << int(found.Identity.DeviceType) << ' '
         << found.Identity.SerialNumber << '\n'
         << std::flush;
  };
  const TScanResult result = scan.Run(sensor_.Link());
  if (watched) err_ << "\r\033[K" << std::flush;
  if (result.Cancelled || interrupt_.Token.Cancelled()) {
    return DeviceFailure(Result::Failure(device::ST_CANCELLED, "scan"));
  }
  if (result.Status != ST_OK) {
    const Result r = Result::Failure(result.Status, "scan", result.Reason);
    return result.Status == ST_NOT_OPEN ? NoPort(r, args_.Port) : DeviceFailure(r, "scan stopped");
  }
  if (result.Found.empty()) {
    return Fail(EXIT_DEVICE, "no sensor found (" + std::to_string(result.Probes) +
                                 " combinations of baud rate and address tried)");
  }
  if (args_.Json) {
    TJson json;
    json.Array();
    for (const TFoundSensor& f : result.Found) {
      json.Object().Key("baud").Int(f.Baud).Key("address").Int(f.Address);
      json.Key("device_type").Int(f.Identity.DeviceType);
      json.Key("serial_number").Int(f.Identity.SerialNumber).End();
    }
    out_ << json.End().Line();
  }
  return EXIT_OK;
}

int TCommand::Measure() {
  int mode = -1;  // the mode the sensor's "Mode of Run" holds
  long count = 10;
  const std::string data = Option("--data");
  if (args_.Has("--mode")) {
    for (uint32_t m = RUN_LINE; m <= RUN_PULSE; ++m)
      if (Option("--mode") == RunModeName(m)) mode = static_cast<int>(m);
    if (mode < 0) return UsageError("--mode takes Line, NonLine, Temperature or Pulse");
  }
  if (args_.Has("--count") && !ParseNumber(Option("--count"), 1, 100000000, count)) {
    return UsageError("--count takes 1 or more");
  }
  if (int code = Connect(true)) return code;
  const uint32_t runMode =
      mode >= 0 ? static_cast<uint32_t>(mode) : RunModeOfRegister(read_[ROW_MODE_OF_RUN].Value);
  // A pulse profile has no result to zero on.
  if (args_.Has("--zero") && runMode != RUN_PULSE) {
    if (Result r = sensor_.Zero(working_); !r) return DeviceFailure(r);
  }
  TJson json;
  json.Object().Key("unit").Str(UnitOf(runMode)).Key("values").Array();
  TSampleRing ring;
  Result r;
  if (runMode == RUN_PULSE) {
    std::vector<PulseRecord> pulses;
    for (long taken = 0; taken < count && r; ++taken) {
      if (interrupt_.Token.Cancelled()) r = Result::Failure(device::ST_CANCELLED, "measuring");
      PulseRecord pulse;
      if (r) r = sensor_.ReadPulse(pulse);
      if (!r) break;
      if (args_.Json) {
        json.Int(pulse.Position);
        pulses.push_back(pulse);
        continue;
      }
      out_ << "position: " << pulse.Position << " px\n"
           << "exposure: " << pulse.Exposure / 10 << " mks\n";
      for (size_t i = 0; i < PULSE_SAMPLES; ++i) out_ << (i ? " " : "") << pulse.Samples[i];
      out_ << '\n';
    }
    json.End().Key("pulses").Array();
    for (const PulseRecord& pulse : pulses) {
      json.Object().Key("position").Int(pulse.Position).Key("exposure").Int(pulse.Exposure / 10);
      json.Key("samples").Array();
      for (uint16_t sample : pulse.Samples) json.Int(sample);
      json.End().End();
    }
  } else {
    r = sensor_.Measure(runMode, static_cast<size_t>(count), ValueSink(runMode, ring, json),
                        Cancel());
  }
  if (!r) return DeviceFailure(r);
  if (args_.Json) out_ << json.End().End().Line();
  return data.empty() ? EXIT_OK : WriteFile(data, DataFileBytes(ring));
}

int TCommand::Stream() {
  long count = 10;
  // One ring's worth: the data file holds what the ring keeps.
  if (args_.Has("--count") && !ParseNumber(Option("--count"), 1, 65535, count)) {
    return UsageError("--count takes 1 to 65535");
  }
  const std::string data = Option("--data");
  if (int code = Connect(true)) return code;
  const uint32_t runMode = RunModeOfRegister(read_[ROW_MODE_OF_RUN].Value);
  TJson json;
  json.Object().Key("unit").Str(UnitOf(runMode)).Key("values").Array();
  TSampleRing ring;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Result r = sensor_.Stream(runMode, static_cast<uint64_t>(count),
                                  ValueSink(runMode, ring, json), Cancel());
  if (!r) return DeviceFailure(r);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (args_.Json) out_ << json.End().End().Line();
  out_ << std::flush;
  char summary[128];
  std::snprintf(summary, sizeof summary, "stream: %u samples in %.3f s, %.0f samples/s\n",
                ring.SampleCount, seconds, seconds > 0 ? ring.SampleCount / seconds : 0.0);
  err_ << summary;
  return data.empty() ? EXIT_OK : WriteFile(data, DataFileBytes(ring));
}

int TCommand::Sweep() {
  static const struct {
    const char* Word;
    device::SweepKind Kind;
    const char* Extension;
  } kinds[] = {{"calibrate", device::SweepKind::Calibrate, CALIBRATION_EXTENSION},
               {"verify", device::SweepKind::Verify, VERIFICATION_EXTENSION},
               {"home", device::SweepKind::Home, nullptr},
               {"end", device::SweepKind::End, nullptr}};
  const auto* kind = std::find_if(std::begin(kinds), std::end(kinds),
                                  [&](const auto& k) { return Arg(0) == k.Word; });
  if (kind == std::end(kinds)) return UsageError("sweep takes calibrate, verify, home or end");
  const std::string stagePort = Option("--stage");
  std::string file = Option("--file");
  if (stagePort.empty()) return UsageError("sweep needs --stage PORT");
  if (!file.empty() && !kind->Extension) return UsageError("--file is for calibrate and verify");
  if (int code = Connect(true)) return code;
  if (kind->Extension) {
    if (file.empty()) file = std::to_string(identity_.SerialNumber) + kind->Extension;
    // Checked before the sweep: a refused file found only at its end would waste the run.
    if (access(file.c_str(), F_OK) == 0 && !args_.Force) {
      return Fail(EXIT_FILE, file + " exists; --force replaces it");
    }
  }
  device::Stage stage;
  if (Result r = stage.Open(stagePort); !r) {
    return NoPort(r, "the stage port " + stagePort);
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextReport = Clock::now();
  device::SweepOptions options;
  options.Kind = kind->Kind;
  options.File = file;
  options.Progress = [&](uint32_t samples, uint32_t expected, double positionMm) {
    if (Clock::now() < nextReport) return;
    nextReport = Clock::now() + std::chrono::milliseconds(500);
    char line[128];
    if (expected > 0 && samples > 0) {
      std::snprintf(line, sizeof line, "sweep: %u samples of %u, stage at %.3f mm\n", samples,
                    expected, positionMm);
    } else {
      std::snprintf(line, sizeof line, "sweep: waiting for the stage, at %.3f mm\n", positionMm);
    }
    err_ << line;
  };
  device::SweepResult result;
  const Result r = device::RunSweep(sensor_, stage, read_, options, result, Cancel());
  if (r.Status == device::ST_NO_STAGE || r.Status == device::ST_STAGE_STUCK) {
    return DeviceFailure(
        r, "the stage on " + stagePort +
               (r.Status == device::ST_NO_STAGE ? " stopped answering" : " stays busy"));
  }
  if (!kind->Extension) return r ? Ok() : DeviceFailure(r);
  const bool calibrate = kind->Kind == device::SweepKind::Calibrate;
  if (result.Completed && !args_.Json) {
    if (calibrate) {
      out_ << "Steps: " << result.Steps << '\n'
           << (result.Table.Passed ? "Table: loaded and checked" : "Table: not loaded") << '\n';
    } else {
      out_ << result.Verification.Footer << '\n';
    }
  }
  if (r.Status == device::ST_FILE) return Failure(r, EXIT_FILE, AsUtf8(r.Describe()));
  if (!r) return DeviceFailure(r);
  if (args_.Json) {
    TJson json;
    json.Object().Key("steps").Int(result.Steps);
    if (calibrate) {
      json.Key("table_checked").Bool(result.Table.Passed);
    } else {
      json.Key("error_percent").Num(result.Verification.ErrorPercent);
    }
    out_ << json.Key("file").Str(AsUtf8(result.File)).End().Line();
  }
  return EXIT_OK;
}

// publish takes its whole line through CLI11, globals included, until the rest of the
// command line moves there too.
int RunPublishLine(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   TInterrupt* interrupt) {
  CLI::App app("karvo-cli");
  PublishOptions options;
  app.add_option("--port", options.Port);
  app.add_option("--baud", options.Baud);
  app.add_option("--address", options.Addresses)->delimiter(',');
  AddPublishCommand(app, options);
  app.get_subcommand("publish")->fallthrough();
  app.require_subcommand(1);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e, out, err);
    err << "karvo-cli: " << e.what() << '\n';
    return EXIT_USAGE;
  }
  options.Interrupt = interrupt;
  options.Err = &err;
  return RunPublish(options);
}

}  // namespace

std::string Usage() {
  return "usage: karvo-cli [--port COMn|USB|PATH] [--baud N] [--address N] [--trace] [--force]\n"
         "                 [--json] COMMAND [ARGS]\n"
         "commands:\n"
         "  identify                      the sensor's identity, one 'name: value' a line\n"
         "  read-registers FIRST COUNT    register bytes, one 'register<TAB>value' a line\n"
         "  write-registers FIRST BYTE... write bytes from register FIRST up\n"
         "  result                        one measurement, the raw signed word\n"
         "  read-params                   all 36 parameters: row, name, shown value, raw value\n"
         "  load-param ROW VALUE          write one parameter, VALUE as shown in the grid\n"
         "  compare ROW VALUE             compare one parameter of the sensor with VALUE\n"
         "  flash store|restore|factory   commit to FLASH, restore the factory set, or make the\n"
         "                                current set the factory set\n"
         "  save-params FILE              read all parameters and write a .prm file\n"
         "  load-params FILE              write the parameters of a .prm file to the sensor;\n"
         "                                values outside their rows only with --force\n"
         "  compare-params FILE           compare the sensor with a .prm file\n"
         "  scan [--all]                  find the sensor at any baud rate and address (those\n"
         "                                given tried first): 'baud address device_type\n"
         "                                serial_number' a line, the first found or --all\n"
         "  measure [--mode Line|NonLine|Temperature|Pulse] [--count N] [--zero] [--data FILE]\n"
         "                                N results (default 10) in the given mode or the one\n"
         "                                the sensor's 'Mode of Run' holds, each as the display\n"
         "                                shows it; in Pulse, position, exposure and the 128\n"
         "                                profile samples; --zero makes a zero set first;\n"
         "                                --data writes the data file after\n"
         "  stream [--count N] [--data FILE]\n"
         "                                N streamed samples (1 to 65535, default 10) as the\n"
         "                                display shows them, a summary on stderr\n"
         "  sweep calibrate|verify|home|end --stage PORT [--file FILE]\n"
         "                                a stage-driven run: calibrate prints the steps and\n"
         "                                whether the table was loaded and checked, and writes\n"
         "                                the .klb file; verify prints the error and writes the\n"
         "                                .pvk file (FILE defaults to the serial number and the\n"
         "                                extension; an existing one only with --force); home\n"
         "                                and end move the stage. Progress on stderr\n"
         "  publish --broker mqtt://HOST[:PORT] [--every MS|--stream] [--count N] [--topic P]\n"
         "          [--qos 0|1] [--client-id ID] [--keepalive S] [--user NAME]\n"
         "          [--password-file FILE] [--cafile FILE] [--buffer-seconds S]\n"
         "                                measure the sensors of --address (a list: 1,2,3) and\n"
         "                                publish them to an MQTT broker ('publish --help')\n"
         "options may stand before or after the command; '--' ends them. --json prints one\n"
         "JSON document on stdout instead of the lines.\n"
         "defaults: --port COM1 --baud 9600 --address 1\n"
         "exit status: 0 success, 1 compare found differences, 2 bad arguments,\n"
         "             3 port cannot be opened, 4 sensor or stage failure,\n"
         "             5 file failure, 6 the broker refuses the connection,\n"
         "             128+N stopped by signal N (130 for Ctrl-C)\n";
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        TInterrupt* interrupt) {
  if (std::find(args.begin(), args.end(), "publish") != args.end()) {
    return RunPublishLine(args, out, err, interrupt);
  }
  TArguments parsed;
  const std::string problem = ParseArguments(args, parsed);
  if (parsed.Help) {
    out << Usage();
    return EXIT_OK;
  }
  if (problem.empty() && parsed.Words.empty()) {
    err << "karvo-cli: no command given\n" << Usage();
    return EXIT_USAGE;
  }
  if (!problem.empty()) {
    err << "karvo-cli: " << problem << '\n' << Usage();
    return EXIT_USAGE;
  }
  TInterrupt own;
  TCommand command(parsed, out, err, interrupt ? *interrupt : own);
  return command.Run();
}

}  // namespace karvo::cli
