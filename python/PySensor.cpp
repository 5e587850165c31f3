// The sensor through the device layer, as plain values that karvo/__init__.py turns into the
// package's own types. Every wait on the line runs with the GIL released, and Ctrl-C,
// Sensor.cancel() or close() from another thread end a call between two requests, after which
// the device layer has put the sensor (and the stage) back.
#include "PySensor.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "channel/PortName.h"
#include "device/Arguments.h"
#include "device/IdentityRows.h"
#include "device/Sensor.h"
#include "device/Stage.h"
#include "device/Statuses.h"
#include "device/Words.h"
#include "files/TextFile.h"
#include "measure/RunModes.h"
#include "params/ParamFile.h"
#include "params/ParamGrid.h"
#include "params/ValueCheck.h"
#include "protocol/SensorScan.h"
#include "stage/SweepFiles.h"

namespace karvo::python {

namespace {

unsigned long g_mainThread = 0;  // the only thread Python delivers signals to

// The package's exception classes, from SetErrorClasses.
py::object* g_error = nullptr;
std::map<uint32_t, py::object>* g_errorOf = nullptr;

// A call refused because a stream holds the line; turned into RuntimeError, never shown.
constexpr uint32_t ST_STREAMING = 1000;
// How often a waiting main thread looks for Ctrl-C.
constexpr auto LOOK_EVERY = std::chrono::milliseconds(50);
// Far beyond any parameter file: keeps a wrongly chosen file from filling the memory.
constexpr size_t MAX_PARAM_FILE_SIZE = 16 * 1024 * 1024;

const std::vector<uint32_t> RESULT_MODES = {RUN_LINE, RUN_NONLINE, RUN_TEMPERATURE};

py::str Text(const std::string& utf8) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

[[noreturn]] void RaiseError(dev::Result r, const py::object& rounds = py::none()) {
  if (r.Status == ST_STREAMING)
    throw std::runtime_error("the sensor is streaming: stop the stream first");
  if (g_error == nullptr) throw std::runtime_error(r.Describe());
  std::string sentence = r.Describe();
  if (r.Cancelled() && !r.Reason.empty()) sentence += ": " + r.Reason;
  sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
  if (sentence.back() != '.') sentence += '.';
  const auto special = g_errorOf->find(r.Status);
  const py::object& type = special == g_errorOf->end() ? *g_error : special->second;
  py::object error = type(Text(sentence));
  error.attr("status") = r.Status;
  error.attr("name") = dev::StatusName(r.Status);
  error.attr("reason") = Text(r.Reason);
  error.attr("doing") = Text(r.Doing);
  if (!rounds.is_none()) error.attr("rounds") = rounds;
  PyErr_SetObject(type.ptr(), error.ptr());
  throw py::error_already_set();
}

void Check(const dev::Result& r) {
  if (!r) RaiseError(r);
}

[[noreturn]] void RaiseOSError(int error, const std::filesystem::path& path) {
  errno = error;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

void Require(const std::string& problem) {
  if (!problem.empty()) throw py::value_error(problem);
}

// A port name as the channel takes it, or ValueError: a known name, a path or a well-formed URL.
std::string CheckedPort(const std::string& port) {
  std::string problem;
  const std::string name = dev::PortNameOf(port, problem);
  Require(problem);
  if (!CheckPortName(name, problem))
    Require(problem.empty() ? "'" + port + "' is no port" : problem);
  return name;
}

uint32_t TimeoutMs(double timeout) {
  if (!(timeout >= 0 && timeout <= 3600)) {
    throw py::value_error("timeout takes 0.001 to 3600 seconds, or None");
  }
  const auto ms = static_cast<uint32_t>(std::lround(timeout * 1000));
  return timeout > 0 && ms == 0 ? 1 : ms;
}

// Ports this process holds, by the device they lead to, with the holder's own words.
std::mutex g_heldLock;
std::map<std::string, std::string> g_held;

std::string HoldKey(const std::string& port) {
  std::string path = ComPortDevicePath(port);
  if (path.empty()) return port;
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// A port this process holds would only fail to open as "held by another program"; the holder is
// named instead, typically an older Sensor of a notebook cell run again. g_heldLock is held.
void RefuseHeld(const std::string& key, const std::string& doing) {
  if (auto holder = g_held.find(key); holder != g_held.end()) {
    RaiseError(dev::Result::Failure(
        ST_NOT_OPEN, doing, "held by " + holder->second + " in this process; close it first"));
  }
}

}  // namespace

void SetMainThread(unsigned long ident) {
  g_mainThread = ident;
}

void SetErrorClasses(py::object base, std::map<uint32_t, py::object> special) {
  // Kept for the life of the process, as the module's classes are.
  g_error = new py::object(std::move(base));
  g_errorOf = new std::map<uint32_t, py::object>(std::move(special));
}

void CloseDone::Set() {
  std::lock_guard guard(lock_);
  done_ = true;
  set_.notify_all();
}

void CloseDone::Await() {
  py::gil_scoped_release release;
  std::unique_lock guard(lock_);
  set_.wait_for(guard, std::chrono::seconds(5), [this] { return done_; });
}

class Watch {
 public:
  explicit Watch(std::function<void()> interrupt = {}) : interrupt_(std::move(interrupt)) {}

  const dev::CancelToken* Token() const { return &token_; }
  dev::CancelToken& Cancellation() { return token_; }

  // Runs `work` with the GIL released and returns what it returns. On the main thread the work
  // goes to a helper thread while this one looks for Ctrl-C; a Ctrl-C, or an exception from a
  // callback, cancels the work, and is raised once the work has ended.
  template <class F>
  auto Run(F&& work) -> decltype(work()) {
    std::optional<decltype(work())> value;
    std::exception_ptr failure;
    if (PyThread_get_thread_ident() != g_mainThread) {
      py::gil_scoped_release release;
      value.emplace(work());
    } else {
      py::gil_scoped_release release;
      std::mutex lock;
      std::condition_variable ended;
      bool done = false;
      std::thread worker([&] {
        try {
          value.emplace(work());
        } catch (...) {
          failure = std::current_exception();
        }
        std::lock_guard guard(lock);
        done = true;
        ended.notify_all();
      });
      std::unique_lock wait(lock);
      while (!ended.wait_for(wait, LOOK_EVERY, [&] { return done; })) {
        wait.unlock();
        {
          py::gil_scoped_acquire gil;
          if (!raised_ && PyErr_CheckSignals() != 0) Stop(py::error_already_set());
        }
        wait.lock();
      }
      wait.unlock();
      worker.join();
    }
    if (failure) std::rethrow_exception(failure);
    if (raised_) {
      py::error_already_set error = *raised_;
      raised_.reset();
      throw error;
    }
    return std::move(*value);
  }

  // Calls a Python callable from the work; an exception it raises stops the work.
  template <class... A>
  void Call(const py::object& callable, A... args) {
    py::gil_scoped_acquire gil;
    if (raised_) return;
    try {
      callable(args...);
    } catch (py::error_already_set& e) {
      Stop(e);
    }
  }

 private:
  void Stop(const py::error_already_set& e) {
    raised_.emplace(e);
    token_.Cancel();
    if (interrupt_) interrupt_();
  }

  dev::CancelToken token_;
  std::function<void()> interrupt_;
  std::optional<py::error_already_set> raised_;  // touched with the GIL held only
};

namespace {

// What the calls return: tuples, named by karvo/__init__.py.

py::tuple IdentityTuple(const IdentityRecord& r) {
  return py::make_tuple(r.DeviceType, r.Release, r.SerialNumber, r.BaseDistance, r.MeasuringRange);
}

std::string RowName(int row) {
  // The grid indents some names with blanks or underscores; the indent is layout, not name.
  std::string name = Cp1251ToUtf8(ParamTable[row].Name);
  return name.substr(name.find_first_not_of(" _"));
}

py::tuple ParameterTuple(int row, const TPARAMVALUE& v, int16_t range) {
  py::object raw = ParamTable[row].Kind == KIND_TEXT
                       ? py::object(Text(Cp1251ToUtf8(v.Text)))
                       : py::object(py::int_(static_cast<int32_t>(v.Value)));
  return py::make_tuple(row, Text(RowName(row)), Text(Cp1251ToUtf8(GridCellText(row, v, range))),
                        raw);
}

// A value as the display shows it: rounded to the mode's decimals.
double Shown(uint32_t runMode, float value) {
  const double scale = std::pow(10.0, ModeDisplay(runMode).Decimals);
  return std::round(static_cast<double>(value) * scale) / scale;
}

std::string UnitOf(uint32_t runMode) {
  const std::string unit = ModeDisplay(runMode).Unit;
  return unit.substr(unit.find_first_not_of(' '));
}

py::array_t<double> Array(const std::vector<double>& values) {
  py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// Samples with the moment each arrived, for (times, values).
class Samples {
 public:
  explicit Samples(uint32_t& runMode) : runMode_(runMode) {}
  void Add(float value) {
    values_.push_back(Shown(runMode_, value));
    const auto now = std::chrono::steady_clock::now();
    if (seconds_.empty()) first_ = now;
    seconds_.push_back(std::chrono::duration<double>(now - first_).count());
  }
  py::object Result(bool times) const {
    if (!times) return Array(values_);
    return py::make_tuple(Array(seconds_), Array(values_));
  }

 private:
  uint32_t& runMode_;
  std::vector<double> values_, seconds_;
  std::chrono::steady_clock::time_point first_;
};

std::optional<uint32_t> ResultMode(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  if (auto mode = dev::RunModeNamed(*name, RESULT_MODES)) return mode;
  throw py::value_error("mode takes " + dev::RunModeChoices(RESULT_MODES) + ", not '" + *name +
                        "'");
}

std::string ReadParamFile(const std::filesystem::path& path) {
  if (access(path.c_str(), F_OK) != 0) RaiseOSError(errno, path);
  std::string bytes, reason;
  if (!ReadRegularFile(path, MAX_PARAM_FILE_SIZE, bytes, reason)) {
    throw py::value_error(path.string() + ": " + reason);
  }
  TParamSet scratch;
  const TParamFileRead read = ReadParamFileBytes(bytes, scratch);
  if (!read.Complete) throw py::value_error(ParamFileProblem(path.string(), read));
  return bytes;
}

bool IsModeRegisterRow(int row) {
  return row == ROW_SAMPLE_CONTROL || row == ROW_AL_CONTROL || row == ROW_WINDOW_CONTROL ||
         row == ROW_CAN_MODE;
}

}  // namespace

template <class F>
void PySensor::Do(Watch& watch, const std::string& doing, F&& work) {
  Active active(*this, watch.Cancellation());
  const dev::Result done = watch.Run([&]() -> dev::Result {
    std::lock_guard guard(busy_);
    if (stream_) return dev::Result::Failure(ST_STREAMING, doing);
    if (closedHere_ || !sensor_.IsOpen()) {
      return dev::Result::Failure(ST_NOT_OPEN, doing, "the sensor is closed");
    }
    // A flash restore or a rate change reopens the port, which brings back the own time-out.
    ApplyTimeout();
    // Asked before every exchange, so that a cancel ends even one row of many registers.
    sensor_.SetCancelToken(watch.Token());
    dev::ScopeGuard standDown([this] { sensor_.SetCancelToken(nullptr); });
    dev::Result r = work();
    if (r.Cancelled() && closing_) r.Reason = "closed by Sensor.close()";
    return r;
  });
  if (done.Cancelled() && closing_) closeDone_.Await();
  Check(done);
  if (!done.Notice.empty()) {
    const std::string words = Settings().Port + ": " + done.Notice;
    // Level 2: the script's line that called the package, not the package's own.
    if (PyErr_WarnEx(PyExc_UserWarning, words.c_str(), 2) != 0) throw py::error_already_set();
  }
}

PySensor::PySensor(const std::string& port, long long baud, long long address, double timeout) {
  settings_.Port = CheckedPort(port);
  Require(dev::BaudProblem("baud", baud));
  Require(dev::AddressProblem("address", address));
  timeoutMs_ = TimeoutMs(timeout);
  settings_.Baud = static_cast<uint32_t>(baud);
  settings_.Address = static_cast<uint8_t>(address);
  holdKey_ = HoldKey(settings_.Port);
  {
    std::lock_guard guard(g_heldLock);
    RefuseHeld(holdKey_, "opening " + port);
    // Claimed before the open so that two threads opening at once cannot both get it.
    g_held[holdKey_] = "karvo.Sensor(" + py::repr(Text(port)).cast<std::string>() + ")";
  }
  Watch watch;
  const dev::Result opened = watch.Run([&] {
    dev::Result r = sensor_.Open(settings_);
    ApplyTimeout();
    return r;
  });
  if (!opened) {
    Release();
    RaiseError(opened);
  }
  notice_ = opened.Notice;
}

PySensor::PySensor(std::shared_ptr<dev::Line> line, uint8_t address, uint32_t timeoutMs)
    : sensor_(std::move(line), address),
      settings_(sensor_.Settings()),
      timeoutMs_(timeoutMs),
      released_(true),
      onBus_(true) {}

PySensor::~PySensor() {
  CloseLocked();
  Release();
}

void PySensor::Close() {
  CloseOnBus();
  closeDone_.Set();
}

void PySensor::CloseOnBus() {
  py::gil_scoped_release release;
  closing_ = true;
  CancelCalls();
  CloseLocked();
  Release();
}

void PySensor::Cancel() {
  py::gil_scoped_release release;
  CancelCalls();
}

dev::SensorSettings PySensor::Settings() {
  py::gil_scoped_release release;
  std::lock_guard guard(busy_);
  return sensor_.Settings();
}

py::str PySensor::Port() {
  return Text(Settings().Port);
}

bool PySensor::Closed() {
  py::gil_scoped_release release;
  std::lock_guard guard(busy_);
  return closedHere_ || !sensor_.IsOpen();
}

double PySensor::Timeout() const {
  return timeoutMs_ / 1000.0;
}

py::tuple PySensor::Identify() {
  IdentityRecord id;
  Watch watch;
  Do(watch, "identify", [&] {
    identified_ = false;
    return Identified(id);
  });
  return IdentityTuple(id);
}

std::string PySensor::Unit() {
  uint32_t runMode = RUN_LINE;
  Watch watch;
  Do(watch, "reading the mode of run", [&] { return Prepare(std::nullopt, runMode); });
  return UnitOf(runMode);
}

py::list PySensor::ReadParameters() {
  TParamSet values;
  int16_t range = 0;
  Watch watch;
  Do(watch, "reading the parameters", [&] { return ReadAll(values, range, watch); });
  py::list rows;
  for (int row = 0; row < PARAM_COUNT; ++row) rows.append(ParameterTuple(row, values[row], range));
  return rows;
}

py::tuple PySensor::WriteParameter(long long asked, const py::object& value) {
  if (asked < 0 || asked >= PARAM_COUNT) {
    throw py::value_error("row takes 0 to 35, not " + std::to_string(asked));
  }
  const int row = static_cast<int>(asked);
  std::string typed;
  if (py::isinstance<py::str>(value)) {
    typed = Utf8ToCp1251(value.cast<std::string>());
  } else if (py::isinstance<py::int_>(value) && !PyBool_Check(value.ptr())) {
    typed = py::str(value).cast<std::string>();
  } else {
    throw py::type_error("a parameter value is an int or a str, not " +
                         py::str(py::type::of(value).attr("__name__")).cast<std::string>());
  }
  const std::string doing = "writing row " + std::to_string(row);
  // Checked before anything is sent: only the laser row's list follows the range, and its
  // numbers fit either list.
  TParamSet values;
  std::string problem;
  if (!TakeTypedValue(row, dev::PickListSpelling(row, typed, range_), values, range_, problem)) {
    RaiseError(dev::Result::Failure(dev::ST_BAD_VALUE, doing, Cp1251ToUtf8(problem)));
  }
  int16_t range = 0;
  bool refused = false;
  Watch watch;
  Do(watch, doing, [&] {
    IdentityRecord id;
    if (dev::Result r = Identified(id); !r) return r;
    range = sensor_.MeasuringRange();
    if (IsModeRegisterRow(row)) {
      // The four rows share register 2: an edit changes only its own bits of it.
      if (dev::Result r = sensor_.ReadParameter(row, values[row]); !r) return r;
      for (int shared : {ROW_SAMPLE_CONTROL, ROW_AL_CONTROL, ROW_WINDOW_CONTROL, ROW_CAN_MODE})
        values[shared] = values[row];
    }
    refused =
        !TakeTypedValue(row, dev::PickListSpelling(row, typed, range), values, range, problem);
    return refused ? dev::Result::Success() : sensor_.WriteParameter(row, values[row]);
  });
  if (refused) RaiseError(dev::Result::Failure(dev::ST_BAD_VALUE, doing, Cp1251ToUtf8(problem)));
  return ParameterTuple(row, values[row], range);
}

void PySensor::SaveParameters(const std::filesystem::path& path, bool force) {
  if (!force && access(path.c_str(), F_OK) == 0) RaiseOSError(EEXIST, path);
  TParamSet values;
  int16_t range = 0;
  Watch watch;
  Do(watch, "reading the parameters", [&] { return ReadAll(values, range, watch); });
  int error = 0;
  if (!WriteFileReplacing(path, ParamFileBytes(values), error)) RaiseOSError(error, path);
}

std::string PySensor::LoadParameters(const std::filesystem::path& path, bool force,
                                     bool keepIdentity) {
  const std::string bytes = ReadParamFile(path);
  // Rows the file does not name keep the sensor's own values.
  TParamSet values;
  int16_t range = 0;
  Watch watch;
  Do(watch, "reading the parameters", [&] { return ReadAll(values, range, watch); });
  const TParamSet held = values;
  ReadParamFileBytes(bytes, values);
  const std::vector<int> differing = dev::DifferingIdentityRows(values, held);
  std::string changed;
  if (keepIdentity) {
    dev::KeepIdentityRows(values, held);
  } else if (!differing.empty()) {
    changed = dev::IdentityRowsText(differing, values, held);
  }
  if (!force) {
    std::string refused;
    for (const TValueIssue& issue : ValuesOutsideRows(values, range)) {
      refused += "; row " + std::to_string(issue.Row) + ": " + Cp1251ToUtf8(issue.Problem);
    }
    if (!refused.empty()) {
      throw py::value_error(path.string() + " holds values their rows refuse (force=True " +
                            "writes them as they are)" + refused);
    }
  }
  Do(watch, "writing the parameters",
     [&] { return dev::WriteParameterSet(sensor_, values, force, watch.Token()); });
  // The range row may have changed what the laser row and results mean.
  identified_ = false;
  return changed;
}

py::list PySensor::CompareParameters(const std::filesystem::path& path) {
  const std::string bytes = ReadParamFile(path);
  TParamSet expected, read;
  ReadParamFileBytes(bytes, expected);
  std::vector<dev::ParameterDifference> found;
  int16_t range = 0;
  Watch watch;
  Do(watch, "reading the parameters", [&] {
    IdentityRecord id;
    if (dev::Result r = Identified(id); !r) return r;
    range = sensor_.MeasuringRange();
    return sensor_.CompareParameters(expected, read, found, watch.Token());
  });
  py::list differences;
  for (const dev::ParameterDifference& d : found) {
    differences.append(py::make_tuple(d.Row, Text(RowName(d.Row)),
                                      Text(Cp1251ToUtf8(GridCellText(d.Row, d.Expected, range))),
                                      Text(Cp1251ToUtf8(GridCellText(d.Row, d.Read, range)))));
  }
  return differences;
}

void PySensor::Flash(const std::string& what) {
  const auto operation = dev::FlashOperationNamed(what);
  if (!operation) {
    throw py::value_error(std::string("flash takes ") + dev::FLASH_CHOICES + ", not '" + what +
                          "'");
  }
  Watch watch;
  Do(watch, "flash " + what, [&] {
    // A restore may bring another measuring range.
    identified_ = false;
    return sensor_.Flash(*operation);
  });
}

template <class F>
py::object PySensor::TakeSamples(long long count, const dev::CountLimit& limit,
                                 const std::string& doing, const std::optional<std::string>& mode,
                                 bool times, F&& take) {
  Require(dev::CountProblem("count", count, limit));
  const std::optional<uint32_t> asked = ResultMode(mode);
  uint32_t runMode = RUN_LINE;
  Samples samples(runMode);
  Watch watch;
  Do(watch, doing, [&] {
    if (dev::Result r = Prepare(asked, runMode); !r) return r;
    return take(
        runMode, [&](float v) { samples.Add(v); }, watch.Token());
  });
  return samples.Result(times);
}

py::object PySensor::Measure(long long count, const std::optional<std::string>& mode, bool times) {
  return TakeSamples(count, dev::MEASURE_COUNTS, "measuring", mode, times,
                     [&](uint32_t runMode, const auto& add, const dev::CancelToken* token) {
                       return sensor_.Measure(runMode, static_cast<size_t>(count), add, token);
                     });
}

void PySensor::Zero() {
  Watch watch;
  Do(watch, "zero set", [&] {
    TParamSet working;
    if (dev::Result r = sensor_.ReadParameter(ROW_ZERO_POINT, working[ROW_ZERO_POINT]); !r)
      return r;
    return sensor_.Zero(working);
  });
}

py::tuple PySensor::ReadPulse() {
  PulseRecord record;
  Watch watch;
  Do(watch, "reading the pulse", [&] { return sensor_.ReadPulse(record); });
  py::array_t<int64_t> samples(static_cast<py::ssize_t>(PULSE_SAMPLES));
  std::copy(std::begin(record.Samples), std::end(record.Samples), samples.mutable_data());
  // Exposure in microseconds, as the chart's footer shows it.
  return py::make_tuple(record.Position, record.Exposure / 10, samples);
}

py::object PySensor::StreamCount(long long count, const std::optional<std::string>& mode,
                                 bool times) {
  return TakeSamples(count, dev::STREAM_COUNTS, "streaming", mode, times,
                     [&](uint32_t runMode, const auto& add, const dev::CancelToken* token) {
                       return sensor_.Stream(runMode, static_cast<uint64_t>(count), add, token);
                     });
}

std::shared_ptr<dev::SensorStream> PySensor::StartStream(const std::optional<std::string>& mode,
                                                         uint32_t& runMode) {
  const std::optional<uint32_t> asked = ResultMode(mode);
  std::shared_ptr<dev::SensorStream> stream;
  Watch watch;
  Do(watch, "starting the stream", [&] {
    if (dev::Result r = Prepare(asked, runMode); !r) return r;
    stream = std::make_shared<dev::SensorStream>(sensor_, runMode);
    dev::Result r = stream->Start();
    if (r) {
      stream_ = stream;
      streamCancelled_ = false;
    }
    return r;
  });
  return stream;
}

dev::Result PySensor::StopStream(const std::shared_ptr<dev::SensorStream>& stream) {
  std::lock_guard guard(busy_);
  if (!stream || stream_ != stream) return dev::Result::Success();
  stream_.reset();
  return stream->Stop();
}

bool PySensor::Streams(const std::shared_ptr<dev::SensorStream>& stream) {
  std::lock_guard guard(busy_);
  return stream && stream_ == stream && stream->Running();
}

bool PySensor::StreamCancelled() const {
  return streamCancelled_;
}

py::tuple PySensor::Sweep(const std::string& kind, const std::string& stagePort,
                          const std::optional<std::filesystem::path>& file, bool force,
                          const py::object& progress) {
  const auto chosen = dev::SweepKindNamed(kind);
  if (!chosen) {
    throw py::value_error(std::string("sweep takes ") + dev::SWEEP_CHOICES + ", not '" + kind +
                          "'");
  }
  const bool writesFile = dev::SweepExtension(*chosen) != nullptr;
  if (file && !writesFile) throw py::value_error("file is for calibrate and verify");
  if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
    throw py::type_error("progress must be callable");
  }
  Watch watch;
  IdentityRecord id;
  Do(watch, "identify", [&] { return Identified(id); });
  dev::SweepOptions options;
  options.Kind = *chosen;
  if (writesFile) {
    // As karvo-cli: the serial number names the file, and an existing one is checked before
    // the sweep rather than found at its end.
    const std::filesystem::path path =
        file ? *file : std::filesystem::path(dev::DefaultSweepFile(*chosen, id.SerialNumber));
    if (!force && access(path.c_str(), F_OK) == 0) RaiseOSError(EEXIST, path);
    options.File = path;
  }
  if (!progress.is_none()) {
    options.Progress = [&](uint32_t samples, uint32_t expected, double) {
      watch.Call(progress, samples, expected);
    };
  }
  dev::SweepResult result;
  Do(watch, "the sweep", [&] {
    TParamSet read;
    if (dev::Result r = sensor_.ReadParameters(read, watch.Token()); !r) return r;
    dev::Stage stage;
    if (dev::Result r = stage.Open(stagePort, settings_.SysfsRoot); !r) return r;
    return dev::RunSweep(sensor_, stage, read, options, result, watch.Token());
  });
  py::object checked = py::none(), error = py::none(), written = py::none();
  if (*chosen == dev::SweepKind::Calibrate) checked = py::bool_(result.Table.Passed);
  if (*chosen == dev::SweepKind::Verify) error = py::float_(result.Verification.ErrorPercent);
  if (!result.File.empty()) written = Text(result.File);
  return py::make_tuple(kind, result.Steps, result.Expected, result.Completed, checked, error,
                        written);
}

void PySensor::CancelCalls() {
  std::lock_guard guard(activeLock_);
  for (dev::CancelToken* token : active_) token->Cancel();
  streamCancelled_ = true;
}

void PySensor::ApplyTimeout() {
  if (timeoutMs_ > 0 && sensor_.IsOpen()) sensor_.Link().SetReadTimeouts(10, timeoutMs_, 1);
}

void PySensor::Release() {
  std::lock_guard guard(g_heldLock);
  if (!released_) g_held.erase(holdKey_);
  released_ = true;
}

dev::Result PySensor::Identified(IdentityRecord& id) {
  if (identified_) {
    id = identity_;
    return dev::Result::Success();
  }
  dev::Result r = sensor_.Identify(id);
  if (!r) return r;
  identity_ = id;
  identified_ = true;
  range_ = id.MeasuringRange;
  return r;
}

dev::Result PySensor::ReadAll(TParamSet& values, int16_t& range, Watch& watch) {
  IdentityRecord id;
  if (dev::Result r = Identified(id); !r) return r;
  range = sensor_.MeasuringRange();
  return sensor_.ReadParameters(values, watch.Token());
}

dev::Result PySensor::Prepare(const std::optional<uint32_t>& asked, uint32_t& runMode) {
  IdentityRecord id;
  if (dev::Result r = Identified(id); !r) return r;
  if (asked) {
    runMode = *asked;
    return dev::Result::Success();
  }
  return dev::ReadHeldRunMode(sensor_, runMode);
}

void PySensor::CloseLocked() {
  std::lock_guard guard(busy_);
  if (stream_) stream_->Stop();
  stream_.reset();
  sensor_.Close();
  closedHere_ = onBus_;
}

dev::Result PySensor::ForRounds(const std::optional<uint32_t>& asked, dev::PolledSensor& polled,
                                const dev::CancelToken* cancel) {
  std::lock_guard guard(busy_);
  if (stream_) return dev::Result::Failure(ST_STREAMING, "measuring");
  if (closedHere_ || !sensor_.IsOpen()) {
    return dev::Result::Failure(ST_NOT_OPEN, "measuring", "the sensor is closed");
  }
  ApplyTimeout();
  sensor_.SetCancelToken(cancel);
  dev::ScopeGuard standDown([this] { sensor_.SetCancelToken(nullptr); });
  dev::Result r = Prepare(asked, polled.RunMode);
  polled.MeasuringRange = identity_.MeasuringRange;
  return r;
}

PyStream::PyStream(py::object owner, PySensor& sensor, const std::optional<std::string>& mode)
    : owner_(std::move(owner)), sensor_(sensor) {
  stream_ = sensor_.StartStream(mode, runMode_);
}

PyStream::~PyStream() {
  py::gil_scoped_release release;
  sensor_.StopStream(stream_);
}

double PyStream::Next() {
  while (next_ == taken_.size()) {
    taken_.clear();
    next_ = 0;
    dev::Result r;
    bool ours = false;
    {
      py::gil_scoped_release release;
      if (sensor_.StreamCancelled()) sensor_.StopStream(stream_);
      ours = sensor_.Streams(stream_);
      if (ours) r = stream_->Take(taken_, LOOK_EVERY.count());
    }
    if (!ours) throw py::stop_iteration();
    if (!r) {
      py::gil_scoped_release release;
      sensor_.StopStream(stream_);
    }
    Check(r);
    if (taken_.empty() && PyErr_CheckSignals() != 0) {
      py::error_already_set interrupted;
      {
        py::gil_scoped_release release;
        sensor_.StopStream(stream_);
      }
      throw interrupted;
    }
  }
  return Shown(runMode_, taken_[next_++]);
}

void PyStream::Stop() {
  dev::Result r;
  {
    py::gil_scoped_release release;
    r = sensor_.StopStream(stream_);
  }
  Check(r);
}

bool PyStream::Running() {
  py::gil_scoped_release release;
  return sensor_.Streams(stream_);
}

std::string PyStream::Unit() const {
  return UnitOf(runMode_);
}

uint64_t PyStream::Lost() const {
  return stream_ ? stream_->Lost() : 0;
}

PyBus::PyBus(const std::string& port, long long baud, const std::vector<long long>& addresses,
             double timeout) {
  port_ = CheckedPort(port);
  Require(dev::BaudProblem("baud", baud));
  if (addresses.empty()) throw py::value_error("addresses takes 1 or more addresses");
  for (long long address : addresses) {
    Require(dev::AddressProblem("address", address));
    const auto a = static_cast<uint8_t>(address);
    // Two sensors at one address would answer at once and garble each other.
    if (std::find(addresses_.begin(), addresses_.end(), a) != addresses_.end()) {
      throw py::value_error("addresses names " + std::to_string(address) + " twice");
    }
    addresses_.push_back(a);
  }
  timeoutMs_ = TimeoutMs(timeout);
  baud_ = static_cast<uint32_t>(baud);
  holdKey_ = HoldKey(port_);
  {
    std::lock_guard guard(g_heldLock);
    RefuseHeld(holdKey_, "opening " + port);
    g_held[holdKey_] = "karvo.Bus(" + py::repr(Text(port)).cast<std::string>() + ")";
  }
  Watch watch;
  const dev::Result opened =
      watch.Run([&] { return line_->Open({.Port = port_, .Baud = baud_, .Address = 1}); });
  if (!opened) {
    Release();
    RaiseError(opened);
  }
  notice_ = opened.Notice;
  for (uint8_t address : addresses_) {
    auto sensor = std::make_unique<PySensor>(line_, address, timeoutMs_);
    sensors_.push_back(sensor.get());
    objects_.push_back(py::cast(std::move(sensor)));
  }
}

PyBus::~PyBus() {
  {
    // A call of one of its sensors on another thread may still hold the line.
    py::gil_scoped_release release;
    line_->Close();
  }
  Release();
}

void PyBus::Close() {
  closing_ = true;
  Cancel();
  // Each sensor's close returns once its call has ended; then the line is free to close.
  for (PySensor* sensor : sensors_) sensor->CloseOnBus();
  {
    py::gil_scoped_release release;
    line_->Close();
  }
  Release();
  for (PySensor* sensor : sensors_) sensor->ClosedWithBus();
  closeDone_.Set();
}

void PyBus::Cancel() {
  for (PySensor* sensor : sensors_) sensor->Cancel();
  std::lock_guard guard(activeLock_);
  for (dev::CancelToken* token : active_) token->Cancel();
}

bool PyBus::Closed() const {
  return !line_->IsOpen();
}

py::str PyBus::Port() const {
  return Text(port_);
}

py::list PyBus::Sensors() const {
  py::list sensors;
  for (const py::object& sensor : objects_) sensors.append(sensor);
  return sensors;
}

py::object PyBus::Measure(long long count, const std::optional<std::string>& mode) {
  Require(dev::CountProblem("count", count, dev::MEASURE_COUNTS));
  const std::optional<uint32_t> asked = ResultMode(mode);
  const size_t width = sensors_.size();
  std::vector<double> taken;
  Watch watch;
  {
    std::lock_guard guard(activeLock_);
    active_.insert(&watch.Cancellation());
  }
  dev::ScopeGuard inactive([&] {
    std::lock_guard guard(activeLock_);
    active_.erase(&watch.Cancellation());
  });
  dev::Result outcome = watch.Run([&] {
    if (!line_->IsOpen()) {
      return dev::Result::Failure(ST_NOT_OPEN, "measuring", "the bus is closed");
    }
    std::vector<dev::PolledSensor> polled(width);
    for (size_t i = 0; i < width; ++i) {
      // The column stays its address's, even after a sensor was given another address.
      polled[i].Address = addresses_[i];
      if (dev::Result r = sensors_[i]->ForRounds(asked, polled[i], watch.Token()); !r) {
        if (r.Status != ST_STREAMING) r.Doing += " at address " + std::to_string(addresses_[i]);
        return r;
      }
    }
    dev::Rounds rounds(line_, polled);
    rounds.SetCancelToken(watch.Token());
    std::vector<std::optional<float>> values;
    for (long long round = 0; round < count; ++round) {
      if (dev::Result r = rounds.Next(values); !r) return r;
      for (size_t i = 0; i < width; ++i) {
        taken.push_back(values[i] ? Shown(polled[i].RunMode, *values[i])
                                  : std::numeric_limits<double>::quiet_NaN());
      }
    }
    return dev::Result::Success();
  });
  if (outcome.Cancelled() && closing_) {
    outcome.Reason = "closed by Bus.close()";
    closeDone_.Await();
  }
  // A run that ends early still hands over the rounds it completed, on the error.
  const auto done = static_cast<py::ssize_t>(taken.size() / width);
  py::array_t<double> array({done, static_cast<py::ssize_t>(width)});
  std::copy(taken.begin(), taken.begin() + done * static_cast<py::ssize_t>(width),
            array.mutable_data());
  if (!outcome) RaiseError(outcome, array);
  return array;
}

void PyBus::Release() {
  std::lock_guard guard(g_heldLock);
  if (!released_) g_held.erase(holdKey_);
  released_ = true;
}

py::list Scan(const std::string& port, bool all, long long baud, long long address) {
  const std::string name = CheckedPort(port);
  Require(dev::BaudProblem("baud", baud));
  Require(dev::AddressProblem("address", address));
  {
    std::lock_guard guard(g_heldLock);
    RefuseHeld(HoldKey(name), "scanning " + port);
  }
  TScanOptions options;
  options.Port = PortItemLink(name, static_cast<uint32_t>(baud));
  options.SelectedBaud = static_cast<uint32_t>(baud);
  options.SelectedAddress = static_cast<uint8_t>(address);
  options.All = all;
  TSensorScan scan(options);
  TKARVOInterface link;
  Watch watch([&scan] { scan.Cancel(); });
  const TScanResult result = watch.Run([&] { return scan.Run(link); });
  if (result.Status != ST_OK) {
    const bool opening = result.Status == ST_NOT_OPEN;
    RaiseError(dev::Result::Failure(
        result.Status, (opening ? "opening " : "scanning ") + port,
        result.Reason.empty() && opening ? "port already in use or not available" : result.Reason));
  }
  py::list found;
  for (const TFoundSensor& f : result.Found)
    found.append(py::make_tuple(f.Baud, f.Address, IdentityTuple(f.Identity)));
  return found;
}

}  // namespace karvo::python
