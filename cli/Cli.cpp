#include "cli/Cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "app/Operator.h"
#include "app/Session.h"
#include "measure/RunModes.h"
#include "params/ParamGrid.h"
#include "params/ParamTable.h"
#include "protocol/SensorScan.h"
#include "stage/SweepFiles.h"

namespace karvo::cli {

namespace {

struct TOptions {
  std::string Port = "COM1";
  uint32_t Baud = 9600;
  uint8_t Address = 1;
  bool Trace = false;
  bool Force = false;
  std::vector<std::string> Words;  // the command and its arguments
};

// Answers the session's questions from the command line's options and keeps its messages,
// so that each command can decide what to print.
class TCliOperator : public TOperator {
 public:
  std::string FileName;
  bool Overwrite = false;
  std::vector<std::string> Messages;
  bool OverwriteRefused = false;

  void Message(const std::string& text, const std::string&, TIcon) override {
    Messages.push_back(text);
  }
  bool Confirm(const std::string&, const std::string&) override {
    if (!Overwrite) OverwriteRefused = true;
    return Overwrite;
  }
  bool RetryCancel(const std::string&, const std::string&) override { return false; }
  std::optional<std::string> AskSaveFile(const std::string&) override { return FileName; }
  std::optional<std::string> AskOpenFile() override { return FileName; }
  void Beep() override {}
  void EditRange(int32_t&, int32_t&) override {}
  void Refresh() override {}
};

// The session's messages are Windows-1251 with CR alone as the line break; the terminal
// gets UTF-8 lines.
std::string Lines(const std::string& text) {
  std::string out;
  for (char c : text) out += (c == '\r') ? '\n' : c;
  return Cp1251ToUtf8(out);
}

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

std::string StatusLine(uint32_t status) {
  return "status " + std::to_string(status) + " (" + StatusText(status) + ")";
}

class TCommand {
 public:
  TCommand(const TOptions& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err), session_(person_) {
    session_.FormCreate();
    person_.Overwrite = options.Force;
    if (options.Trace) {
      session_.SensorLink->Trace = [this](char direction, const uint8_t* bytes, size_t count) {
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
  int DeviceFailure(const std::string& what) {
    const std::string& reason = session_.SensorLink->LastReason();
    return Fail(EXIT_DEVICE, what + " failed: " + StatusLine(session_.LastStatus) +
                                 (reason.empty() ? "" : ": " + reason));
  }
  int UsageError(const std::string& message) { return Fail(EXIT_USAGE, message + "\n" + Usage()); }

  // Opens the port with the options' settings; on failure says why.
  int OpenPort() {
    session_.View.PortText = options_.Port;
    session_.ComboBoxCOMChange();
    session_.LinkBaud = options_.Baud;
    session_.DeviceAddress = options_.Address;
    if (session_.OpenSensorPort()) return EXIT_OK;
    const TInterface& port = session_.SensorLink->Port;
    std::string reason =
        port.LastReason.empty() ? "port already in use or not available" : port.LastReason;
    return Fail(EXIT_NO_PORT, "cannot open " + options_.Port + ": " + reason);
  }

  // Opens, identifies and reads all parameters into both sets, as a connect does.
  int Connect(bool readParameters) {
    if (int code = OpenPort()) return code;
    if (!session_.IdentifySensor()) return DeviceFailure("identify");
    if (!readParameters) return EXIT_OK;
    if (!session_.ReadAllParameters()) return DeviceFailure("reading the parameters");
    session_.AdoptReadValues();
    session_.FillParamGrid();
    return EXIT_OK;
  }

  bool Arguments(size_t count) const { return options_.Words.size() == count + 1; }
  const std::string& Arg(size_t i) const { return options_.Words[i + 1]; }

  bool ParseRow(const std::string& text, int& row) {
    long v;
    if (!ParseNumber(text, 0, PARAM_COUNT - 1, v)) return false;
    row = static_cast<int>(v);
    return true;
  }

  // Puts a value typed as in the grid's cell into the working set, by the grid's rules.
  bool SetWorkingValue(int row, const std::string& typed) {
    if (row == ROW_WINDOW_BEGIN || row == ROW_WINDOW_END) {
      // The grid takes these two only from the range window, in whole percent.
      long percent;
      if (!ParseNumber(typed, 0, 100, percent)) {
        Fail(EXIT_USAGE, "row " + std::to_string(row) + " takes a whole percent 0 to 100");
        return false;
      }
      session_.ParamWrite[row].Value = PercentToWindowValue(static_cast<int32_t>(percent));
      return true;
    }
    size_t shown = person_.Messages.size();
    session_.SelParam = static_cast<uint8_t>(row);
    session_.View.Grid[row].Value = Utf8ToCp1251(typed);
    session_.CommitParamEdit();
    if (person_.Messages.size() != shown) {
      Fail(EXIT_USAGE, Lines(person_.Messages.back()));
      return false;
    }
    return true;
  }

  void PrintRow(int row) {
    const TPARAMVALUE& v = session_.ParamWrite[row];
    std::string raw = ParamTable[row].Kind == KIND_TEXT
                          ? Cp1251ToUtf8(v.Text)
                          : std::to_string(static_cast<int32_t>(v.Value));
    out_ << row << '\t' << Cp1251ToUtf8(ParamTable[row].Name) << '\t'
         << Cp1251ToUtf8(session_.DisplayText(row)) << '\t' << raw << '\n';
  }

  int Identify();
  int ReadRegisters();
  int WriteRegisters();
  int Result();
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

  // The command's own options after its word: "--name value" or "--name=value", and flags.
  // False (after saying why) on an option that is not in `valued` or `flags`.
  bool CommandOptions(const std::vector<std::string>& valued, const std::vector<std::string>& flags,
                      std::vector<std::pair<std::string, std::string>>& found, size_t first = 1);
  // The sensor stopped answering: the window's teardown, then exit 4 with the reason.
  int SensorLost();
  // Writes the data file as "Save data to file" does.
  int SaveData(const std::string& path);

  const TOptions& options_;
  std::ostream& out_;
  std::ostream& err_;
  TCliOperator person_;
  TSession session_;
};

int TCommand::Run() {
  const std::string& name = options_.Words[0];
  struct Entry {
    const char* Name;
    size_t MinArgs;
    size_t MaxArgs;
    int (TCommand::*Handler)();
  };
  static const Entry kCommands[] = {
      {"identify", 0, 0, &TCommand::Identify},
      {"read-registers", 2, 2, &TCommand::ReadRegisters},
      {"write-registers", 2, 256, &TCommand::WriteRegisters},
      {"result", 0, 0, &TCommand::Result},
      {"read-params", 0, 0, &TCommand::ReadParams},
      {"load-param", 2, 2, &TCommand::LoadParam},
      {"compare", 2, 2, &TCommand::Compare},
      {"flash", 1, 1, &TCommand::Flash},
      {"save-params", 1, 1, &TCommand::SaveParams},
      {"load-params", 1, 1, &TCommand::LoadParams},
      {"compare-params", 1, 1, &TCommand::CompareParams},
      {"scan", 0, 1, &TCommand::Scan},
      {"measure", 0, 7, &TCommand::Measure},
      {"stream", 0, 4, &TCommand::Stream},
      {"sweep", 1, 5, &TCommand::Sweep},
  };
  for (const Entry& e : kCommands) {
    if (name != e.Name) continue;
    size_t n = options_.Words.size() - 1;
    if (n < e.MinArgs || n > e.MaxArgs) {
      return UsageError("wrong number of arguments for " + name);
    }
    return (this->*e.Handler)();
  }
  return UsageError("unknown command '" + name + "'");
}

int TCommand::Identify() {
  if (int code = Connect(false)) return code;
  const IdentityRecord& id = session_.DeviceIdentity;
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
  // The count travels in one byte; 256 registers take two series.
  for (long done = 0; done < count;) {
    long part = std::min(count - done, 255L);
    uint32_t status = session_.SensorLink->ReadRegisters(
        session_.DeviceAddress, static_cast<uint8_t>(first + done), static_cast<uint8_t>(part),
        bytes.data() + done);
    session_.LastStatus = status;
    if (status != ST_OK) return DeviceFailure("reading registers");
    done += part;
  }
  for (long i = 0; i < count; ++i) out_ << first + i << '\t' << int(bytes[i]) << '\n';
  return EXIT_OK;
}

int TCommand::WriteRegisters() {
  long first;
  if (!ParseNumber(Arg(0), 0, 255, first)) return UsageError("FIRST must be a register 0 to 255");
  std::vector<uint8_t> bytes;
  for (size_t i = 1; i + 1 < options_.Words.size(); ++i) {
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
  // The highest registers go first, as in one series.
  for (long end = static_cast<long>(bytes.size()); end > 0;) {
    long part = std::min(end, 255L);
    long start = end - part;
    uint32_t status = session_.SensorLink->WriteRegisters(
        session_.DeviceAddress, static_cast<uint8_t>(first + start), static_cast<uint8_t>(part),
        bytes.data() + start);
    session_.LastStatus = status;
    if (status != ST_OK) return DeviceFailure("writing registers");
    end = start;
  }
  return EXIT_OK;
}

int TCommand::Result() {
  if (int code = OpenPort()) return code;
  uint16_t word = 0;
  uint32_t status = session_.SensorLink->ReadResult(session_.DeviceAddress, word);
  session_.LastStatus = status;
  if (status != ST_OK) return DeviceFailure("reading the result");
  out_ << static_cast<int16_t>(word) << '\n';
  return EXIT_OK;
}

int TCommand::ReadParams() {
  if (int code = Connect(true)) return code;
  for (int row = 0; row < PARAM_COUNT; ++row) PrintRow(row);
  return EXIT_OK;
}

int TCommand::LoadParam() {
  int row;
  if (!ParseRow(Arg(0), row)) return UsageError("ROW must be 0 to 35");
  if (int code = Connect(true)) return code;
  if (!SetWorkingValue(row, Arg(1))) return EXIT_USAGE;
  session_.LoadParameter(row);
  if (session_.LastStatus != ST_OK) return DeviceFailure("writing row " + std::to_string(row));
  PrintRow(row);
  return EXIT_OK;
}

int TCommand::Compare() {
  int row;
  if (!ParseRow(Arg(0), row)) return UsageError("ROW must be 0 to 35");
  if (int code = Connect(true)) return code;
  if (!SetWorkingValue(row, Arg(1))) return EXIT_USAGE;
  std::string message = session_.CompareMessage(row);
  if (session_.LastStatus != ST_OK) return DeviceFailure("reading row " + std::to_string(row));
  out_ << Lines(message) << '\n';
  return message == "Ok!" ? EXIT_OK : EXIT_DIFFERENT;
}

int TCommand::Flash() {
  const std::string& what = Arg(0);
  if (what != "store" && what != "restore" && what != "factory") {
    return UsageError("flash takes store, restore or factory");
  }
  if (int code = OpenPort()) return code;
  if (what == "store") session_.WriteToFlash();
  if (what == "restore") session_.RestoreFactory();
  if (what == "factory") session_.WriteToFactory();
  if (session_.LastStatus != ST_OK) return DeviceFailure("flash " + what);
  out_ << "flash " << what << ": ok\n";
  return EXIT_OK;
}

int TCommand::SaveParams() {
  person_.FileName = Arg(0);
  if (int code = Connect(true)) return code;
  size_t shown = person_.Messages.size();
  session_.SaveParamFile();
  if (person_.OverwriteRefused) {
    return Fail(EXIT_FILE, Arg(0) + " exists; --force replaces it");
  }
  if (person_.Messages.size() != shown) return Fail(EXIT_FILE, Lines(person_.Messages.back()));
  return EXIT_OK;
}

int TCommand::LoadParams() {
  person_.FileName = Arg(0);
  // Rows the file does not mention keep the sensor's own values.
  if (int code = Connect(true)) return code;
  size_t shown = person_.Messages.size();
  session_.LoadParamFile();
  if (person_.Messages.size() != shown) return Fail(EXIT_FILE, Lines(person_.Messages.back()));
  // Row by row in the order of "Load All", so that every failing row is named.
  std::string failed;
  for (int k = 1; k <= PARAM_COUNT; ++k) {
    int row = PARAM_COUNT - k;
    session_.LoadParameter(row);
    if (session_.LastStatus != ST_OK) failed += " " + std::to_string(row);
  }
  if (!failed.empty()) return Fail(EXIT_DEVICE, "writing failed for rows" + failed);
  return EXIT_OK;
}

int TCommand::CompareParams() {
  person_.FileName = Arg(0);
  if (int code = Connect(true)) return code;
  size_t shown = person_.Messages.size();
  session_.LoadParamFile();
  if (person_.Messages.size() != shown) return Fail(EXIT_FILE, Lines(person_.Messages.back()));
  std::string message = session_.CompareAllMessage();
  if (session_.LastStatus != ST_OK) return DeviceFailure("reading the parameters");
  out_ << Lines(message) << '\n';
  return message == "Ok!" ? EXIT_OK : EXIT_DIFFERENT;
}

int TCommand::Scan() {
  const bool all = Arguments(1);
  if (all && Arg(0) != "--all") return UsageError("scan takes only --all");
  // Opening at the given settings first names a port that cannot be opened at all.
  if (int code = OpenPort()) return code;
  TScanOptions options;
  options.Port = session_.SensorLink->Link;
  options.SelectedBaud = options_.Baud;
  options.SelectedAddress = options_.Address;
  options.All = all;
  TSensorScan scan(options);
  // Progress only for a person watching; a pipe or a log gets the result lines alone.
  const bool watched = &err_ == &std::cerr && isatty(STDERR_FILENO);
  if (watched) {
    scan.Progress = [this](const TScanProgress& p) {
      err_ << "\rscanning " << p.Probe.Baud << " baud, address " << int(p.Probe.Address) << " ("
           << p.Done + 1 << '/' << p.Total << ")   " << std::flush;
    };
  }
  scan.Found = [this, watched](const TFoundSensor& found) {
    if (watched) err_ << "\r\033[K" << std::flush;
    out_ << found.Baud << ' ' << int(found.Address) << ' ' << int(found.Identity.DeviceType) << ' '
         << found.Identity.SerialNumber << '\n'
         << std::flush;
  };
  const TScanResult result = scan.Run(*session_.SensorLink);
  if (watched) err_ << "\r\033[K" << std::flush;
  if (result.Status != ST_OK) {
    if (result.Status == ST_NOT_OPEN) {
      std::string reason = result.Reason.empty() ? "not available" : result.Reason;
      return Fail(EXIT_NO_PORT, "cannot open " + options_.Port + ": " + reason);
    }
    return Fail(EXIT_DEVICE, "scan stopped: " + StatusLine(result.Status));
  }
  if (result.Found.empty()) {
    return Fail(EXIT_DEVICE, "no sensor found (" + std::to_string(result.Probes) +
                                 " combinations of baud rate and address tried)");
  }
  return EXIT_OK;
}

bool TCommand::CommandOptions(const std::vector<std::string>& valued,
                              const std::vector<std::string>& flags,
                              std::vector<std::pair<std::string, std::string>>& found,
                              size_t first) {
  auto listed = [](const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  for (size_t i = first; i < options_.Words.size(); ++i) {
    std::string name = options_.Words[i];
    std::string value;
    bool hasValue = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      hasValue = true;
    }
    if (listed(flags, name) && !hasValue) {
      found.emplace_back(name, "");
      continue;
    }
    if (!listed(valued, name)) {
      UsageError("unknown option '" + options_.Words[i] + "' for " + options_.Words[0]);
      return false;
    }
    if (!hasValue) {
      if (i + 1 >= options_.Words.size()) {
        UsageError(name + " needs a value");
        return false;
      }
      value = options_.Words[++i];
    }
    found.emplace_back(name, value);
  }
  return true;
}

int TCommand::SensorLost() {
  const uint32_t status = session_.LastStatus;
  session_.NoAnswerTeardown();
  return Fail(EXIT_DEVICE, "the sensor stopped answering: " + StatusLine(status));
}

int TCommand::SaveData(const std::string& path) {
  person_.FileName = path;
  const size_t shown = person_.Messages.size();
  session_.SaveClick();
  if (person_.Messages.size() != shown) return Fail(EXIT_FILE, Lines(person_.Messages.back()));
  return EXIT_OK;
}

int TCommand::Measure() {
  std::vector<std::pair<std::string, std::string>> found;
  if (!CommandOptions({"--mode", "--count", "--data"}, {"--zero"}, found)) return EXIT_USAGE;
  int mode = -1;  // the mode the sensor's "Mode of Run" holds
  long count = 10;
  bool zero = false;
  std::string data;
  for (const auto& [name, value] : found) {
    if (name == "--mode") {
      mode = -1;
      for (uint32_t m = RUN_LINE; m <= RUN_PULSE; ++m)
        if (value == RunModeName(m)) mode = static_cast<int>(m);
      if (mode < 0) return UsageError("--mode takes Line, NonLine, Temperature or Pulse");
    } else if (name == "--count") {
      if (!ParseNumber(value, 1, 100000000, count)) return UsageError("--count takes 1 or more");
    } else if (name == "--zero") {
      zero = true;
    } else {
      if (value.empty()) return UsageError("--data needs a file name");
      data = value;
    }
  }
  if (int code = Connect(true)) return code;
  // As the grid's commit: the loop's mode only, the sensor is not written.
  if (mode >= 0 && !SetWorkingValue(ROW_MODE_OF_RUN, RunModeName(static_cast<uint32_t>(mode))))
    return EXIT_USAGE;
  if (zero) session_.ButtonZeroClick();
  session_.StartStopMeasure();
  const TSampleRing& ring = session_.SampleRing;
  for (long taken = 0; taken < count;) {
    const uint32_t points = ring.PointCounter;
    session_.TimerMainTimer();
    if (session_.LastStatus != ST_OK) return SensorLost();
    if (session_.RunMode == RUN_PULSE) {
      const PulseRecord& pulse = session_.MeasureLoop.LastPulse();
      out_ << "position: " << pulse.Position << " px\n"
           << "exposure: " << pulse.Exposure / 10 << " mks\n";
      for (size_t i = 0; i < PULSE_SAMPLES; ++i) out_ << (i ? " " : "") << pulse.Samples[i];
      out_ << '\n';
      ++taken;
    } else if (ring.PointCounter != points) {
      out_ << session_.View.LabelRast << '\n';
      ++taken;
    }
  }
  session_.StartStopMeasure();
  return data.empty() ? EXIT_OK : SaveData(data);
}

int TCommand::Stream() {
  std::vector<std::pair<std::string, std::string>> found;
  if (!CommandOptions({"--count", "--data"}, {}, found)) return EXIT_USAGE;
  long count = 10;
  std::string data;
  for (const auto& [name, value] : found) {
    if (name == "--count") {
      // One ring's worth: a stream plots only what it took since the ring last wrapped.
      if (!ParseNumber(value, 1, 65535, count)) return UsageError("--count takes 1 to 65535");
    } else {
      if (value.empty()) return UsageError("--data needs a file name");
      data = value;
    }
  }
  if (int code = Connect(true)) return code;
  session_.StreamSampleLimit = static_cast<uint64_t>(count);
  using Clock = std::chrono::steady_clock;
  session_.ButtonStreamClick();
  const Clock::time_point start = Clock::now();
  while (session_.View.TimerMore) session_.TimerMoreTimer();
  // The window's watchdog looks every 200 ms; so does this loop.
  Clock::time_point nextLook = Clock::now() + std::chrono::milliseconds(200);
  while (!session_.Stream.Finished()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (Clock::now() < nextLook) continue;
    nextLook += std::chrono::milliseconds(200);
    if (session_.LastStatus != ST_OK) return SensorLost();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  session_.ButtonStreamClick();
  if (session_.LastStatus != ST_OK) return SensorLost();
  const uint32_t mode = session_.RunMode;
  for (const TOscPoint& p : session_.View.SeriesOsc.Points())
    out_ << ResultText(mode, static_cast<float>(p.Y)) << '\n';
  char summary[128];
  std::snprintf(summary, sizeof summary, "stream: %zu samples in %.3f s, %.0f samples/s\n",
                session_.View.SeriesOsc.Count(), seconds,
                seconds > 0 ? static_cast<double>(session_.View.SeriesOsc.Count()) / seconds : 0.0);
  err_ << summary;
  return data.empty() ? EXIT_OK : SaveData(data);
}

int TCommand::Sweep() {
  struct Kind {
    const char* Word;
    uint32_t Mode;
    const char* Extension;
  };
  static const Kind kinds[] = {{"calibrate", RUN_CALIBRATION, CALIBRATION_EXTENSION},
                               {"verify", RUN_POVERKA, VERIFICATION_EXTENSION},
                               {"home", RUN_MOTION_HOME, nullptr},
                               {"end", RUN_MOTION_END, nullptr}};
  const Kind* kind = nullptr;
  for (const Kind& k : kinds)
    if (Arg(0) == k.Word) kind = &k;
  if (!kind) return UsageError("sweep takes calibrate, verify, home or end");
  std::vector<std::pair<std::string, std::string>> found;
  if (!CommandOptions({"--stage", "--file"}, {}, found, 2)) return EXIT_USAGE;
  std::string stage, file;
  for (const auto& [name, value] : found) {
    if (value.empty()) return UsageError(name + " needs a value");
    (name == "--stage" ? stage : file) = value;
  }
  if (stage.empty()) return UsageError("sweep needs --stage PORT");
  if (!file.empty() && !kind->Extension) return UsageError("--file is for calibrate and verify");
  if (int code = Connect(true)) return code;
  if (kind->Extension) {
    if (file.empty()) file = session_.View.LabelSerNum + kind->Extension;
    // Checked before the sweep: a refused file found only at its end would waste the run.
    if (access(file.c_str(), F_OK) == 0 && !options_.Force)
      return Fail(EXIT_FILE, file + " exists; --force replaces it");
    person_.FileName = file;
  }
  if (!SetWorkingValue(ROW_MODE_OF_RUN, RunModeName(kind->Mode))) return EXIT_USAGE;
  session_.View.MotorPortText = stage;
  session_.StartStopMeasure();
  if (!session_.MotorInterface->IsOpen()) {
    // The window starts the run all the same and waits for Stop; a script wants to know now.
    session_.StartStopMeasure();
    const std::string& reason = session_.MotorInterface->Port->LastReason;
    return Fail(EXIT_NO_PORT,
                "cannot open the stage port " + stage + ": " +
                    (reason.empty() ? "port already in use or not available" : reason));
  }
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextReport = Clock::now();
  const TSampleRing& ring = session_.SampleRing;
  while (session_.Running()) {
    session_.TimerMainTimer();
    if (Clock::now() < nextReport || !session_.Running()) continue;
    nextReport = Clock::now() + std::chrono::milliseconds(500);
    if (kind->Extension && ring.SampleCount > 0) {
      err_ << "sweep: " << ring.SampleCount << " samples, " << session_.View.LabelRast << '\n';
    } else {
      err_ << "sweep: waiting for the stage\n";
    }
  }
  for (const std::string& m : person_.Messages) err_ << "karvo-cli: " << Lines(m) << '\n';
  switch (session_.StageRun.EndedBy) {
    case TRunEnd::StageSilent:
      return Fail(EXIT_DEVICE, "the stage stopped answering");
    case TRunEnd::SensorSilent:
      return Fail(EXIT_DEVICE, "the sensor stopped answering");
    case TRunEnd::None:
      break;
  }
  if (!kind->Extension) return EXIT_OK;
  const bool saved =
      access(file.c_str(), F_OK) == 0 && !person_.OverwriteRefused &&
      std::none_of(person_.Messages.begin(), person_.Messages.end(),
                   [](const std::string& m) { return m.rfind("Error writing", 0) == 0; });
  if (kind->Mode == RUN_CALIBRATION) {
    const TTableLoadResult& load = session_.CalibrationLoad;
    out_ << "Steps: " << ring.SampleCount << '\n';
    out_ << (load.Passed ? "Table: loaded and checked" : "Table: not loaded") << '\n';
    if (!saved) return Fail(EXIT_FILE, "the calibration file was not written");
    if (!load.Passed) {
      return Fail(EXIT_DEVICE, load.Mismatch ? "the table read back differs"
                                             : "the table load failed: " + StatusLine(load.Status));
    }
    return EXIT_OK;
  }
  const TVerification& v = session_.Verification;
  out_ << v.Footer << '\n';
  if (!v.HasError) return Fail(EXIT_DEVICE, "too few readings for a verification");
  if (!saved) return Fail(EXIT_FILE, "the verification file was not written");
  return EXIT_OK;
}

}  // namespace

std::string Usage() {
  return "usage: karvo-cli [--port COMn|USB|PATH] [--baud N] [--address N] [--trace] [--force]\n"
         "                 COMMAND [ARGS]\n"
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
         "  load-params FILE              write the parameters of a .prm file to the sensor\n"
         "  compare-params FILE           compare the sensor with a .prm file\n"
         "  scan [--all]                  find the sensor at any baud rate and address (those\n"
         "                                given tried first): 'baud address device_type\n"
         "                                serial_number' a line, the first found or --all\n"
         "  measure [--mode Line|NonLine|Temperature|Pulse] [--count N] [--zero] [--data FILE]\n"
         "                                N results of the measurement loop (default 10), each\n"
         "                                as the display shows it; in Pulse, position, exposure\n"
         "                                and the 128 profile samples; --zero makes a zero\n"
         "                                request first; --data writes the data file after\n"
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
         "defaults: --port COM1 --baud 9600 --address 1\n"
         "exit status: 0 success, 1 compare found differences, 2 bad arguments,\n"
         "             3 port cannot be opened, 4 sensor or stage failure,\n"
         "             5 file failure\n";
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TOptions options;
  auto usage = [&err](const std::string& message) {
    err << "karvo-cli: " << message << '\n' << Usage();
    return EXIT_USAGE;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool hasValue = false;
    if (arg.rfind("--", 0) == 0 && options.Words.empty()) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        hasValue = true;
      }
      if (arg == "--help" || arg == "-h") {
        out << Usage();
        return EXIT_OK;
      }
      if (arg == "--trace" || arg == "--force") {
        if (hasValue) return usage(arg + " takes no value");
        (arg == "--trace" ? options.Trace : options.Force) = true;
        continue;
      }
      if (arg != "--port" && arg != "--baud" && arg != "--address") {
        return usage("unknown option " + arg);
      }
      if (!hasValue) {
        if (i + 1 >= args.size()) return usage(arg + " needs a value");
        value = args[++i];
      }
      long n;
      if (arg == "--port") {
        if (value.empty()) return usage("--port needs a port name");
        options.Port = value;
      } else if (arg == "--baud") {
        if (!ParseNumber(value, 1, 4000000, n)) return usage("'" + value + "' is not a baud rate");
        options.Baud = static_cast<uint32_t>(n);
      } else {
        if (!ParseNumber(value, 1, 127, n)) {
          return usage("the address must be 1 to 127, not '" + value + "'");
        }
        options.Address = static_cast<uint8_t>(n);
      }
      continue;
    }
    options.Words.push_back(args[i]);
  }
  if (options.Words.empty()) return usage("no command given");
  TCommand command(options, out, err);
  return command.Run();
}

}  // namespace karvo::cli
