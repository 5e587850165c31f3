#include "channel/CpuLatency.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace karvo {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough to span the pauses of a run (a window redraw, a round's bookkeeping), short
// enough that an idle connection soon lets the processors rest.
constexpr auto LINGER = std::chrono::milliseconds(200);

struct TRequest {
  std::mutex Mutex;
  std::condition_variable Changed;
  std::atomic<Clock::rep> LastUse{0};
  std::atomic<bool> InForce{false};
  TCpuLatencyState State = TCpuLatencyState::Unasked;  // under Mutex, with the two below
  int Fd = -1;
  bool Watching = false;
};

// Never destroyed: the watcher thread is detached and may still wait on it at exit, when the
// kernel drops the request with the descriptor.
TRequest& Request() {
  static auto* request = new TRequest;
  return *request;
}

// Drops the request once no exchange has marked it for LINGER.
void Watch(TRequest& r) {
  std::unique_lock lock(r.Mutex);
  for (;;) {
    if (!r.InForce) {
      r.Changed.wait(lock);
      continue;
    }
    const auto quiet = Clock::now() - Clock::time_point(Clock::duration(r.LastUse.load()));
    if (quiet < LINGER) {
      r.Changed.wait_for(lock, LINGER - quiet);
      continue;
    }
    ::close(r.Fd);
    r.Fd = -1;
    r.InForce = false;
    r.State = TCpuLatencyState::Released;
  }
}

}  // namespace

void KeepProcessorsResponsive() {
  TRequest& r = Request();
  r.LastUse.store(Clock::now().time_since_epoch().count());
  if (r.InForce.load()) return;
  std::lock_guard lock(r.Mutex);
  if (r.InForce || r.State == TCpuLatencyState::Refused) return;
  // The request holds while the descriptor stays open; zero asks for the shortest wake-up.
  const int fd = ::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
  const int32_t microseconds = 0;
  if (fd < 0 || ::write(fd, &microseconds, sizeof microseconds) != sizeof microseconds) {
    if (fd >= 0) ::close(fd);
    r.State = TCpuLatencyState::Refused;  // asked once: not on every exchange
    return;
  }
  r.Fd = fd;
  r.InForce = true;
  r.State = TCpuLatencyState::Held;
  if (!r.Watching) {
    r.Watching = true;
    std::thread(Watch, std::ref(r)).detach();
  } else {
    r.Changed.notify_one();
  }
}

TCpuLatencyState CpuLatencyState() {
  TRequest& r = Request();
  std::lock_guard lock(r.Mutex);
  return r.State;
}

}  // namespace karvo
