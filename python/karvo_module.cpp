// karvo: the sensor from Python test scripts and notebooks. Every call goes through the device
// layer; every wait on the line runs with the GIL released, and Ctrl-C cancels a call between
// two requests, after which the device layer has put the sensor (and the stage) back.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "device/Sensor.h"
#include "device/Stage.h"
#include "device/Words.h"
#include "files/TextFile.h"
#include "measure/RunModes.h"
#include "params/ParamFile.h"
#include "params/ParamGrid.h"
#include "params/ValueCheck.h"
#include "protocol/SensorScan.h"
#include "stage/SweepFiles.h"

namespace py = pybind11;
namespace dev = karvo::device;
using namespace karvo;

namespace {

PyObject* g_error = nullptr;     // karvo.Error, alive as long as the process
unsigned long g_mainThread = 0;  // the only thread Python delivers signals to

// A call refused because a stream holds the line; turned into RuntimeError, never shown.
constexpr uint32_t ST_STREAMING = 1000;
// How often a waiting main thread looks for Ctrl-C.
constexpr auto LOOK_EVERY = std::chrono::milliseconds(50);
// Far beyond any parameter file: keeps a wrongly chosen file from filling the memory.
constexpr size_t MAX_PARAM_FILE_SIZE = 16 * 1024 * 1024;
constexpr size_t MAX_TOKEN_SHOWN = 100;

py::str Text(const std::string& utf8) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

[[noreturn]] void RaiseError(dev::Result r) {
  if (r.Status == ST_STREAMING)
    throw std::runtime_error("the sensor is streaming: stop the stream first");
  // Refused values are named in the grid's Windows-1251 texts.
  if (r.Status == dev::ST_BAD_VALUE) r.Reason = Cp1251ToUtf8(r.Reason);
  std::string sentence = r.Describe();
  sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
  if (sentence.back() != '.') sentence += '.';
  py::object error = py::reinterpret_borrow<py::object>(g_error)(Text(sentence));
  error.attr("status") = r.Status;
  error.attr("reason") = Text(r.Reason);
  error.attr("doing") = Text(r.Doing);
  PyErr_SetObject(g_error, error.ptr());
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

// One call's watch over Ctrl-C and over the Python callbacks the call makes.
class Watch {
 public:
  explicit Watch(std::function<void()> interrupt = {}) : interrupt_(std::move(interrupt)) {}

  const dev::CancelToken* Token() const { return &token_; }

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

// ---- What the calls return ----

struct Identity {
  int DeviceType, Release, SerialNumber, BaseDistance, MeasuringRange;
  explicit Identity(const IdentityRecord& r)
      : DeviceType(r.DeviceType),
        Release(r.Release),
        SerialNumber(r.SerialNumber),
        BaseDistance(r.BaseDistance),
        MeasuringRange(r.MeasuringRange) {}
};

std::string RowName(int row) {
  // The grid indents some names; the indent is layout, not name.
  std::string name = Cp1251ToUtf8(ParamTable[row].Name);
  return name.substr(name.find_first_not_of(' '));
}

struct Parameter {
  int Row;
  std::string Name, Value;
  py::object Raw;
  Parameter(int row, const TPARAMVALUE& v, int16_t range)
      : Row(row), Name(RowName(row)), Value(Cp1251ToUtf8(GridCellText(row, v, range))) {
    if (ParamTable[row].Kind == KIND_TEXT) {
      Raw = Text(Cp1251ToUtf8(v.Text));
    } else {
      Raw = py::int_(static_cast<int32_t>(v.Value));
    }
  }
};

struct Difference {
  int Row;
  std::string Name, Expected, Read;
};

struct Pulse {
  int Position, Exposure;
  py::array_t<int64_t> Samples;
};

struct SweepOutcome {
  std::string Kind;
  uint32_t Steps, Expected;
  bool Completed;
  py::object TableChecked = py::none(), ErrorPercent = py::none(), File = py::none();
};

struct Found {
  uint32_t Baud;
  int Address;
  Identity Id;
};

// A value as the display shows it: rounded to the mode's decimals.
double Shown(uint32_t runMode, float value) {
  const double scale = std::pow(10.0, ModeDisplay(runMode).Decimals);
  return std::round(static_cast<double>(value) * scale) / scale;
}

py::array_t<double> Array(const std::vector<double>& values) {
  py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), array.mutable_data());
  return array;
}

// "Line", "NonLine" or "Temperature": the modes that take results.
uint32_t ResultMode(const std::string& name) {
  const auto mode = dev::RunModeNamed(name);
  if (mode && *mode != RUN_PULSE) return *mode;
  throw py::value_error("mode takes Line, NonLine or Temperature, not '" + name + "'");
}

std::string ReadParamFile(const std::filesystem::path& path) {
  if (access(path.c_str(), F_OK) != 0) RaiseOSError(errno, path);
  std::string bytes, reason;
  if (!ReadRegularFile(path, MAX_PARAM_FILE_SIZE, bytes, reason)) {
    throw py::value_error(path.string() + ": " + reason);
  }
  TParamSet scratch;
  const TParamFileRead read = ReadParamFileBytes(bytes, scratch);
  if (!read.Complete) {
    std::string token = read.BadToken.substr(0, MAX_TOKEN_SHOWN);
    throw py::value_error(path.string() + ": " + Cp1251ToUtf8(NotValidIntegerMessage(token)));
  }
  return bytes;
}

bool IsModeRegisterRow(int row) {
  return row == ROW_SAMPLE_CONTROL || row == ROW_AL_CONTROL || row == ROW_WINDOW_CONTROL ||
         row == ROW_CAN_MODE;
}

// ---- The sensor ----

class PySensor {
 public:
  PySensor(const std::string& port, long long baud, long long address) {
    if (port.empty()) throw py::value_error("port is empty");
    if (baud < 1 || baud > 4000000) throw py::value_error("baud must be 1 to 4000000");
    if (address < 1 || address > 127) throw py::value_error("address must be 1 to 127");
    settings_.Port = port;
    settings_.Baud = static_cast<uint32_t>(baud);
    settings_.Address = static_cast<uint8_t>(address);
    Watch watch;
    Check(watch.Run([&] { return sensor_.Open(settings_); }));
  }
  // No other call can be under way here: a call keeps its sensor alive.
  ~PySensor() { CloseLocked(); }

  void Close() {
    py::gil_scoped_release release;
    CloseLocked();
  }

  dev::SensorSettings Settings() {
    py::gil_scoped_release release;
    std::lock_guard guard(busy_);
    return sensor_.Settings();
  }
  bool Closed() {
    py::gil_scoped_release release;
    std::lock_guard guard(busy_);
    return !sensor_.IsOpen();
  }

  Identity Identify() {
    IdentityRecord id;
    Watch watch;
    Do(watch, "identify", [&] {
      identified_ = false;
      return Identified(id);
    });
    return Identity(id);
  }

  std::vector<Parameter> ReadParameters() {
    TParamSet values;
    int16_t range = 0;
    Watch watch;
    Do(watch, "reading the parameters", [&] { return ReadAll(values, range, watch); });
    std::vector<Parameter> rows;
    for (int row = 0; row < PARAM_COUNT; ++row) rows.emplace_back(row, values[row], range);
    return rows;
  }

  Parameter WriteParameter(int row, const py::object& value) {
    if (row < 0 || row >= PARAM_COUNT) {
      throw py::value_error("row must be 0 to 35, not " + std::to_string(row));
    }
    std::string typed;
    if (py::isinstance<py::str>(value)) {
      typed = Utf8ToCp1251(value.cast<std::string>());
    } else if (py::isinstance<py::int_>(value) && !PyBool_Check(value.ptr())) {
      typed = py::str(value).cast<std::string>();
    } else {
      throw py::type_error("a parameter value is an int or a str, not " +
                           py::str(py::type::of(value).attr("__name__")).cast<std::string>());
    }
    // Checked before anything is sent: only the laser row's list follows the range, and its
    // numbers fit either list.
    TParamSet values;
    std::string problem;
    if (!TakeTypedValue(row, typed, values, range_, problem)) {
      throw py::value_error(Cp1251ToUtf8(problem));
    }
    int16_t range = 0;
    bool refused = false;
    Watch watch;
    Do(watch, "writing row " + std::to_string(row), [&] {
      IdentityRecord id;
      if (dev::Result r = Identified(id); !r) return r;
      range = sensor_.MeasuringRange();
      if (IsModeRegisterRow(row)) {
        // The four rows share register 2: an edit changes only its own bits of it.
        if (dev::Result r = sensor_.ReadParameter(row, values[row]); !r) return r;
        for (int shared : {ROW_SAMPLE_CONTROL, ROW_AL_CONTROL, ROW_WINDOW_CONTROL, ROW_CAN_MODE})
          values[shared] = values[row];
      }
      refused = !TakeTypedValue(row, typed, values, range, problem);
      return refused ? dev::Result::Success() : sensor_.WriteParameter(row, values[row]);
    });
    if (refused) throw py::value_error(Cp1251ToUtf8(problem));
    return Parameter(row, values[row], range);
  }

  void SaveParameters(const std::filesystem::path& path, bool force) {
    if (!force && access(path.c_str(), F_OK) == 0) RaiseOSError(EEXIST, path);
    TParamSet values;
    int16_t range = 0;
    Watch watch;
    Do(watch, "reading the parameters", [&] { return ReadAll(values, range, watch); });
    int error = 0;
    if (!WriteFileReplacing(path, ParamFileBytes(values), error)) RaiseOSError(error, path);
  }

  void LoadParameters(const std::filesystem::path& path, bool force) {
    const std::string bytes = ReadParamFile(path);
    // Rows the file does not name keep the sensor's own values.
    TParamSet values;
    int16_t range = 0;
    Watch watch;
    Do(watch, "reading the parameters", [&] { return ReadAll(values, range, watch); });
    ReadParamFileBytes(bytes, values);
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
  }

  std::vector<Difference> CompareParameters(const std::filesystem::path& path) {
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
    std::vector<Difference> differences;
    for (const dev::ParameterDifference& d : found) {
      differences.push_back({d.Row, RowName(d.Row),
                             Cp1251ToUtf8(GridCellText(d.Row, d.Expected, range)),
                             Cp1251ToUtf8(GridCellText(d.Row, d.Read, range))});
    }
    return differences;
  }

  void Flash(const std::string& what) {
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

  py::array_t<double> Measure(long long count, const std::optional<std::string>& mode) {
    if (count < 0) throw py::value_error("count must not be negative");
    const std::optional<uint32_t> asked = mode ? std::optional(ResultMode(*mode)) : std::nullopt;
    std::vector<double> values;
    Watch watch;
    Do(watch, "measuring", [&] {
      uint32_t runMode = 0;
      if (dev::Result r = Prepare(asked, runMode); !r) return r;
      return sensor_.Measure(
          runMode, static_cast<size_t>(count),
          [&](float v) { values.push_back(Shown(runMode, v)); }, watch.Token());
    });
    return Array(values);
  }

  void Zero() {
    Watch watch;
    Do(watch, "zero set", [&] {
      TParamSet working;
      if (dev::Result r = sensor_.ReadParameter(ROW_ZERO_POINT, working[ROW_ZERO_POINT]); !r)
        return r;
      return sensor_.Zero(working);
    });
  }

  Pulse ReadPulse() {
    PulseRecord record;
    Watch watch;
    Do(watch, "reading the pulse", [&] { return sensor_.ReadPulse(record); });
    py::array_t<int64_t> samples(static_cast<py::ssize_t>(PULSE_SAMPLES));
    std::copy(std::begin(record.Samples), std::end(record.Samples), samples.mutable_data());
    // Exposure in microseconds, as the chart's footer shows it.
    return {record.Position, record.Exposure / 10, samples};
  }

  py::array_t<double> StreamCount(long long count, const std::optional<std::string>& mode) {
    if (count < 1) throw py::value_error("count must be 1 or more");
    const std::optional<uint32_t> asked = mode ? std::optional(ResultMode(*mode)) : std::nullopt;
    std::vector<double> values;
    Watch watch;
    Do(watch, "streaming", [&] {
      uint32_t runMode = 0;
      if (dev::Result r = Prepare(asked, runMode); !r) return r;
      return sensor_.Stream(
          runMode, static_cast<uint64_t>(count),
          [&](float v) { values.push_back(Shown(runMode, v)); }, watch.Token());
    });
    return Array(values);
  }

  // Starts a stream that runs until stopped; its samples are taken by TakeStream.
  std::shared_ptr<dev::SensorStream> StartStream(const std::optional<std::string>& mode,
                                                 uint32_t& runMode) {
    const std::optional<uint32_t> asked = mode ? std::optional(ResultMode(*mode)) : std::nullopt;
    std::shared_ptr<dev::SensorStream> stream;
    Watch watch;
    Do(watch, "starting the stream", [&] {
      if (dev::Result r = Prepare(asked, runMode); !r) return r;
      stream = std::make_shared<dev::SensorStream>(sensor_, runMode);
      dev::Result r = stream->Start();
      if (r) stream_ = stream;
      return r;
    });
    return stream;
  }

  // Stops `stream` if it is still the sensor's; called with the GIL released.
  dev::Result StopStream(const std::shared_ptr<dev::SensorStream>& stream) {
    std::lock_guard guard(busy_);
    if (!stream || stream_ != stream) return dev::Result::Success();
    stream_.reset();
    return stream->Stop();
  }
  bool Streams(const std::shared_ptr<dev::SensorStream>& stream) {
    std::lock_guard guard(busy_);
    return stream && stream_ == stream && stream->Running();
  }

  SweepOutcome Sweep(const std::string& kind, const std::string& stagePort,
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
    SweepOutcome outcome{kind, result.Steps, result.Expected, result.Completed};
    if (*chosen == dev::SweepKind::Calibrate) outcome.TableChecked = py::bool_(result.Table.Passed);
    if (*chosen == dev::SweepKind::Verify) {
      outcome.ErrorPercent = py::float_(result.Verification.ErrorPercent);
    }
    if (!result.File.empty()) outcome.File = Text(result.File);
    return outcome;
  }

  std::string Repr() {
    const dev::SensorSettings s = Settings();
    return "<karvo.Sensor " + py::repr(Text(s.Port)).cast<std::string>() +
           " baud=" + std::to_string(s.Baud) + " address=" + std::to_string(s.Address) +
           (Closed() ? " closed>" : ">");
  }

 private:
  // Runs `work` on the sensor with the GIL released, one call at a time; raises its failure.
  template <class F>
  void Do(Watch& watch, const std::string& doing, F&& work) {
    Check(watch.Run([&]() -> dev::Result {
      std::lock_guard guard(busy_);
      if (stream_) return dev::Result::Failure(ST_STREAMING, doing);
      if (!sensor_.IsOpen())
        return dev::Result::Failure(ST_NOT_OPEN, doing, "the sensor is closed");
      return work();
    }));
  }

  // The identity, asked once: results in mm and the laser row's list need the range.
  dev::Result Identified(IdentityRecord& id) {
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

  dev::Result ReadAll(TParamSet& values, int16_t& range, Watch& watch) {
    IdentityRecord id;
    if (dev::Result r = Identified(id); !r) return r;
    range = sensor_.MeasuringRange();
    return sensor_.ReadParameters(values, watch.Token());
  }

  // The range known, and the run mode asked for or the one the sensor's "Mode of Run" holds.
  dev::Result Prepare(const std::optional<uint32_t>& asked, uint32_t& runMode) {
    IdentityRecord id;
    if (dev::Result r = Identified(id); !r) return r;
    if (asked) {
      runMode = *asked;
      return dev::Result::Success();
    }
    return dev::ReadHeldRunMode(sensor_, runMode);
  }

  void CloseLocked() {
    std::lock_guard guard(busy_);
    if (stream_) stream_->Stop();
    stream_.reset();
    sensor_.Close();
  }

  dev::Sensor sensor_;
  dev::SensorSettings settings_;
  std::mutex busy_;  // one call on the line at a time
  std::shared_ptr<dev::SensorStream> stream_;
  bool identified_ = false;
  IdentityRecord identity_;
  std::atomic<int16_t> range_ = 0;  // also read before a call, for the value check
};

// A running stream as an iterator of samples; leaving its `with` block, or dropping it, stops it.
class PyStream {
 public:
  PyStream(py::object owner, PySensor& sensor, const std::optional<std::string>& mode)
      : owner_(std::move(owner)), sensor_(sensor) {
    stream_ = sensor_.StartStream(mode, runMode_);
  }
  ~PyStream() { sensor_.StopStream(stream_); }

  double Next() {
    while (next_ == taken_.size()) {
      taken_.clear();
      next_ = 0;
      dev::Result r;
      bool ours = false;
      {
        py::gil_scoped_release release;
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

  void Stop() {
    dev::Result r;
    {
      py::gil_scoped_release release;
      r = sensor_.StopStream(stream_);
    }
    Check(r);
  }

  bool Running() {
    py::gil_scoped_release release;
    return sensor_.Streams(stream_);
  }

 private:
  py::object owner_;  // keeps the sensor alive while the stream is
  PySensor& sensor_;
  std::shared_ptr<dev::SensorStream> stream_;
  uint32_t runMode_ = RUN_LINE;
  std::vector<float> taken_;
  size_t next_ = 0;
};

// "Name(a=1, b='x')" from the object's attributes.
template <class T>
void Fields(py::class_<T>& type, std::vector<const char*> names) {
  type.def("__repr__", [names](const py::object& self) {
    std::string text = py::str(self.attr("__class__").attr("__name__")).cast<std::string>() + "(";
    for (size_t i = 0; i < names.size(); ++i) {
      text += std::string(i ? ", " : "") + names[i] + "=" +
              py::repr(self.attr(names[i])).cast<std::string>();
    }
    return text + ")";
  });
}

std::vector<Found> Scan(const std::string& port, bool all, long long baud, long long address) {
  if (port.empty()) throw py::value_error("port is empty");
  if (baud < 1 || baud > 4000000) throw py::value_error("baud must be 1 to 4000000");
  if (address < 1 || address > 127) throw py::value_error("address must be 1 to 127");
  TScanOptions options;
  options.Port = PortItemLink(port, static_cast<uint32_t>(baud));
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
  std::vector<Found> found;
  for (const TFoundSensor& f : result.Found)
    found.push_back({f.Baud, f.Address, Identity(f.Identity)});
  return found;
}

}  // namespace

PYBIND11_MODULE(karvo, m) {
  m.doc() =
      "KARVO laser distance sensors from Python: open a sensor on a serial port, read its "
      "identity and parameters, measure into numpy arrays, stream, find a sensor on a line and "
      "run calibration and verification sweeps with a motorised stage.\n\n"
      "Device failures raise karvo.Error; bad arguments raise ValueError or TypeError. Calls "
      "release the GIL while they wait on the line, and Ctrl-C cancels a long call between two "
      "requests once the sensor has been put back.";
  m.attr("__version__") = KARVO_VERSION;
  g_mainThread =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  py::module_::import("numpy");

  py::dict defaults;
  defaults["status"] = 0;
  defaults["reason"] = "";
  defaults["doing"] = "";
  g_error = PyErr_NewExceptionWithDoc(
      "karvo.Error",
      "A sensor or stage failed. status: the status code (2 port not open, 3 answer incomplete "
      "within the time-outs, 4 read failed, 5 short write, 6 write failed or wrong acknowledge, "
      "8 inconsistent answer, 21 value refused, 22 the stage stays busy, 23 the stage does not "
      "answer, 24 file not written); reason: the system's reason, if known; doing: what was "
      "being done. str() is a full sentence.",
      PyExc_Exception, defaults.ptr());
  if (g_error == nullptr) throw py::error_already_set();
  m.attr("Error") = py::handle(g_error);

  py::class_<Identity> identity(m, "Identity", "The sensor's identity; distances in mm.");
  identity.def_readonly("device_type", &Identity::DeviceType)
      .def_readonly("release", &Identity::Release)
      .def_readonly("serial_number", &Identity::SerialNumber)
      .def_readonly("base_distance", &Identity::BaseDistance)
      .def_readonly("measuring_range", &Identity::MeasuringRange);
  Fields(identity, {"device_type", "release", "serial_number", "base_distance", "measuring_range"});

  py::class_<Parameter> parameter(
      m, "Parameter",
      "One of the 36 parameters: row (0 to 35), name, value (the text the parameter grid shows) "
      "and raw (the number the registers hold, or the text of a text row).");
  parameter.def_readonly("row", &Parameter::Row)
      .def_readonly("name", &Parameter::Name)
      .def_readonly("value", &Parameter::Value)
      .def_readonly("raw", &Parameter::Raw);
  Fields(parameter, {"row", "name", "value", "raw"});

  py::class_<Difference> difference(
      m, "Difference",
      "A row where the sensor differs from a file: the file's value (expected) "
      "and the sensor's (read), as the grid shows them.");
  difference.def_readonly("row", &Difference::Row)
      .def_readonly("name", &Difference::Name)
      .def_readonly("expected", &Difference::Expected)
      .def_readonly("read", &Difference::Read);
  Fields(difference, {"row", "name", "expected", "read"});

  py::class_<Pulse> pulse(m, "Pulse",
                          "The pulse profile: position (px), exposure (microseconds) and the "
                          "128 samples of the profile.");
  pulse.def_readonly("position", &Pulse::Position)
      .def_readonly("exposure", &Pulse::Exposure)
      .def_readonly("samples", &Pulse::Samples);
  Fields(pulse, {"position", "exposure", "samples"});

  py::class_<SweepOutcome> sweep(
      m, "SweepResult",
      "What a sweep came to: kind, steps (samples taken) of expected, completed (the end of "
      "travel reached), table_checked (calibrate: the table loaded and read back equal), "
      "error_percent (verify: the linearity error), file (the file written, or None).");
  sweep.def_readonly("kind", &SweepOutcome::Kind)
      .def_readonly("steps", &SweepOutcome::Steps)
      .def_readonly("expected", &SweepOutcome::Expected)
      .def_readonly("completed", &SweepOutcome::Completed)
      .def_readonly("table_checked", &SweepOutcome::TableChecked)
      .def_readonly("error_percent", &SweepOutcome::ErrorPercent)
      .def_readonly("file", &SweepOutcome::File);
  Fields(sweep,
         {"kind", "steps", "expected", "completed", "table_checked", "error_percent", "file"});

  py::class_<Found> found(m, "Found",
                          "A sensor a scan found: its baud rate, address and identity.");
  found.def_readonly("baud", &Found::Baud)
      .def_readonly("address", &Found::Address)
      .def_readonly("identity", &Found::Id);
  Fields(found, {"baud", "address", "identity"});

  py::class_<PyStream>(
      m, "Stream",
      "A stream of samples from Sensor.stream(), as the display shows them. Iterate over it for "
      "the samples; leaving its `with` block, stop(), or dropping it stops the sensor's stream. "
      "A failure of the line raises karvo.Error; Ctrl-C stops the stream, then raises.")
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", &PyStream::Next)
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](PyStream& s, const py::object& type, const py::object&, const py::object&) {
             // A failure to stop must not hide the exception that left the block.
             if (type.is_none()) {
               s.Stop();
             } else {
               try {
                 s.Stop();
               } catch (py::error_already_set&) {
               }
             }
           })
      .def("stop", &PyStream::Stop, "Stops the stream; the sensor answers requests again.")
      .def_property_readonly("running", &PyStream::Running, "Whether the stream still runs.");

  py::class_<PySensor>(
      m, "Sensor",
      "One sensor on a serial port, opened at once.\n\n"
      "Sensor(port, baud=9600, address=1): port is 'COM1' to 'COM8' (/dev/ttyS0 to /dev/ttyS7), "
      "'USB' (the USB serial adapter), or a device path such as /dev/ttyUSB0 or a pseudo-terminal "
      "of karvo-sim. Use it as a context manager, or close() it. Calls that need the measuring "
      "range identify the sensor first, once.")
      .def(py::init<const std::string&, long long, long long>(), py::arg("port"),
           py::arg("baud") = 9600, py::arg("address") = 1)
      .def("close", &PySensor::Close, "Stops a stream and closes the port; closing twice is fine.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](PySensor& s, const py::args&) { s.Close(); })
      .def("__repr__", &PySensor::Repr)
      .def_property_readonly("port", [](PySensor& s) { return Text(s.Settings().Port); })
      .def_property_readonly(
          "baud", [](PySensor& s) { return s.Settings().Baud; },
          "The line's rate: it follows writes of row 2 and a flash restore.")
      .def_property_readonly(
          "address", [](PySensor& s) { return s.Settings().Address; },
          "The net address: it follows writes of row 3 and a flash restore.")
      .def_property_readonly("closed", &PySensor::Closed)
      .def("identify", &PySensor::Identify, "Asks the sensor for its identity -> Identity.")
      .def("read_parameters", &PySensor::ReadParameters,
           "Reads the 36 parameters -> list of Parameter, in row order.")
      .def("write_parameter", &PySensor::WriteParameter, py::arg("row"), py::arg("value"),
           "Writes one parameter, the value as the grid takes it: a number, hex digits, a "
           "pick-list entry ('On', '115200', 'NonLine') or a text; rows 11 and 12 in whole "
           "percent. A value the row refuses raises ValueError before anything is sent. "
           "Returns the Parameter as written. Rows 2 and 3 move the line to the new rate and "
           "address.")
      .def("save_parameters", &PySensor::SaveParameters, py::arg("path"), py::arg("force") = false,
           "Reads the parameters and writes them to a .prm file; an existing file is replaced "
           "only with force=True (FileExistsError otherwise).")
      .def("load_parameters", &PySensor::LoadParameters, py::arg("path"), py::arg("force") = false,
           "Writes the parameters of a .prm file to the sensor, rows the file does not name "
           "keeping theirs. A file with values their rows refuse raises ValueError before "
           "anything is written, unless force=True, which writes them as they are.")
      .def("compare_parameters", &PySensor::CompareParameters, py::arg("path"),
           "Compares the sensor with a .prm file -> list of Difference (empty when equal). A "
           "failed read raises karvo.Error, never a difference.")
      .def("flash", &PySensor::Flash, py::arg("operation"),
           "'store' commits the parameters to FLASH, 'restore' brings back the factory set "
           "(the line then follows it: 9600 baud, address 1), 'factory' makes the current set "
           "the factory set.")
      .def("measure", &PySensor::Measure, py::arg("count") = 10, py::arg("mode") = py::none(),
           "Takes count results -> numpy float64 array, as the display shows them: mm in "
           "'Line', raw position in 'NonLine', raw temperature in 'Temperature'. mode None "
           "takes the sensor's own 'Mode of Run'; the sensor is not written.")
      .def("zero", &PySensor::Zero,
           "Zero set: the current result is added to the zero point (row 14), which is written.")
      .def("pulse", &PySensor::ReadPulse, "Reads the pulse profile -> Pulse.")
      .def(
          "stream",
          [](py::object self, std::optional<long long> count,
             std::optional<std::string> mode) -> py::object {
            PySensor& sensor = self.cast<PySensor&>();
            if (count) return sensor.StreamCount(*count, mode);
            return py::cast(std::make_unique<PyStream>(self, sensor, mode));
          },
          py::arg("count") = py::none(), py::arg("mode") = py::none(),
          "stream(count) takes count streamed samples -> numpy float64 array. stream() starts "
          "a Stream to iterate over (`with s.stream() as st: for value in st: ...`). The sensor "
          "answers no other call while it streams; the stream is stopped on every way out.")
      .def("sweep", &PySensor::Sweep, py::arg("kind"), py::arg("stage_port"),
           py::arg("file") = py::none(), py::arg("force") = false, py::arg("progress") = py::none(),
           "Runs a stage-driven sweep -> SweepResult. kind: 'calibrate' (builds the calibration "
           "table, loads and checks it, writes a .klb file), 'verify' (the linearity error, a "
           ".pvk file), 'home' or 'end' (moves the stage). stage_port names the stage's port. "
           "file defaults to the serial number and the extension in the current folder, as "
           "karvo-cli; an existing one is replaced only with force=True. progress(samples, "
           "expected) is called as the sweep goes (it must not call the sensor). The stage "
           "and rows 8 and 26 are put back on every way out.");

  m.def("scan", &Scan, py::arg("port"), py::arg("all") = false, py::arg("baud") = 9600,
        py::arg("address") = 1,
        "Finds a sensor on port at any baud rate and address, the given ones and the factory "
        "settings first -> list of Found: the first sensor that answers, or every one with "
        "all=True; empty when none answers. The port must not be open.");
}
