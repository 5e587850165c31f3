#include "measure/StreamWorker.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

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

// Finding samples again after a byte was lost (a UART overrun) or garbled. A sample is four
// bytes whose bits 4 to 6 agree, and the sensor counts those bits up from one sample to the
// next, so a read that straddles two samples shows where the next one begins, and the count
// shows how many went missing.
namespace stream_sync {

constexpr uint32_t SAMPLE_BYTES = 4;
// A line still garbled after this many bytes is broken rather than hit by one lost byte.
constexpr uint32_t MAX_SKIPPED_BYTES = 16 * SAMPLE_BYTES;

uint8_t Tag(uint8_t byte) {
  return static_cast<uint8_t>((byte >> 4) & 7);
}

// Bytes at the front of `raw` that share the first one's tag: all of them when they make a
// whole sample, else the remains of a broken one, to be dropped.
size_t LeadingRun(const uint8_t* raw, size_t count) {
  size_t run = 1;
  while (run < count && Tag(raw[run]) == Tag(raw[0])) ++run;
  return count == 0 ? 0 : run;
}

// Samples missing between a sample tagged `previous` and the next one taken, tagged `tag`.
// A sensor that does not count (the same tag every time) shows no loss.
uint32_t SamplesBetween(uint8_t previous, uint8_t tag) {
  return tag == previous ? 0 : (tag - previous - 1) & 7;
}

}  // namespace stream_sync

using stream_sync::SAMPLE_BYTES;

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

uint32_t TStreamWorker::ReadSample(TKARVOInterface& link, uint8_t address, uint16_t& result,
                                   uint8_t& tag, bool& resynced) {
  resynced = false;
  const uint32_t status = link.ReadStreamSample(address, result);
  // Decoding in place overwrites only the first two raw bytes; the last keeps its tag.
  tag = stream_sync::Tag(link.Data[SAMPLE_BYTES - 1]);
  if (status != ST_BAD_FRAME) return status;
  resynced = true;
  uint8_t window[SAMPLE_BYTES];
  std::memcpy(window, link.Data, SAMPLE_BYTES);
  for (uint32_t skipped = 0;;) {
    const size_t run = stream_sync::LeadingRun(window, SAMPLE_BYTES);
    if (run == SAMPLE_BYTES) break;
    skipped += static_cast<uint32_t>(run);
    if (skipped > stream_sync::MAX_SKIPPED_BYTES) return ST_BAD_FRAME;
    std::memmove(window, window + run, SAMPLE_BYTES - run);
    TTransfer rest{window + SAMPLE_BYTES - run, static_cast<uint32_t>(run), nullptr};
    if (const uint32_t read = link.Port.Read(rest); read != ST_OK) return read;
  }
  tag = stream_sync::Tag(window[0]);
  result = static_cast<uint16_t>((window[0] & 0x0F) | (window[1] & 0x0F) << 4 |
                                 (window[2] & 0x0F) << 8 | (window[3] & 0x0F) << 12);
  return ST_OK;
}

void TStreamWorker::Start(const TStreamSetup& setup) {
  Join();
  samples_ = 0;
  cpuSeconds_ = 0;
  pending_ = false;
  finished_ = false;
  taken_ = 0;
  lost_ = 0;
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
  uint64_t lost = 0;
  bool tagged = false;  // a sample has come, and with it the tag the next one follows
  uint8_t lastTag = 0;
  while (setup.Active->load(std::memory_order_acquire)) {
    GatherSamples(link);
    uint16_t result = 0;
    uint8_t tag = 0;
    bool resynced = false;
    uint32_t status = ReadSample(link, setup.Address, result, tag, resynced);
    // A stop that came during the first read need not wait for a second one.
    if (status != ST_OK && setup.Active->load(std::memory_order_acquire)) {
      status = ReadSample(link, setup.Address, result, tag, resynced);
    }
    *setup.SensorStatus = status;
    if (status == ST_OK) {
      // Before the first sample there is no count to go by; the broken one is counted alone.
      if (tagged)
        lost += stream_sync::SamplesBetween(lastTag, tag);
      else if (resynced)
        ++lost;
      tagged = true;
      lastTag = tag;
      lost_.store(lost, std::memory_order_relaxed);
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
