#include "cli/Cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>

#include "cli/Arguments.h"
#include "cli/Json.h"
#include "cli/Publish.h"
#include "device/Arguments.h"
#include "device/IdentityRows.h"
#include "device/Line.h"
#include "device/Rounds.h"
#include "device/Sensor.h"
#include "device/Stage.h"
#include "device/Statuses.h"
#include "device/Words.h"
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

const std::vector<device::StatusEntry>& CliStatusTable() {
  static const std::vector<device::StatusEntry> table = {
      {ST_USAGE, "usage", "bad arguments"},
      {ST_FILE_ACCESS, "file", "a file cannot be read or written"},
      {ST_OUTPUT, "output", "the output cannot be written"},
  };
  return table;
}

std::string StatusNameOf(uint32_t status) {
  for (const device::StatusEntry& e : CliStatusTable()) {
    if (e.Status == status) return e.Name;
  }
  return device::StatusName(status);
}

std::string ErrorDocument(uint32_t status, const std::string& reason, const std::string& doing) {
  Json error = {{"status", status},
                {"name", StatusNameOf(status)},
                {"reason", AsUtf8(reason)},
                {"doing", AsUtf8(doing)}};
  return JsonLine(Json{{"error", error}});
}

int TFdOutput::sync() {
  const char* next = pbase();
  while (error_ == 0 && next < pptr()) {
    const ssize_t n = ::write(fd_, next, static_cast<size_t>(pptr() - next));
    if (n > 0) {
      next += n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error_ = n < 0 ? errno : EIO;
    }
  }
  // What could not go out is dropped: a full disk or a closed pipe will not take it later.
  setp(buffer_, buffer_ + sizeof buffer_);
  return error_ == 0 ? 0 : -1;
}

int TFdOutput::overflow(int c) {
  if (sync() != 0) return traits_type::eof();
  if (c != traits_type::eof()) {
    *pptr() = static_cast<char>(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

namespace {

using device::Result;

// Far beyond any parameter file; keeps a wrongly named file from filling the memory.
constexpr size_t MAX_PARAM_FILE_SIZE = 16 * 1024 * 1024;

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

// The row's name without the grid's indentation (blanks, the underscores of the sections).
std::string NameOf(int row) {
  const std::string name = ParamTable[row].Name;
  return Cp1251ToUtf8(name.substr(std::min(name.find_first_not_of(" _"), name.size())));
}

// An ASCII identifier for a row that scripts can match: "uart_baud_rate".
std::string KeyOf(int row) {
  std::string key;
  for (char c : std::string(ParamTable[row].Name)) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) && u < 0x80) {
      key += static_cast<char>(std::tolower(u));
    } else if (u == 0xD1 || u == 0xF1) {
      key += 'c';  // the Cyrillic letter some names are spelt with
    } else if (!key.empty() && key.back() != '_') {
      key += '_';
    }
  }
  while (!key.empty() && key.back() == '_') key.pop_back();
  return key;
}

// A value as the compare messages give it: the text, or the number in signed decimal.
std::string ValueText(int row, const TPARAMVALUE& v) {
  return IsText(row) ? Cp1251ToUtf8(v.Text) : std::to_string(static_cast<int32_t>(v.Value));
}

// The number the sensor holds; a text row has none.
Json RawJson(int row, const TPARAMVALUE& v) {
  if (IsText(row)) return nullptr;
  return static_cast<int32_t>(v.Value);
}

std::string UnitOf(uint32_t runMode) {
  if (runMode == RUN_PULSE) return "px";
  const std::string unit = ModeDisplay(runMode).Unit;
  return unit.substr(unit.find_first_not_of(' '));
}

double UnixSeconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// When the samples of a run came: the first one's wall-clock time, and each one's offset.
struct TSampleTimes {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> First;
  double Start = 0;
  std::vector<double> Offsets;

  void Mark() {
    const Clock::time_point now = Clock::now();
    if (!First) {
      First = now;
      Start = UnixSeconds(std::chrono::system_clock::now());
    }
    Offsets.push_back(std::chrono::duration<double>(now - *First).count());
  }
  // The mean spacing; 0 with fewer than two samples.
  double Period() const {
    return Offsets.size() < 2 ? 0.0 : Offsets.back() / static_cast<double>(Offsets.size() - 1);
  }
  void AddTo(Json& document, bool withOffsets) const {
    document["start"] = First ? Json(Start) : Json(nullptr);
    document["period_s"] = Period();
    if (withOffsets) document["times"] = Offsets;
  }
};

class TCommand {
 public:
  TCommand(const TArguments& args, std::ostream& out, std::ostream& err, TInterrupt& interrupt)
      : args_(args), out_(out), err_(err), interrupt_(interrupt) {
    // Ctrl-C ends every command within one exchange, a single row of many registers too.
    sensor_.SetCancelToken(&interrupt_.Token);
    if (auto* fd = dynamic_cast<TFdOutput*>(out.rdbuf())) flushLines_ = fd->Interactive;
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

  int Run(int (TCommand::*handler)());

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
  int Stream();
  int Sweep();

 private:
  // A failure of the command itself (arguments, files): the message on stderr and, with
  // --json, as the error document.
  int Fail(int code, const std::string& message, const std::string& doing = "") {
    const uint32_t status = code == EXIT_USAGE  ? ST_USAGE
                            : code == EXIT_FILE ? ST_FILE_ACCESS
                            : code >= 128       ? device::ST_CANCELLED
                                                : ST_READ_SHORT;
    return Report(code, status, message, doing);
  }
  int Report(int code, uint32_t status, const std::string& message, const std::string& doing) {
    err_ << "karvo-cli: " << message << '\n';
    if (args_.Json && !printed_) {
      out_ << ErrorDocument(status, message, doing);
      printed_ = true;
    }
    return code;
  }
  int UsageError(const std::string& message) {
    err_ << "karvo-cli: " << message << '\n' << UsageHint(args_.Words[0]) << '\n';
    if (args_.Json && !printed_) out_ << ErrorDocument(ST_USAGE, message, args_.Words[0]);
    printed_ = true;
    return EXIT_USAGE;
  }
  // A failed operation: `message` on stderr and the result as the JSON document; 128 + the
  // signal when it was cancelled.
  int Failure(const Result& r, int code, const std::string& message) {
    if (OutputFailed()) return EXIT_FILE;  // Run says why
    if (r.Cancelled() || interrupt_.Token.Cancelled()) code = interrupt_.ExitStatus();
    return Report(code, r.Status, message, r.Doing);
  }
  int DeviceFailure(const Result& r, const std::string& what = "") {
    return Failure(r, EXIT_DEVICE, (what.empty() ? "" : what + ": ") + AsUtf8(r.Describe()));
  }
  int NoPort(const Result& r, const std::string& what) {
    const std::string reason = r.Reason.empty() ? "port already in use or not available" : r.Reason;
    return Failure(r, EXIT_NO_PORT, "cannot open " + what + ": " + AsUtf8(reason));
  }
  int Ok() { return Print(Json{{"ok", true}}); }
  int Print(const Json& document) {
    if (args_.Json) {
      out_ << JsonLine(document);
      printed_ = true;
    }
    return EXIT_OK;
  }
  // A line of a run's output, flushed at once for a reader that waits for it. A line that
  // cannot be written stops the run: nobody would see the rest.
  void Line(const std::string& text) {
    out_ << text << '\n';
    if (flushLines_) out_.flush();
    if (OutputFailed()) interrupt_.Token.Cancel();
  }
  bool OutputFailed() const { return out_.bad(); }

  int OpenPort();
  // Opens and identifies.
  int Connect();
  // Identifies the sensor at `address` on the open line and (when asked) reads all
  // parameters into both sets, as a connect does.
  int ConnectAt(uint8_t address, bool readParameters);
  // Reads `row` and the rows that share its register, for a command that changes one row.
  int ReadSharing(int row);
  bool Many() const { return args_.Addresses.size() > 1; }
  // Names the sensor in a failure's message when several are polled.
  std::string AddressTag(uint8_t address) const {
    return Many() ? "address " + std::to_string(address) : "";
  }
  int MeasureRounds(int mode, long long count);
  bool ParseRow(const std::string& text, int& row);
  // A --count within `limit`; false after the usage error.
  bool ParseCount(const device::CountLimit& limit, long long& count);
  // Takes VALUE of a command line as the grid takes a typed cell into the working set.
  bool TakeTyped(int row, const std::string& typed);
  // Reads a parameter file; one that does not parse is refused before the sensor is touched.
  int ReadFile(const std::string& path, std::string& bytes);
  int WriteFile(const std::string& path, const std::string& bytes);
  // A file the command will write, refused before the run: not a regular file, or one that
  // exists without --force.
  int CheckWriteTarget(const std::string& path);
  int PrintComparison(const std::vector<device::ParameterDifference>& differences, int row);

  const std::string& Arg(size_t i) const { return args_.Words[i + 1]; }
  std::string Option(const std::string& name) const {
    auto it = args_.Options.find(name);
    return it == args_.Options.end() ? "" : it->second;
  }
  const device::CancelToken* Cancel() const { return &interrupt_.Token; }

  // Where measured or streamed values go: the ring (for --data), the times, and a line or a
  // JSON number each.
  std::function<void(float)> ValueSink(uint32_t runMode, TSampleRing& ring, Json& values,
                                       TSampleTimes& times) {
    return [this, runMode, &ring, &values, &times](float value) {
      times.Mark();
      ring.Store(value);
      if (args_.Json) {
        values.push_back(JsonNumber(value));
      } else {
        Line(ResultText(runMode, value));
      }
    };
  }

  const TArguments& args_;
  std::ostream& out_;
  std::ostream& err_;
  TInterrupt& interrupt_;
  bool flushLines_ = false;
  bool printed_ = false;  // the one JSON document is out
  // The line is shared so that a list of addresses can have one sensor each on it.
  std::shared_ptr<device::Line> line_ = std::make_shared<device::Line>();
  device::Sensor sensor_{line_, 1};
  IdentityRecord identity_;
  TParamSet read_;     // as the sensor holds them
  TParamSet working_;  // what goes to the sensor
};

int TCommand::Run(int (TCommand::*handler)()) {
  const int code = (this->*handler)();
  out_.flush();
  // A reader that went away is a stop like Ctrl-C; the output cannot say anything more.
  if (interrupt_.Signal.load() != 0) return interrupt_.ExitStatus();
  if (OutputFailed()) {
    const auto* fd = dynamic_cast<TFdOutput*>(out_.rdbuf());
    const int error = fd && fd->Error() != 0 ? fd->Error() : EIO;
    err_ << "karvo-cli: writing the output: " << std::strerror(error) << '\n';
    return EXIT_FILE;
  }
  // Asked to stop: scripts must see that, even when the command got to its end.
  return interrupt_.Token.Cancelled() ? interrupt_.ExitStatus() : code;
}

int TCommand::OpenPort() {
  const Result r =
      sensor_.Open({.Port = args_.Port, .Baud = args_.Baud, .Address = args_.Address()});
  if (!r) return NoPort(r, args_.Port);
  if (!r.Notice.empty()) err_ << "karvo-cli: " << AsUtf8(r.Notice) << '\n';
  return EXIT_OK;
}

int TCommand::Connect() {
  if (int code = OpenPort()) return code;
  return ConnectAt(args_.Address(), false);
}

int TCommand::ConnectAt(uint8_t address, bool readParameters) {
  sensor_.SetAddress(address);
  if (Result r = sensor_.Identify(identity_); !r) return DeviceFailure(r, AddressTag(address));
  if (!readParameters) return EXIT_OK;
  if (Result r = sensor_.ReadParameters(read_, Cancel()); !r) {
    return DeviceFailure(r, AddressTag(address));
  }
  working_ = read_;
  return EXIT_OK;
}

int TCommand::ReadSharing(int row) {
  bool shared = false;
  for (int other = 0; other < PARAM_COUNT; ++other) {
    shared = shared || (other != row && ParamTable[other].Address == ParamTable[row].Address);
  }
  // A row of its own register is written whole; one that shares it keeps the others' bits.
  if (!shared) return EXIT_OK;
  if (Result r = sensor_.ReadParameter(row, read_[row]); !r) return DeviceFailure(r);
  const std::vector<uint8_t> image = RegisterImage(row, read_[row]);
  for (int other = 0; other < PARAM_COUNT; ++other) {
    if (ParamTable[other].Address != ParamTable[row].Address) continue;
    TakeRegisterImage(other, image.data(), read_[other]);
    working_[other] = read_[other];
  }
  return EXIT_OK;
}

bool TCommand::ParseRow(const std::string& text, int& row) {
  long v;
  if (!ParseNumber(text, 0, PARAM_COUNT - 1, v)) return false;
  row = static_cast<int>(v);
  return true;
}

bool TCommand::ParseCount(const device::CountLimit& limit, long long& count) {
  if (!args_.Has("--count")) return true;
  const std::string text = Option("--count");
  long value = 0;
  std::string problem;
  if (!ParseNumber(text, std::numeric_limits<long>::min(), std::numeric_limits<long>::max(),
                   value)) {
    problem = "--count takes " + std::to_string(limit.Min) + " to " + std::to_string(limit.Max) +
              ", not '" + PrintableText(text) + "'";
  } else {
    problem = device::CountProblem("--count", value, limit);
  }
  if (!problem.empty()) {
    UsageError(problem);
    return false;
  }
  count = value;
  return true;
}

bool TCommand::TakeTyped(int row, const std::string& typed) {
  std::string problem;
  const std::string spelled = device::PickListSpelling(row, typed, sensor_.MeasuringRange());
  if (TakeTypedValue(row, Utf8ToCp1251(spelled), working_, sensor_.MeasuringRange(), problem)) {
    return true;
  }
  UsageError("row " + std::to_string(row) + " (" + NameOf(row) + "): " + AsUtf8(problem));
  return false;
}

int TCommand::ReadFile(const std::string& path, std::string& bytes) {
  std::string reason;
  if (!ReadRegularFile(path, MAX_PARAM_FILE_SIZE, bytes, reason)) {
    return Fail(EXIT_FILE, "Error reading '" + PrintableText(path) + "'. " + reason, "reading");
  }
  TParamSet scratch;
  const TParamFileRead read = ReadParamFileBytes(bytes, scratch);
  return read.Complete ? EXIT_OK : Fail(EXIT_FILE, ParamFileProblem(path, read), "reading");
}

int TCommand::WriteFile(const std::string& path, const std::string& bytes) {
  int error = 0;
  if (WriteFileReplacing(path, bytes, error)) return EXIT_OK;
  return Fail(EXIT_FILE, "Error writing '" + PrintableText(path) + "'. " + ErrnoSentence(error),
              "writing");
}

// 0 when the folder `path` would be written into is there and writable, else the errno.
int FolderProblem(const std::string& path) {
  if (path.empty()) return ENOENT;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) return errno;
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

int TCommand::CheckWriteTarget(const std::string& path) {
  int problem = WriteTargetProblem(path);
  if (problem == 0) problem = FolderProblem(path);
  if (problem != 0) {
    return Fail(EXIT_FILE, "Error writing '" + PrintableText(path) + "'. " + ErrnoSentence(problem),
                "writing");
  }
  if (access(path.c_str(), F_OK) == 0 && !args_.Force) {
    return Fail(EXIT_FILE, PrintableText(path) + " exists; --force replaces it", "writing");
  }
  return EXIT_OK;
}

int TCommand::PrintComparison(const std::vector<device::ParameterDifference>& differences,
                              int row) {
  if (args_.Json) {
    Json list = Json::array();
    const int16_t range = sensor_.MeasuringRange();
    for (const auto& d : differences) {
      list.push_back({{"row", d.Row},
                      {"key", KeyOf(d.Row)},
                      {"name", NameOf(d.Row)},
                      {"expected", Cp1251ToUtf8(GridCellText(d.Row, d.Expected, range))},
                      {"read", Cp1251ToUtf8(GridCellText(d.Row, d.Read, range))},
                      {"expected_raw", RawJson(d.Row, d.Expected)},
                      {"read_raw", RawJson(d.Row, d.Read)}});
    }
    Print(Json{{"equal", differences.empty()}, {"differences", list}});
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

Json IdentityJson(const IdentityRecord& id) {
  return {{"device_type", id.DeviceType},
          {"release", id.Release},
          {"serial_number", id.SerialNumber},
          {"base_distance_mm", id.BaseDistance},
          {"measuring_range_mm", id.MeasuringRange}};
}

int TCommand::Identify() {
  if (int code = OpenPort()) return code;
  Json list = Json::array();
  for (uint8_t address : args_.Addresses) {
    if (int code = ConnectAt(address, false)) return code;
    const IdentityRecord& id = identity_;
    if (args_.Json) {
      Json one = Many() ? Json{{"address", address}} : Json::object();
      one.update(IdentityJson(id));
      list.push_back(one);
      continue;
    }
    if (Many()) out_ << "address " << int(address) << '\n';
    out_ << "device_type: " << int(id.DeviceType) << '\n'
         << "release: " << int(id.Release) << '\n'
         << "serial_number: " << id.SerialNumber << '\n'
         << "base_distance_mm: " << id.BaseDistance << '\n'
         << "measuring_range_mm: " << id.MeasuringRange << '\n';
  }
  return Print(Many() ? list : list.front());
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
  Json list = Json::array();
  for (long i = 0; i < count; ++i) {
    if (args_.Json) {
      list.push_back({{"register", first + i}, {"value", bytes[i]}});
    } else {
      out_ << first + i << '\t' << int(bytes[i]) << '\n';
    }
  }
  return Print(list);
}

int TCommand::WriteRegisters() {
  long first;
  if (!ParseNumber(Arg(0), 0, 255, first)) return UsageError("FIRST must be a register 0 to 255");
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 1 < args_.Words.size(); ++i) {
    long v;
    if (!ParseNumber(Arg(i), 0, 255, v)) {
      return UsageError("'" + PrintableText(Arg(i)) + "' is not a byte value 0 to 255");
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
  Json list = Json::array();
  for (uint8_t address : args_.Addresses) {
    sensor_.SetAddress(address);
    uint16_t word = 0;
    if (Result r = sensor_.ReadResult(word); !r) return DeviceFailure(r, AddressTag(address));
    const int16_t value = static_cast<int16_t>(word);
    if (args_.Json) {
      list.push_back(Many() ? Json{{"address", address}, {"result", value}}
                            : Json{{"result", value}});
    } else {
      if (Many()) out_ << "address " << int(address) << '\n';
      out_ << value << '\n';
    }
  }
  return Print(Many() ? list : list.front());
}

int TCommand::ReadParams() {
  if (int code = OpenPort()) return code;
  Json list = Json::array();
  for (uint8_t address : args_.Addresses) {
    if (int code = ConnectAt(address, true)) return code;
    if (Many() && !args_.Json) out_ << "address " << int(address) << '\n';
    Json rows = Json::array();
    for (int row = 0; row < PARAM_COUNT; ++row) {
      const TPARAMVALUE& v = working_[row];
      const std::string shown = Cp1251ToUtf8(GridCellText(row, v, sensor_.MeasuringRange()));
      if (args_.Json) {
        rows.push_back({{"row", row},
                        {"key", KeyOf(row)},
                        {"name", NameOf(row)},
                        {"value", shown},
                        {"raw", RawJson(row, v)}});
      } else {
        out_ << row << '\t' << NameOf(row) << '\t' << shown << '\t' << ValueText(row, v) << '\n';
      }
    }
    list.push_back(Many() ? Json{{"address", address}, {"parameters", rows}} : rows);
  }
  return Print(Many() ? list : list.front());
}

int TCommand::LoadParam() {
  int row;
  if (!ParseRow(Arg(0), row)) return UsageError("ROW must be 0 to 35");
  if (int code = Connect()) return code;
  if (int code = ReadSharing(row)) return code;
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
  if (int code = Connect()) return code;
  if (int code = ReadSharing(row)) return code;
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
  const auto operation = device::FlashOperationNamed(Arg(0));
  if (!operation) return UsageError(std::string("flash takes ") + device::FLASH_CHOICES);
  if (int code = OpenPort()) return code;
  if (Result r = sensor_.Flash(*operation); !r) return DeviceFailure(r);
  if (args_.Json) return Ok();
  out_ << "flash " << device::FlashWord(*operation) << ": ok\n";
  return EXIT_OK;
}

int TCommand::SaveParams() {
  const std::string& path = Arg(0);
  // Better said before connecting.
  if (int code = CheckWriteTarget(path)) return code;
  if (int code = OpenPort()) return code;
  if (int code = ConnectAt(args_.Address(), true)) return code;
  if (int code = WriteFile(path, ParamFileBytes(working_))) return code;
  return Ok();
}

int TCommand::LoadParams() {
  std::string bytes;
  if (int code = ReadFile(Arg(0), bytes)) return code;
  if (int code = OpenPort()) return code;
  if (int code = ConnectAt(args_.Address(), true)) return code;
  ReadParamFileBytes(bytes, working_);
  // A file saved from another sensor would give this one its serial number and range.
  if (args_.Has("--keep-identity")) {
    device::KeepIdentityRows(working_, read_);
  } else if (const std::vector<int> differing = device::DifferingIdentityRows(working_, read_);
             !differing.empty()) {
    err_ << "karvo-cli: warning: " << PrintableText(Arg(0))
         << " is from another sensor: " << device::IdentityRowsText(differing, working_, read_)
         << "; --keep-identity keeps the sensor's own\n";
  }
  // The reader takes any number; a value from another sensor, or a typo, would go out with
  // only its low bytes.
  const std::vector<TValueIssue> issues = ValuesOutsideRows(working_, sensor_.MeasuringRange());
  if (!issues.empty() && !args_.Force) {
    for (const TValueIssue& issue : issues) {
      err_ << "karvo-cli: row " << issue.Row << " (" << NameOf(issue.Row)
           << "): " << AsUtf8(issue.Value) << ": " << AsUtf8(issue.Problem) << '\n';
    }
    return Fail(EXIT_FILE,
                PrintableText(Arg(0)) +
                    " holds values outside their rows; nothing was written "
                    "(--force writes them as they are)",
                "checking the file's values");
  }
  std::vector<int> failed;
  const Result first =
      device::WriteParameterSet(sensor_, working_, !issues.empty(), Cancel(), &failed);
  if (first) return Ok();
  if (first.Cancelled()) return DeviceFailure(first);
  std::string rows;
  for (int row : failed) rows += " " + std::to_string(row);
  return DeviceFailure(first, "writing failed for rows" + rows);
}

int TCommand::CompareParams() {
  std::string bytes;
  if (int code = ReadFile(Arg(0), bytes)) return code;
  if (int code = OpenPort()) return code;
  if (int code = ConnectAt(args_.Address(), true)) return code;
  ReadParamFileBytes(bytes, working_);
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
  options.SelectedAddress = args_.Address();
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
    Line(std::to_string(found.Baud) + ' ' + std::to_string(found.Address) + ' ' +
         std::to_string(found.Identity.DeviceType) + ' ' +
         std::to_string(found.Identity.SerialNumber));
    out_.flush();
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
  Json list = Json::array();
  for (const TFoundSensor& f : result.Found) {
    list.push_back({{"baud", f.Baud},
                    {"address", f.Address},
                    {"device_type", f.Identity.DeviceType},
                    {"serial_number", f.Identity.SerialNumber}});
  }
  // Nothing found is still an answer: the empty list.
  Print(list);
  if (result.Found.empty()) {
    return Fail(EXIT_DEVICE,
                "no sensor found (" + std::to_string(result.Probes) +
                    " combinations of baud rate and address tried)",
                "scan");
  }
  return EXIT_OK;
}

int TCommand::Measure() {
  int mode = -1;  // the mode the sensor's "Mode of Run" holds
  long long count = 10;
  const std::string data = Option("--data");
  if (args_.Has("--mode")) {
    const std::vector<uint32_t> modes = {RUN_LINE, RUN_NONLINE, RUN_TEMPERATURE, RUN_PULSE};
    if (const auto named = device::RunModeNamed(Option("--mode"), modes)) {
      mode = static_cast<int>(*named);
    } else {
      return UsageError("--mode takes " + device::RunModeChoices(modes) + ", not '" +
                        PrintableText(Option("--mode")) + "'");
    }
  }
  if (!ParseCount(device::MEASURE_COUNTS, count)) return EXIT_USAGE;
  if (Many() || args_.Has("--csv")) return MeasureRounds(mode, count);
  if (!data.empty()) {
    if (int code = CheckWriteTarget(data)) return code;
  }
  if (int code = Connect()) return code;
  uint32_t runMode = 0;
  if (mode >= 0) {
    runMode = static_cast<uint32_t>(mode);
  } else if (Result r = device::ReadHeldRunMode(sensor_, runMode); !r) {
    return DeviceFailure(r);
  }
  // A pulse profile has no result to zero on.
  if (args_.Has("--zero") && runMode != RUN_PULSE) {
    if (Result r = sensor_.ReadParameter(ROW_ZERO_POINT, working_[ROW_ZERO_POINT]); !r) {
      return DeviceFailure(r);
    }
    if (Result r = sensor_.Zero(working_); !r) return DeviceFailure(r);
  }
  Json document = {{"unit", UnitOf(runMode)}};
  Json values = Json::array();
  TSampleTimes times;
  TSampleRing ring;
  Result r;
  Json pulses = Json::array();
  if (runMode == RUN_PULSE) {
    for (long long taken = 0; taken < count && r; ++taken) {
      if (interrupt_.Token.Cancelled()) r = Result::Failure(device::ST_CANCELLED, "measuring");
      PulseRecord pulse;
      if (r) r = sensor_.ReadPulse(pulse);
      if (!r) break;
      times.Mark();
      if (args_.Json) {
        values.push_back(pulse.Position);
        pulses.push_back({{"position", pulse.Position},
                          {"exposure", pulse.Exposure / 10},
                          {"samples", pulse.Samples}});
        continue;
      }
      std::string samples;
      for (size_t i = 0; i < PULSE_SAMPLES; ++i) {
        samples += (i ? " " : "") + std::to_string(pulse.Samples[i]);
      }
      out_ << "position: " << pulse.Position << " px\n"
           << "exposure: " << pulse.Exposure / 10 << " mks\n";
      Line(samples);
    }
  } else {
    r = sensor_.Measure(runMode, static_cast<size_t>(count),
                        ValueSink(runMode, ring, values, times), Cancel());
  }
  // A stopped run keeps what it took; any other failure is the one document.
  if (!r && !r.Cancelled()) return DeviceFailure(r);
  times.AddTo(document, args_.Has("--times"));
  document["values"] = values;
  if (runMode == RUN_PULSE) document["pulses"] = pulses;
  Print(document);
  if (!data.empty()) {
    if (int code = WriteFile(data, DataFileBytes(ring))) return code;
  }
  if (r.Cancelled()) return Fail(interrupt_.ExitStatus(), "measuring stopped", "measuring");
  return EXIT_OK;
}

int TCommand::MeasureRounds(int mode, long long count) {
  if (mode == static_cast<int>(RUN_PULSE)) {
    return UsageError(Many() ? "--mode Pulse takes one address" : "--csv takes no Pulse profiles");
  }
  if (Many() && args_.Has("--data")) {
    return UsageError("--data takes one address; --csv writes the rounds of several");
  }
  for (const char* option : {"--csv", "--data"}) {
    if (!args_.Has(option)) continue;
    if (int code = CheckWriteTarget(Option(option))) return code;
  }
  if (int code = OpenPort()) return code;
  std::vector<device::PolledSensor> polled;
  for (uint8_t address : args_.Addresses) {
    // Everything that can fail before the first round does, so that a run is not started on
    // a line with a sensor missing.
    if (int code = ConnectAt(address, false)) return code;
    device::Sensor sensor(line_, address);
    sensor.SetCancelToken(&interrupt_.Token);
    sensor.SetMeasuringRange(sensor_.MeasuringRange());
    device::PolledSensor p{.Address = address, .MeasuringRange = sensor_.MeasuringRange()};
    if (mode >= 0) {
      p.RunMode = static_cast<uint32_t>(mode);
    } else if (Result r = device::ReadHeldRunMode(sensor, p.RunMode); !r) {
      return DeviceFailure(r, AddressTag(address));
    }
    if (args_.Has("--zero") && p.RunMode != RUN_PULSE) {
      if (Result r = sensor.ReadParameter(ROW_ZERO_POINT, working_[ROW_ZERO_POINT]); !r) {
        return DeviceFailure(r, AddressTag(address));
      }
      if (Result r = sensor.Zero(working_); !r) return DeviceFailure(r, AddressTag(address));
    }
    polled.push_back(p);
  }
  device::Rounds taken(line_, polled);
  taken.SetCancelToken(&interrupt_.Token);
  Json document = {{"unit", UnitOf(polled.front().RunMode)}, {"addresses", args_.Addresses}};
  Json rounds = Json::array();
  std::string csv = "round,time_s";
  std::string header = "round";
  for (uint8_t address : args_.Addresses) {
    csv += "," + std::to_string(address);
    header += '\t' + std::to_string(address);
  }
  csv += "\n";
  if (!args_.Json) Line(header);
  TSampleTimes times;
  TSampleRing ring;  // one sensor's values, for --data
  Result failure;
  std::vector<std::optional<float>> values;
  for (long long round = 1; round <= count && failure; ++round) {
    failure = taken.Next(values);
    // A round cut short is not a round; a sensor's silence still shows the round it ended.
    if (!failure && !taken.SilentAddress()) break;
    times.Mark();
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", times.Offsets.back());
    csv += std::to_string(round) + "," + time;
    std::string line = std::to_string(round);
    Json row = Json::array();
    for (size_t i = 0; i < polled.size(); ++i) {
      csv += ",";
      line += '\t';
      if (!values[i]) {
        row.push_back(nullptr);
        continue;
      }
      row.push_back(JsonNumber(*values[i]));
      if (!Many()) ring.Store(*values[i]);
      csv += JsonNumber(*values[i]).dump();
      line += ResultText(polled[i].RunMode, *values[i]);
    }
    rounds.push_back(row);
    csv += "\n";
    if (!args_.Json) Line(line);
  }
  // What was measured is kept, also when a sensor went silent.
  times.AddTo(document, args_.Has("--times"));
  document["rounds"] = rounds;
  Print(document);
  if (args_.Has("--csv")) {
    if (int code = WriteFile(Option("--csv"), csv)) return code;
  }
  if (args_.Has("--data")) {
    if (int code = WriteFile(Option("--data"), DataFileBytes(ring))) return code;
  }
  // The rounds were the one JSON document; a stop is said on stderr alone.
  if (failure.Cancelled() || interrupt_.Token.Cancelled()) {
    return Fail(interrupt_.ExitStatus(), "measuring stopped", "measuring");
  }
  if (!failure) return Report(EXIT_DEVICE, failure.Status, failure.Reason, failure.Doing);
  return EXIT_OK;
}

int TCommand::Stream() {
  long long count = 10;
  // One ring's worth: the data file holds what the ring keeps.
  if (!ParseCount(device::STREAM_COUNTS, count)) return EXIT_USAGE;
  const std::string data = Option("--data");
  if (!data.empty()) {
    if (int code = CheckWriteTarget(data)) return code;
  }
  if (int code = Connect()) return code;
  uint32_t runMode = 0;
  if (Result r = device::ReadHeldRunMode(sensor_, runMode); !r) return DeviceFailure(r);
  Json document = {{"unit", UnitOf(runMode)}};
  Json values = Json::array();
  TSampleTimes times;
  TSampleRing ring;
  uint64_t lost = 0;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Result r = sensor_.Stream(runMode, static_cast<uint64_t>(count),
                                  ValueSink(runMode, ring, values, times), Cancel(), &lost);
  if (!r && !r.Cancelled()) {
    if (lost > 0) err_ << "karvo-cli: " << lost << " samples lost on the line\n";
    return DeviceFailure(r);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  times.AddTo(document, args_.Has("--times"));
  document["lost"] = lost;
  document["values"] = values;
  Print(document);
  out_.flush();
  char summary[160];
  std::snprintf(summary, sizeof summary,
                "stream: %u samples in %.3f s, %.0f samples/s, %llu lost\n", ring.SampleCount,
                seconds, seconds > 0 ? ring.SampleCount / seconds : 0.0,
                static_cast<unsigned long long>(lost));
  err_ << summary;
  if (!data.empty()) {
    if (int code = WriteFile(data, DataFileBytes(ring))) return code;
  }
  if (r.Cancelled()) return Fail(interrupt_.ExitStatus(), "streaming stopped", "streaming");
  return EXIT_OK;
}

int TCommand::Sweep() {
  const auto kind = device::SweepKindNamed(Arg(0));
  if (!kind) return UsageError(std::string("sweep takes ") + device::SWEEP_CHOICES);
  const bool writesFile = device::SweepExtension(*kind) != nullptr;
  const std::string stagePort = Option("--stage");
  std::string file = Option("--file");
  if (stagePort.empty()) return UsageError("sweep needs --stage PORT");
  if (const std::string problem = PortNameProblem("--stage", stagePort); !problem.empty()) {
    return UsageError(problem);
  }
  const std::string stageName = NormalPortName(stagePort);
  if (!file.empty() && !writesFile) return UsageError("--file is for calibrate and verify");
  if (int code = OpenPort()) return code;
  if (int code = ConnectAt(args_.Address(), true)) return code;
  if (writesFile) {
    if (file.empty()) file = device::DefaultSweepFile(*kind, identity_.SerialNumber);
    // Checked before the sweep: a refused file found only at its end would waste the run.
    if (int code = CheckWriteTarget(file)) return code;
  }
  device::Stage stage;
  if (Result r = stage.Open(stageName); !r) {
    return NoPort(r, "the stage port " + stagePort);
  } else if (!r.Notice.empty()) {
    err_ << "karvo-cli: the stage port: " << AsUtf8(r.Notice) << '\n';
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextReport = Clock::now();
  device::SweepOptions options;
  options.Kind = *kind;
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
  if (!writesFile) return r ? Ok() : DeviceFailure(r);
  const bool calibrate = *kind == device::SweepKind::Calibrate;
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
  Json document = {{"steps", result.Steps}};
  if (calibrate) {
    document["table_checked"] = result.Table.Passed;
  } else {
    document["error_percent"] = result.Verification.ErrorPercent;
  }
  document["file"] = AsUtf8(result.File);
  return Print(document);
}

}  // namespace

namespace {

struct TCommandOption {
  const char* Name;
  bool Valued;
};

struct TCommandEntry {
  const char* Name;
  const char* Synopsis;     // the command and its arguments as the usage shows them
  const char* Description;  // lines of at most 50 characters
  size_t MinArgs;
  size_t MaxArgs;
  std::vector<TCommandOption> Options;  // the command's own
  bool Polls;                           // takes a list of addresses
  int (TCommand::*Handler)();
};

// Every command of the program, in the order the usage lists them.
const std::vector<TCommandEntry>& Commands() {
  static const std::vector<TCommandEntry> commands = {
      {"identify",
       "identify",
       "the sensor's identity, one 'name: value' a line",
       0,
       0,
       {},
       true,
       &TCommand::Identify},
      {"read-registers",
       "read-registers FIRST COUNT",
       "register bytes, one 'register<TAB>value' a line",
       2,
       2,
       {},
       false,
       &TCommand::ReadRegisters},
      {"write-registers",
       "write-registers FIRST BYTE...",
       "write bytes from register FIRST up",
       2,
       256,
       {},
       false,
       &TCommand::WriteRegisters},
      {"result",
       "result",
       "one measurement, the raw signed word",
       0,
       0,
       {},
       true,
       &TCommand::ReadResult},
      {"read-params",
       "read-params",
       "all 36 parameters: row, name, shown value, raw value",
       0,
       0,
       {},
       true,
       &TCommand::ReadParams},
      {"load-param",
       "load-param ROW VALUE",
       "write one parameter, VALUE as shown in the grid",
       2,
       2,
       {},
       false,
       &TCommand::LoadParam},
      {"compare",
       "compare ROW VALUE",
       "compare one parameter of the sensor with VALUE",
       2,
       2,
       {},
       false,
       &TCommand::Compare},
      {"flash",
       "flash store|restore|factory",
       "commit to FLASH, restore the factory set, or make the\ncurrent set the factory set",
       1,
       1,
       {},
       false,
       &TCommand::Flash},
      {"save-params",
       "save-params FILE",
       "read all parameters and write a .prm file",
       1,
       1,
       {},
       false,
       &TCommand::SaveParams},
      {"load-params",
       "load-params FILE [--keep-identity]",
       "write the parameters of a .prm file to the sensor;\nvalues outside their rows only with "
       "--force;\nidentity rows from another sensor are warned of,\nand kept as the sensor has "
       "them with\n--keep-identity",
       1,
       1,
       {{"--keep-identity", false}},
       false,
       &TCommand::LoadParams},
      {"compare-params",
       "compare-params FILE",
       "compare the sensor with a .prm file",
       1,
       1,
       {},
       false,
       &TCommand::CompareParams},
      {"scan",
       "scan [--all]",
       "find the sensor at any baud rate and address (those\ngiven tried first): 'baud address "
       "device_type\nserial_number' a line, the first found, or with\n--all every sensor on the "
       "line",
       0,
       0,
       {{"--all", false}},
       false,
       &TCommand::Scan},
      {"measure",
       "measure [--mode Line|NonLine|Temperature|Pulse] [--count N] [--zero]\n[--data FILE] "
       "[--csv FILE] [--times]",
       "N results (default 10) in the given mode or the one\nthe sensor's 'Mode of Run' holds, "
       "each as the display\nshows it; in Pulse, position, exposure and the 128\nprofile samples; "
       "--zero makes a zero set first;\n--data writes the data file after. With several\n"
       "addresses, N rounds of one result from each, in\nturn: 'round' and the addresses, then a "
       "line a round;\n--csv writes 'round,time_s' and the addresses, a\nrow a round; N is 1 to "
       "100000000; --times adds\neach sample's time to --json",
       0,
       0,
       {{"--mode", true},
        {"--count", true},
        {"--zero", false},
        {"--data", true},
        {"--csv", true},
        {"--times", false}},
       true,
       &TCommand::Measure},
      {"stream",
       "stream [--count N] [--data FILE] [--times]",
       "N streamed samples (1 to 65535, default 10) as the\ndisplay shows them, a summary on "
       "stderr\nwith the samples lost on the line",
       0,
       0,
       {{"--count", true}, {"--data", true}, {"--times", false}},
       false,
       &TCommand::Stream},
      {"sweep",
       "sweep calibrate|verify|home|end --stage PORT [--file FILE]",
       "a stage-driven run: calibrate prints the steps and\nwhether the table was loaded and "
       "checked, and writes\nthe .klb file; verify prints the error and writes the\n.pvk file "
       "(FILE defaults to the serial number and the\nextension; an existing one only with "
       "--force); home\nand end move the stage. Progress on stderr",
       1,
       1,
       {{"--stage", true}, {"--file", true}},
       false,
       &TCommand::Sweep},
  };
  return commands;
}

// Commands that bring their own options and code (publish) join the parser here.
const std::vector<TExtraCommand>& ExtraCommands() {
  // One command line per process: the options live from parsing to running.
  static PublishOptions publish;
  static const std::vector<TExtraCommand> extra = {
      {[](CLI::App& app) {
         publish = PublishOptions{};
         AddPublishCommand(app, publish);
         return app.get_subcommand("publish");
       },
       [](const TArguments& global, std::ostream&, std::ostream& err, TInterrupt& interrupt) {
         publish.Port = global.Port;
         publish.Baud = global.Baud;
         publish.Addresses.assign(global.Addresses.begin(), global.Addresses.end());
         publish.Interrupt = &interrupt;
         publish.Err = &err;
         return RunPublish(publish);
       }},
  };
  return extra;
}

const char* const PUBLISH_USAGE =
    "  publish --broker mqtt://HOST[:PORT] [--every MS|--stream] [--count N] [--topic P]\n"
    "          [--qos 0|1] [--client-id ID] [--keepalive S] [--user NAME]\n"
    "          [--password-file FILE] [--cafile FILE] [--buffer-seconds S]\n"
    "                                measure the sensors of --address (a list: 1,2,3) and\n"
    "                                publish them to an MQTT broker ('publish --help')\n";

const char* const GLOBAL_SYNOPSIS =
    "[--port COMn|USB|PATH] [--baud N] [--address N[,N...]] [--trace]\n"
    "                 [--force] [--json]";

const char* const USAGE_FOOTER_TEXT =
    "options may stand before or after the command; '--' ends them. --json prints one\n"
    "JSON document on stdout instead of the lines, also on failure:\n"
    "{\"error\": {\"status\": N, \"name\": ..., \"reason\": ..., \"doing\": ...}}.\n"
    "--address takes a list (1,2,3) for identify, read-params, result, measure and\n"
    "publish; the others take one address. Modes and pick-list values in any case.\n"
    "defaults: --port COM1 --baud 9600 --address 1\n"
    "exit status: 0 success, 1 compare found differences, 2 bad arguments,\n"
    "             3 port cannot be opened, 4 sensor or stage failure,\n"
    "             5 file failure or output not written, 6 the broker refuses the\n"
    "             connection, 128+N stopped by signal N (130 for Ctrl-C, 141 when\n"
    "             the reader of the output went away)\n";

// The footer with the table of statuses the JSON error document and --trace name.
std::string UsageFooter() {
  std::string text =
      std::string(USAGE_FOOTER_TEXT) + "statuses (\"status\" and \"name\" of an error):\n";
  const auto add = [&](const device::StatusEntry& e) {
    char line[160];
    std::snprintf(line, sizeof line, "  %3u %-17s %s\n", e.Status, e.Name, e.Text);
    text += line;
  };
  for (const device::StatusEntry& e : device::StatusTable()) add(e);
  for (const device::StatusEntry& e : CliStatusTable()) add(e);
  return text;
}

// The description's lines, the first beside the synopsis when there is room.
std::string CommandLines(const TCommandEntry& e) {
  constexpr size_t COLUMN = 30;
  std::string text;
  std::string synopsis = e.Synopsis;
  for (size_t nl; (nl = synopsis.find('\n')) != std::string::npos;) {
    text += "  " + synopsis.substr(0, nl) + "\n";
    synopsis = "    " + synopsis.substr(nl + 1);
  }
  text += "  " + synopsis;
  const std::string indent(COLUMN + 2, ' ');
  const std::string description = e.Description;
  size_t start = 0;
  bool first = true;
  while (start <= description.size()) {
    const size_t nl = description.find('\n', start);
    const std::string line =
        description.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (first && synopsis.size() < COLUMN) {
      text += std::string(COLUMN - synopsis.size(), ' ') + line + "\n";
    } else {
      if (first) text += "\n";
      text += indent + line + "\n";
    }
    first = false;
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return text;
}

std::string CommandHelp(const TCommandEntry& e) {
  return std::string("usage: karvo-cli ") + GLOBAL_SYNOPSIS + " " + e.Name + " ...\n" +
         CommandLines(e) + UsageFooter();
}

const TCommandEntry* FindCommand(const std::string& name) {
  for (const TCommandEntry& e : Commands()) {
    if (name == e.Name) return &e;
  }
  return nullptr;
}

// Options anywhere: the parser takes a command's own options only after the command, and
// the command only before a "--", so the command is put in front of both.
std::vector<std::string> CommandFirst(const std::vector<std::string>& args) {
  const auto valued = [](const std::string& name) {
    if (name == "--port" || name == "--baud" || name == "--address") return true;
    for (const TCommandEntry& e : Commands()) {
      for (const TCommandOption& option : e.Options) {
        if (name == option.Name) return option.Valued;
      }
    }
    return false;
  };
  std::vector<std::string> options;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    size_t command = i;
    if (word == "--") {
      command = i + 1;
    } else if (word.size() > 1 && word[0] == '-') {
      options.push_back(word);
      if (word.find('=') == std::string::npos && valued(word) && i + 1 < args.size()) {
        options.push_back(args[++i]);
      }
      continue;
    }
    if (command >= args.size() || !FindCommand(args[command])) return args;
    std::vector<std::string> ordered = {args[command]};
    ordered.insert(ordered.end(), options.begin(), options.end());
    if (command != i) ordered.push_back("--");
    ordered.insert(ordered.end(), args.begin() + static_cast<long>(command) + 1, args.end());
    return ordered;
  }
  return args;
}

}  // namespace

std::string Usage() {
  std::string text = std::string("usage: karvo-cli ") + GLOBAL_SYNOPSIS +
                     " COMMAND [ARGS]\n"
                     "       karvo-cli COMMAND --help | --help | --version\n"
                     "commands:\n";
  for (const TCommandEntry& e : Commands()) text += CommandLines(e);
  text += PUBLISH_USAGE;
  return text + UsageFooter();
}

std::string UsageHint(const std::string& command) {
  const std::string help =
      command.empty() ? "karvo-cli --help" : "karvo-cli " + command + " --help";
  return "Try '" + help + "' for more information.";
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        TInterrupt* interrupt) {
  TArguments parsed;
  std::string baudText, addressText;
  CLI::App app("Setup and measurement of laser distance sensors", "karvo-cli");
  // The last of an option given twice counts, as with other GNU tools.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_help_flag("-h,--help");
  app.set_version_flag("--version", "karvo-cli " KARVO_VERSION);
  // Global options after the command belong to the program still.
  app.fallthrough();
  CLI::Option* portOption = app.add_option("--port", parsed.Port);
  CLI::Option* baudOption = app.add_option("--baud", baudText);
  CLI::Option* addressOption = app.add_option("--address", addressText);
  for (auto [flag, value] :
       {std::pair{"--trace", &parsed.Trace}, std::pair{"--force", &parsed.Force},
        std::pair{"--json", &parsed.Json}}) {
    app.add_flag(flag, *value)->disable_flag_override();
  }

  struct TParsedCommand {
    const TCommandEntry* Entry = nullptr;
    CLI::App* App = nullptr;
    std::vector<std::string> Words;
    std::map<std::string, std::string> Values;
  };
  const std::vector<TCommandEntry>& commands = Commands();
  std::vector<TParsedCommand> parsedCommands(commands.size());
  for (size_t i = 0; i < commands.size(); ++i) {
    TParsedCommand& c = parsedCommands[i];
    c.Entry = &commands[i];
    c.App = app.add_subcommand(commands[i].Name);
    c.App->add_option("args", c.Words);
    for (const TCommandOption& option : commands[i].Options) {
      if (option.Valued) {
        c.App->add_option(option.Name, c.Values[option.Name]);
      } else {
        c.App->add_flag(option.Name)->disable_flag_override();
      }
    }
  }
  std::vector<CLI::App*> extraApps;
  for (const TExtraCommand& extra : ExtraCommands()) extraApps.push_back(extra.Add(app));
  // Words nobody takes are kept, so that the message can say what they are. Set after the
  // commands were added, which would otherwise keep them too instead of passing them up.
  app.allow_extras();

  // A usage error names the command whose help says more.
  const auto chosenName = [&]() -> std::string {
    const auto chosen = app.get_subcommands();
    return chosen.empty() ? "" : chosen.front()->get_name();
  };
  // A line that asks for JSON gets its usage error as JSON too, even one that did not parse.
  const auto jsonAsked = [&] {
    if (parsed.Json) return true;
    for (const std::string& word : args) {
      if (word == "--") break;
      if (word == "--json") return true;
    }
    return false;
  };
  const auto usageError = [&](const std::string& message) {
    err << "karvo-cli: " << message << '\n' << UsageHint(chosenName()) << '\n';
    if (jsonAsked()) out << ErrorDocument(ST_USAGE, message, chosenName());
    return EXIT_USAGE;
  };
  try {
    const std::vector<std::string> ordered = CommandFirst(args);
    std::vector<std::string> reversed(ordered.rbegin(), ordered.rend());
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const TCommandEntry* entry = FindCommand(chosenName());
    out << (entry ? CommandHelp(*entry) : Usage());
    return EXIT_OK;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n';
    return EXIT_OK;
  } catch (const CLI::ParseError& e) {
    return usageError(e.what());
  }
  const std::string name = chosenName();
  if (!app.remaining().empty()) {
    const std::string word = app.remaining().front();
    if (word.size() > 1 && word[0] == '-') return usageError("unknown option '" + word + "'");
    if (name.empty()) return usageError("unknown command '" + word + "'");
    return usageError("unexpected '" + word + "'");
  }
  if (name.empty()) return usageError("no command given");
  if (portOption->count() > 0) {
    if (const std::string problem = PortNameProblem("--port", parsed.Port); !problem.empty()) {
      return usageError(problem);
    }
    parsed.Port = NormalPortName(parsed.Port);
  }
  if (baudOption->count() > 0) {
    long baud = 0;
    // A rate the sensor does not know would only fail at the first time-out.
    if (!ParseNumber(baudText, 0, std::numeric_limits<long>::max(), baud)) {
      std::string problem = device::BaudProblem("--baud", 0);
      problem = problem.substr(0, problem.rfind("not ")) + "not '" + PrintableText(baudText) + "'";
      return usageError(problem);
    }
    if (const std::string problem = device::BaudProblem("--baud", baud); !problem.empty()) {
      return usageError(problem);
    }
    parsed.Baud = static_cast<uint32_t>(baud);
  }
  if (addressOption->count() > 0 && !ParseAddresses(addressText, parsed.Addresses)) {
    return usageError("the address must be 1 to 127, or a list of them such as 1,2,3, not '" +
                      PrintableText(addressText) + "'");
  }
  TInterrupt own;
  TInterrupt& stop = interrupt ? *interrupt : own;
  for (size_t i = 0; i < extraApps.size(); ++i) {
    if (extraApps[i]->parsed()) return ExtraCommands()[i].Run(parsed, out, err, stop);
  }
  for (TParsedCommand& c : parsedCommands) {
    if (!c.App->parsed()) continue;
    const TCommandEntry& e = *c.Entry;
    if (parsed.Addresses.size() > 1 && !e.Polls) return usageError(name + " takes one address");
    if (c.Words.size() < e.MinArgs || c.Words.size() > e.MaxArgs) {
      return usageError("wrong number of arguments for " + name);
    }
    parsed.Words = {name};
    parsed.Words.insert(parsed.Words.end(), c.Words.begin(), c.Words.end());
    for (const TCommandOption& option : e.Options) {
      if (c.App->count(option.Name) == 0) continue;
      const std::string& value = c.Values[option.Name];
      if (option.Valued && value.empty())
        return usageError(std::string(option.Name) + " needs a value");
      parsed.Options[option.Name] = value;
    }
    TCommand command(parsed, out, err, stop);
    return command.Run(e.Handler);
  }
  return usageError("no command given");
}

}  // namespace karvo::cli
