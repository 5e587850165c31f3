// The sensor as the Python package sees it: each call of karvo.Sensor and karvo.Stream as a
// method that takes and returns Python values, raises the package's exceptions, releases the
// GIL while it waits on the line and can be ended by Ctrl-C, cancel() or close().
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/Arguments.h"
#include "device/Line.h"
#include "device/Rounds.h"
#include "device/Sensor.h"

namespace karvo::python {

namespace py = pybind11;
namespace dev = karvo::device;

// Told once by the module: the thread Python delivers signals to, and the package's exception
// classes: the base, and the subclasses some statuses raise (the port's OSError, ...).
void SetMainThread(unsigned long ident);
void SetErrorClasses(py::object base, std::map<uint32_t, py::object> special);

// One call's watch over Ctrl-C and over the Python callbacks the call makes.
class Watch;

// Set when a close has finished. A call that the close cancelled says so only then, so that
// the caller who hears "closed by ..." finds the port free.
class CloseDone {
 public:
  void Set();
  // With the GIL held; waits without it, a few seconds at most.
  void Await();

 private:
  std::mutex lock_;
  std::condition_variable set_;
  bool done_ = false;
};

// One sensor on its port, opened at once, one call on the line at a time.
class PySensor {
 public:
  PySensor(const std::string& port, long long baud, long long address, double timeout);
  // A sensor of a Bus, at `address` on the bus's open line; the line is the bus's to close.
  PySensor(std::shared_ptr<dev::Line> line, uint8_t address, uint32_t timeoutMs);
  // No other call can be under way here: a call keeps its sensor alive.
  ~PySensor();

  // Ends the call under way and stops a stream; closes once the line is free, which is within
  // one exchange.
  void Close();
  // The part of a bus's close for one of its sensors; the bus tells it the close is done
  // (ClosedWithBus) once the line is closed too.
  void CloseOnBus();
  void ClosedWithBus() { closeDone_.Set(); }
  // Ends the call under way, from any thread; a Stream being iterated stops.
  void Cancel();
  dev::SensorSettings Settings();
  py::str Port();
  bool Closed();
  double Timeout() const;
  // What the port could not set on open (a tcp:// port's rate), for a UserWarning; "" if all.
  std::string Notice() const { return notice_; }
  py::tuple Identify();
  std::string Unit();
  py::list ReadParameters();
  py::tuple WriteParameter(long long row, const py::object& value);
  void SaveParameters(const std::filesystem::path& path, bool force);

  // Returns the identity rows the file gave the sensor, in words; "" when none differed or
  // they were kept.
  std::string LoadParameters(const std::filesystem::path& path, bool force, bool keepIdentity);
  py::list CompareParameters(const std::filesystem::path& path);
  void Flash(const std::string& what);
  py::object Measure(long long count, const std::optional<std::string>& mode, bool times);
  void Zero();
  py::tuple ReadPulse();
  py::object StreamCount(long long count, const std::optional<std::string>& mode, bool times);

  // Starts a stream that runs until stopped; its samples are taken by the Stream iterator.
  std::shared_ptr<dev::SensorStream> StartStream(const std::optional<std::string>& mode,
                                                 uint32_t& runMode);

  // Stops `stream` if it is still the sensor's; called with the GIL released.
  dev::Result StopStream(const std::shared_ptr<dev::SensorStream>& stream);
  bool Streams(const std::shared_ptr<dev::SensorStream>& stream);
  // cancel() asked the stream's iteration to end.
  bool StreamCancelled() const;
  py::tuple Sweep(const std::string& kind, const std::string& stagePort,
                  const std::optional<std::filesystem::path>& file, bool force,
                  const py::object& progress);

  // For a Bus's rounds, with the GIL released: the sensor's measuring range and the
  // run mode asked for or the one it holds, in this sensor's turn.
  dev::Result ForRounds(const std::optional<uint32_t>& asked, dev::PolledSensor& polled,
                        const dev::CancelToken* cancel);

 private:
  // Runs `work` on the sensor with the GIL released, one call at a time; raises its failure,
  // and warns of what the port could not set (a rate change on a tcp:// port).
  template <class F>
  void Do(Watch& watch, const std::string& doing, F&& work);
  // A measure or a counted stream: `count` samples in the mode asked for (or the sensor's
  // own), as values or (times, values). `take(runMode, add, token)` runs the operation.
  template <class F>
  py::object TakeSamples(long long count, const dev::CountLimit& limit, const std::string& doing,
                         const std::optional<std::string>& mode, bool times, F&& take);

  // A call's cancellation, reachable from cancel() and close() on other threads while it runs.
  class Active {
   public:
    Active(PySensor& sensor, dev::CancelToken& token) : sensor_(sensor), token_(token) {
      std::lock_guard guard(sensor_.activeLock_);
      sensor_.active_.insert(&token_);
    }
    ~Active() {
      std::lock_guard guard(sensor_.activeLock_);
      sensor_.active_.erase(&token_);
    }
    Active(const Active&) = delete;
    Active& operator=(const Active&) = delete;

   private:
    PySensor& sensor_;
    dev::CancelToken& token_;
  };
  void CancelCalls();

  // timeout= bounds the whole wait for an answer, so one read call rather than the port's three.
  void ApplyTimeout();
  void Release();

  // The identity, asked once: results in mm and the laser row's list need the range.
  dev::Result Identified(IdentityRecord& id);
  dev::Result ReadAll(TParamSet& values, int16_t& range, Watch& watch);

  // The range known, and the run mode asked for or the one the sensor's "Mode of Run" holds.
  dev::Result Prepare(const std::optional<uint32_t>& asked, uint32_t& runMode);
  void CloseLocked();

  dev::Sensor sensor_;
  dev::SensorSettings settings_;
  uint32_t timeoutMs_ = 0;  // 0: the sensor's own read time-outs
  std::string holdKey_;
  bool released_ = false;  // under g_heldLock
  std::string notice_;
  bool onBus_ = false;
  bool closedHere_ = false;  // a Bus's sensor closed alone; the line stays the bus's
  std::mutex busy_;          // one call on the line at a time
  std::shared_ptr<dev::SensorStream> stream_;
  std::atomic<bool> streamCancelled_ = false;
  std::atomic<bool> closing_ = false;
  CloseDone closeDone_;
  std::mutex activeLock_;
  std::set<dev::CancelToken*> active_;
  bool identified_ = false;
  IdentityRecord identity_;
  std::atomic<int16_t> range_ = 0;  // also read before a call, for the value check
};

// A running stream as an iterator of samples; leaving its `with` block, or dropping it, stops it.
class PyStream {
 public:
  // Starts the stream; `owner` is the Python object of `sensor`.
  PyStream(py::object owner, PySensor& sensor, const std::optional<std::string>& mode);
  ~PyStream();
  double Next();
  void Stop();
  bool Running();
  std::string Unit() const;
  uint64_t Lost() const;

 private:
  py::object owner_;  // keeps the sensor alive while the stream is
  PySensor& sensor_;
  std::shared_ptr<dev::SensorStream> stream_;
  uint32_t runMode_ = RUN_LINE;
  std::vector<float> taken_;
  size_t next_ = 0;
};

// Several sensors on one line, each a PySensor whose calls take turns with the others' and
// with the bus's own rounds.
class PyBus {
 public:
  PyBus(const std::string& port, long long baud, const std::vector<long long>& addresses,
        double timeout);
  ~PyBus();
  void Close();
  void Cancel();
  bool Closed() const;
  py::str Port() const;
  uint32_t Baud() const { return baud_; }
  double Timeout() const { return timeoutMs_ / 1000.0; }
  std::string Notice() const { return notice_; }
  // The addresses in the order given, and their sensors (karvo._karvo.Sensor objects).
  const std::vector<uint8_t>& Addresses() const { return addresses_; }
  py::list Sensors() const;
  // `count` rounds as an array (count, sensors), NaN where a sensor did not answer.
  py::object Measure(long long count, const std::optional<std::string>& mode);

 private:
  void Release();

  std::shared_ptr<dev::Line> line_ = std::make_shared<dev::Line>();
  std::vector<uint8_t> addresses_;
  std::vector<py::object> objects_;  // own the sensors below
  std::vector<PySensor*> sensors_;
  std::string port_;
  uint32_t baud_ = 9600;
  uint32_t timeoutMs_ = 0;
  std::string notice_;
  std::string holdKey_;
  bool released_ = false;  // under g_heldLock
  std::atomic<bool> closing_ = false;
  CloseDone closeDone_;
  std::mutex activeLock_;
  std::set<dev::CancelToken*> active_;
};

// Finds sensors on a port that is not open -> list of (baud, address, identity tuple).
py::list Scan(const std::string& port, bool all, long long baud, long long address);

}  // namespace karvo::python
