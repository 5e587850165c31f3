#include "measure/StreamWorker.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "measure/RunModes.h"

namespace karvo {

namespace {

// A sample the worker is late for may be overwritten in the driver's buffer, so it asks for a
// real-time priority, or failing that a higher nice value; without the right to either it
// runs as it is.
void RaisePriority() {
  sched_param priority{};
  priority.sched_priority = 20;
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0) return;
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  (void)setpriority(PRIO_PROCESS, tid, -10);
}

// A sample is one nibble-coded word: four bytes on the line.
constexpr uint32_t SAMPLE_BYTES = 4;
// Waking for every byte of every sample would cost a fast stream a good share of a core.
// When the port holds no whole sample the worker lets two milliseconds' worth gather and
// takes them with one read; the port's buffer holds about a tenth of a second of samples even
// at the highest rate, and the eye sees no step of two milliseconds on the display.
constexpr auto GATHER_TIME = std::chrono::milliseconds(2);

void GatherSamples(TKARVOInterface& link) {
  if (link.Port.Gather() < SAMPLE_BYTES) {
    std::this_thread::sleep_for(GATHER_TIME);
    link.Port.Gather();
  }
}

double ThreadCpuSeconds() {
  timespec t{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

void TStreamWorker::Start(const TStreamSetup& setup) {
  Join();
  samples_ = 0;
  cpuSeconds_ = 0;
  pending_ = false;
  finished_ = false;
  taken_ = 0;
  StreamThread = std::thread(&TStreamWorker::StreamWorker, this, setup);
}

void TStreamWorker::Join() {
  if (StreamThread.joinable()) StreamThread.join();
}

std::string TStreamWorker::TakeText() {
  bool published;
  float value;
  uint32_t runMode;
  {
    std::lock_guard lock(textLock_);
    pending_.store(false, std::memory_order_release);
    published = published_;
    value = value_;
    runMode = runMode_;
  }
  return published ? ResultText(runMode, value) : std::string();
}

void TStreamWorker::StreamWorker(TStreamSetup setup) {
  RaisePriority();
  TKARVOInterface& link = *setup.Link;
  uint64_t samples = 0;
  while (setup.Active->load(std::memory_order_acquire)) {
    GatherSamples(link);
    uint16_t result = 0;
    uint32_t status = link.ReadStreamSample(setup.Address, result);
    // A stop that came during the first read need not wait for a second one.
    if (status != ST_OK && setup.Active->load(std::memory_order_acquire)) {
      status = link.ReadStreamSample(setup.Address, result);
    }
    *setup.SensorStatus = status;
    if (status == ST_OK) {
      const float value = ConvertResult(setup.RunMode, result, setup.MeasuringRange);
      ring_.LastValue = value;
      ring_.Store(value);
      if (setup.Stored) setup.Stored(value);
      ++samples;
      taken_.store(samples, std::memory_order_relaxed);
      {
        std::lock_guard lock(textLock_);
        published_ = true;
        value_ = value;
        runMode_ = setup.RunMode;
      }
      if (!pending_.exchange(true, std::memory_order_acq_rel) && setup.ValueReady) {
        setup.ValueReady();
      }
    }
    *setup.LastStatus = status;
    if (setup.SampleLimit != 0 && samples >= setup.SampleLimit) break;
  }
  samples_ = samples;
  cpuSeconds_ = ThreadCpuSeconds();
  finished_.store(true, std::memory_order_release);
}

}  // namespace karvo
