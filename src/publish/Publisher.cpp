#include "publish/Publisher.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "measure/RunModes.h"
#include "params/ParamGrid.h"
#include "params/ParamTable.h"

namespace karvo::publish {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ROW_SAMPLING_PERIOD = 9;  // microseconds
constexpr double SENSOR_MIN_PERIOD_S = 100e-6;
constexpr double STREAM_SAMPLE_BITS = 4 * 11;
// Far beyond any plant's need; keeps a mistyped --buffer-seconds from taking all memory.
constexpr size_t MAX_BUFFERED_SAMPLES = 50'000'000;

double UnixNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

struct TStation {
  TSensorIdentity Identity;
  uint32_t RunMode = RUN_LINE;
  std::unique_ptr<TSampleQueue> Queue;
  std::unique_ptr<TBrokerClient> Client;
  int Failures = 0;  // polls missed in a row
  Clock::time_point FirstFailure{};
  bool Lost = false;
  Clock::time_point NextRetry{};
  bool FollowsLast = false;  // the next sample follows the last one in time
};

class TRun {
 public:
  explicit TRun(const TPublishSettings& settings) : s_(settings) {}
  TPublishOutcome Run();

 private:
  bool Cancelled() const { return device::IsCancelled(s_.Cancel); }
  void Report(const std::string& line) const {
    if (s_.Report) s_.Report(line);
  }
  std::string Name(const TStation& station) const {
    return "sensor " + std::to_string(station.Identity.SerialNumber) + " at address " +
           std::to_string(station.Identity.Address);
  }
  void SetLost(TStation& station, bool lost);
  // Enough measured for the count: dropped samples are never delivered, so they are made up.
  bool Measured(const TStation& station) const {
    return s_.Count != 0 && station.Queue->Measured() - station.Queue->Dropped() >= s_.Count;
  }
  bool AllMeasured() const {
    return std::all_of(stations_.begin(), stations_.end(),
                       [&](const TStation& st) { return Measured(st); });
  }
  bool AllDelivered() const {
    return std::all_of(stations_.begin(), stations_.end(),
                       [&](const TStation& st) { return st.Queue->DeliveredCount() >= s_.Count; });
  }
  const TBrokerClient* RefusingClient() const {
    for (const TStation& st : stations_)
      if (st.Client->Refused()) return st.Client.get();
    return nullptr;
  }
  // Whether measuring must end now: a refusal, a stop, or every count measured.
  bool MeasuringOver() const { return Cancelled() || RefusingClient() || AllMeasured(); }
  void Poll();
  void Stream();
  TPublishOutcome Finish();

  const TPublishSettings& s_;
  device::Sensor sensor_;
  std::vector<TStation> stations_;
};

void TRun::SetLost(TStation& station, bool lost) {
  if (station.Lost == lost) return;
  station.Lost = lost;
  station.Client->SetSensorLost(lost);
  Report(Name(station) + (lost ? ": sensor lost" : ": online again"));
}

TPublishOutcome TRun::Run() {
  device::SensorSettings line = s_.Line;
  line.Address = s_.Addresses.front();
  if (device::Result r = sensor_.Open(line); !r) {
    const std::string reason = r.Reason.empty() ? "port already in use or not available" : r.Reason;
    return {TPublishEnd::NoPort, "cannot open " + line.Port + ": " + reason};
  }
  for (uint8_t address : s_.Addresses) {
    sensor_.SetAddress(address);
    const std::string where = "address " + std::to_string(address) + ": ";
    IdentityRecord id;
    if (device::Result r = sensor_.Identify(id); !r) {
      return {TPublishEnd::SensorFailed, where + r.Describe()};
    }
    TPARAMVALUE mode;
    if (device::Result r = sensor_.ReadParameter(ROW_MODE_OF_RUN, mode); !r) {
      return {TPublishEnd::SensorFailed, where + r.Describe()};
    }
    double period = s_.EveryMs / 1000.0;
    if (s_.Stream) {
      TPARAMVALUE sampling;
      if (device::Result r = sensor_.ReadParameter(ROW_SAMPLING_PERIOD, sampling); !r) {
        return {TPublishEnd::SensorFailed, where + r.Describe()};
      }
      period = StreamPeriod(sampling.Value, line.Baud);
    }
    TStation station;
    station.Identity = {.SerialNumber = id.SerialNumber,
                        .DeviceType = id.DeviceType,
                        .Release = id.Release,
                        .BaseDistance = id.BaseDistance,
                        .MeasuringRange = id.MeasuringRange,
                        .Port = line.Port,
                        .Address = address};
    station.RunMode = RunModeOfRegister(mode.Value);
    const double wanted = std::ceil(s_.BufferSeconds / period);
    const size_t capacity = wanted >= static_cast<double>(MAX_BUFFERED_SAMPLES)
                                ? MAX_BUFFERED_SAMPLES
                                : static_cast<size_t>(wanted);
    station.Queue = std::make_unique<TSampleQueue>(capacity, period);
    stations_.push_back(std::move(station));
  }
  for (TStation& station : stations_) {
    station.Client = std::make_unique<TBrokerClient>(s_.Client, station.Identity, station.RunMode,
                                                     *station.Queue);
    std::string problem;
    if (!station.Client->Start(problem)) {
      stations_.clear();
      return {TPublishEnd::Setup, problem};
    }
  }
  if (s_.Stream) {
    Stream();
  } else {
    Poll();
  }
  return Finish();
}

void TRun::Poll() {
  const Clock::duration every = std::chrono::milliseconds(s_.EveryMs);
  Clock::time_point tick = Clock::now();
  while (!MeasuringOver()) {
    const double time = UnixNow();
    for (TStation& station : stations_) {
      if (Cancelled()) return;
      if (Measured(station)) continue;
      const Clock::time_point now = Clock::now();
      if (station.Lost && now < station.NextRetry) continue;
      sensor_.SetAddress(station.Identity.Address);
      uint16_t word = 0;
      if (device::Result r = sensor_.ReadResult(word); !r) {
        station.FollowsLast = false;
        if (station.Failures++ == 0) station.FirstFailure = now;
        if (station.Lost || station.Failures >= LOST_AFTER_FAILURES ||
            Clock::now() - station.FirstFailure >= Seconds(LOST_AFTER_S)) {
          SetLost(station, true);
          station.NextRetry = Clock::now() + Seconds(LOST_RETRY_S);
        }
        continue;
      }
      station.Failures = 0;
      SetLost(station, false);
      station.Queue->Add(time,
                         ConvertResult(station.RunMode, word, station.Identity.MeasuringRange),
                         station.FollowsLast);
      station.FollowsLast = true;
    }
    tick += every;
    const Clock::time_point now = Clock::now();
    if (tick < now) {
      // The round took longer than the pace: the ticks missed are not made up, and what is
      // measured next does not follow on in time.
      tick = now;
      for (TStation& station : stations_) station.FollowsLast = false;
    }
    while (!MeasuringOver() && Clock::now() < tick) {
      std::this_thread::sleep_for(
          std::min<Clock::duration>(tick - Clock::now(), std::chrono::milliseconds(20)));
    }
  }
}

void TRun::Stream() {
  TStation& station = stations_.front();
  const double period = station.Queue->Period();
  std::vector<float> values;
  while (!MeasuringOver()) {
    device::SensorStream stream(sensor_, station.RunMode);
    device::Result r = stream.Start();
    while (r && !MeasuringOver()) {
      values.clear();
      r = stream.Take(values, 100);
      if (values.empty()) continue;
      // The samples came while the last read waited: the newest is about now.
      const double last = UnixNow();
      const size_t n = values.size();
      for (size_t i = 0; i < n && !Measured(station); ++i) {
        station.Queue->Add(last - static_cast<double>(n - 1 - i) * period, values[i],
                           station.FollowsLast);
        station.FollowsLast = true;
      }
      SetLost(station, false);
    }
    stream.Stop();
    if (r || MeasuringOver()) break;
    station.FollowsLast = false;
    SetLost(station, true);
    const Clock::time_point retry = Clock::now() + Seconds(LOST_RETRY_S);
    while (!MeasuringOver() && Clock::now() < retry)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // A sensor that comes back may still be streaming from before.
    sensor_.StopStreamingSensor();
  }
}

TPublishOutcome TRun::Finish() {
  // Counted: wait for the broker to have every sample before saying goodbye.
  while (s_.Count != 0 && !Cancelled() && !RefusingClient() && !AllDelivered())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  TPublishOutcome outcome;
  if (const TBrokerClient* refusing = RefusingClient()) {
    outcome = {TPublishEnd::Refused,
               "the broker refused the connection: " + refusing->RefusedReason()};
  } else if (Cancelled()) {
    outcome.End = TPublishEnd::Cancelled;
  }
  const Clock::time_point deadline =
      Clock::now() +
      (outcome.End == TPublishEnd::Refused ? Clock::duration{} : Seconds(STOP_GRACE_S));
  for (TStation& station : stations_) station.Client->RequestStop(deadline);
  for (TStation& station : stations_) station.Client->Join();
  return outcome;
}

}  // namespace

double StreamPeriod(uint32_t samplingPeriodUs, uint32_t baud) {
  return std::max({samplingPeriodUs * 1e-6, SENSOR_MIN_PERIOD_S,
                   STREAM_SAMPLE_BITS / std::max<uint32_t>(baud, 1)});
}

TPublishOutcome RunPublisher(const TPublishSettings& settings) {
  if (settings.Addresses.empty()) return {TPublishEnd::Setup, "no sensor address given"};
  TRun run(settings);
  return run.Run();
}

}  // namespace karvo::publish
