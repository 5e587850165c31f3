#include "sim/StageSim.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim/PtyLine.h"
#include "sim/SensorSim.h"

namespace karvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t LOG_LIMIT = 65536;
constexpr int ARGUMENT_NIBBLES = 6;

// Argument bytes that follow each command code; codes the controller does not know take none.
int ArgumentBytes(uint8_t code) {
  switch (code) {
    case 0x03:
      return 1;
    case 0x07:
    case 0x08:
      return ARGUMENT_NIBBLES;
    default:
      return 0;
  }
}

}  // namespace

struct TStageSim::Impl {
  explicit Impl(const TStageSimOptions& options) : Options(options), Scale(options.TimeScale) {
    From = To = options.StartUnits;
  }

  const TStageSimOptions Options;

  mutable std::mutex Mutex;
  double Scale;
  bool Drive = false;
  int32_t SpeedValue = 0;
  int32_t DistanceValue = 0;
  // The move under way (or the last one): from, to, and when it began and ends.
  double From = 0;
  double To = 0;
  Clock::time_point Began{};
  Clock::time_point Ends{};
  bool Silent = false;
  int SilentAfter = -1;
  bool NeverIdle = false;
  uint32_t Answers = 0;
  std::vector<std::vector<uint8_t>> Log;
  std::string Path;

  std::atomic<bool> StopWanted{false};
  std::thread Thread;
  int WakeFd = -1;
  TPtyLine Line;
  std::vector<uint8_t> Frame;  // the frame being received, owned by the thread
  size_t Need = 0;

  // Where the carriage is at `now`. Mutex held.
  double PositionAt(Clock::time_point now) const {
    if (now >= Ends) return To;
    const double whole = std::chrono::duration<double>(Ends - Began).count();
    const double done = std::chrono::duration<double>(now - Began).count();
    return From + (To - From) * (whole > 0 ? done / whole : 1.0);
  }
  bool MovingAt(Clock::time_point now) const { return now < Ends; }

  // Starts a move to `target` units at the set speed. Mutex held.
  void MoveTo(double target) {
    if (!Drive || SpeedValue <= 0) return;
    const auto now = Clock::now();
    From = PositionAt(now);
    To = target;
    const double seconds = std::fabs(To - From) / SpeedValue * Scale;
    Began = now;
    Ends =
        now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }

  bool LineMatches() const {
    TLineSettings s;
    if (!Line.ReadSettings(s)) return false;
    const double ratio = static_cast<double>(s.Baud) / Options.Baud;
    return ratio > 0.98 && ratio < 1.02 && !s.OddParity && !s.StickParity && !s.TwoStopBits;
  }

  void Obey(const std::vector<uint8_t>& frame) {
    bool answer = false;
    uint8_t reply = 0;
    {
      std::lock_guard lock(Mutex);
      if (Log.size() >= LOG_LIMIT) Log.erase(Log.begin());
      Log.push_back(frame);
      if (Silent) return;
      int32_t argument = 0;
      for (size_t k = 1; k < frame.size(); ++k) argument |= (frame[k] & 0x0F) << (4 * (k - 1));
      const auto now = Clock::now();
      switch (frame[0]) {
        case 0x02:
          if (SilentAfter == 0) {
            Silent = true;
            return;
          }
          if (SilentAfter > 0) --SilentAfter;
          answer = true;
          reply = (NeverIdle || MovingAt(now)) ? 0x01 : 0x00;
          ++Answers;
          break;
        case 0x03:
          Drive = argument != 0;
          if (!Drive) {  // the carriage stops where it is
            From = To = PositionAt(now);
            Ends = now;
          }
          break;
        case 0x04:
          MoveTo(0);
          break;
        case 0x06:
          MoveTo(PositionAt(now) + DistanceValue);
          break;
        case 0x07:
          SpeedValue = argument;
          break;
        case 0x08:
          DistanceValue = argument;
          break;
        default:
          break;
      }
    }
    if (answer) {
      [[maybe_unused]] ssize_t written = ::write(Line.Master(), &reply, 1);
    }
  }

  void Take(uint8_t byte) {
    if ((byte & 0xF0) == 0) {  // a command code; a frame still open is broken off
      Frame.assign(1, byte);
      Need = static_cast<size_t>(ArgumentBytes(byte));
    } else if (Frame.empty() || (byte & 0xF0) != 0xF0) {
      Frame.clear();  // stray or garbled: wait for the next command code
      return;
    } else {
      Frame.push_back(byte);
      --Need;
    }
    if (Need == 0) {
      Obey(Frame);
      Frame.clear();
    }
  }

  void Run() {
    while (!StopWanted) {
      pollfd fds[2] = {{WakeFd, POLLIN, 0}, {Line.Master(), POLLIN, 0}};
      if (::poll(fds, 2, 200) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t value;
        [[maybe_unused]] ssize_t drained = ::read(WakeFd, &value, sizeof value);
      }
      if (!(fds[1].revents & POLLIN)) {
        if (fds[1].revents & (POLLHUP | POLLERR))
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      uint8_t bytes[256];
      bool flushed = false;
      const ssize_t n = Line.Read(bytes, sizeof bytes, flushed);
      if (n <= 0) continue;
      // A controller on a line at the wrong settings receives only garbage.
      if (!LineMatches()) {
        Frame.clear();
        continue;
      }
      for (ssize_t i = 0; i < n; ++i) Take(bytes[i]);
    }
  }
};

TStageSim::TStageSim(const TStageSimOptions& options) : impl_(std::make_unique<Impl>(options)) {}

TStageSim::~TStageSim() {
  Stop();
}

bool TStageSim::Start(std::string* error) {
  Impl& d = *impl_;
  if (d.Thread.joinable()) return true;
  if (!d.Line.Open(d.Options.Baud, error)) return false;
  d.WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.WakeFd < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    d.Line.Close();
    return false;
  }
  {
    std::lock_guard lock(d.Mutex);
    d.Path = d.Line.SlavePath();
  }
  d.Frame.clear();
  d.StopWanted = false;
  d.Thread = std::thread([&d] { d.Run(); });
  return true;
}

void TStageSim::Stop() {
  Impl& d = *impl_;
  if (d.Thread.joinable()) {
    d.StopWanted = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(d.WakeFd, &one, sizeof one);
    d.Thread.join();
  }
  d.Line.Close();
  if (d.WakeFd >= 0) ::close(d.WakeFd);
  d.WakeFd = -1;
}

std::string TStageSim::DevicePath() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Path;
}

double TStageSim::CarriagePositionUnits() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->PositionAt(Clock::now());
}

double TStageSim::CarriagePositionMm() const {
  return CarriagePositionUnits() * impl_->Options.MmPerUnit;
}

bool TStageSim::Moving() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->MovingAt(Clock::now());
}

bool TStageSim::DriveOn() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Drive;
}

int32_t TStageSim::Speed() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->SpeedValue;
}

int32_t TStageSim::Distance() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->DistanceValue;
}

void TStageSim::SetTimeScale(double scale) {
  std::lock_guard lock(impl_->Mutex);
  impl_->Scale = scale;
}

void TStageSim::FailSilent(bool silent) {
  std::lock_guard lock(impl_->Mutex);
  impl_->Silent = silent;
}

void TStageSim::FailSilentAfter(int answers) {
  std::lock_guard lock(impl_->Mutex);
  impl_->SilentAfter = answers;
}

void TStageSim::FailNeverIdle(bool never) {
  std::lock_guard lock(impl_->Mutex);
  impl_->NeverIdle = never;
}

void TStageSim::ClearFaults() {
  std::lock_guard lock(impl_->Mutex);
  impl_->Silent = false;
  impl_->SilentAfter = -1;
  impl_->NeverIdle = false;
}

std::vector<std::vector<uint8_t>> TStageSim::Requests() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Log;
}

void TStageSim::ClearRequests() {
  std::lock_guard lock(impl_->Mutex);
  impl_->Log.clear();
}

uint32_t TStageSim::StatusAnswers() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Answers;
}

double StageMmPerUnitForRange(int16_t range) {
  if (range > 1200) return 0.956 / 17;
  if (range > 130) return 0.025;
  if (range > 7) return 0.015;
  return 0.0025;
}

void CoupleSensorToStage(TSensorSim& sensor, const TStageSim& stage, double homeMm) {
  sensor.SetDistanceSource([&stage, homeMm] { return homeMm + stage.CarriagePositionMm(); });
}

}  // namespace karvo::sim
