#include "sim/SensorSim.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/PtyLine.h"
#include "sim/SensorModel.h"

namespace karvo::sim {
namespace {

constexpr size_t LOG_LIMIT = 65536;
constexpr int64_t MS = 1'000'000;
// The fastest the sensor samples in a stream, whatever the sampling period says.
constexpr int64_t MIN_SAMPLE_NS = 100'000;
constexpr int64_t TABLE_WRITE_NS = 2 * MS;
// A flush of the program's port this recent belongs to the request that follows it.
constexpr int64_t FLUSH_WINDOW_NS = 20 * MS;
// Waking from a sleep takes tens of microseconds here, a byte time at the higher rates: the
// sleep before the last byte of a reply, which decides when the program has it whole, ends
// this much before it is due, and the rest is waited out awake. The reply's other bytes and
// stream samples go out from a plain sleep, that much late at most: a thread that waits out
// every byte awake holds a processor from the tty worker and the program for most of a reply.
constexpr int64_t EARLY_WAKE_NS = 50'000;
// A sensor is always awake, but a thread here that has slept takes tens of microseconds to
// notice the next request: after an answer the thread stays awake this long, or until the
// program flushes its port for the next request. Awake, a thread with a real-time priority
// drops to the normal class and yields as it goes, so that the kernel's tty worker, which
// brings the answer to the program, and the program itself run on this processor when they need
// it. Not to the idle class: a program waiting awake for its answer on the same processor would
// keep it from there for a scheduler tick. Without a real-time priority the thread stays as it
// is, so everything else keeps off this processor: after a while it lets the tty worker have
// it, should that be waiting here; and where the scheduler has put the program itself here, the
// program cannot ask before the time is up. So after a few requests in a row that came too late
// the thread sleeps after its answers, and tries being awake again every so many answers.
constexpr int64_t AWAKE_AFTER_ANSWER_NS = 300'000;
constexpr int64_t AWAKE_ALONE_NS = 100'000;
constexpr uint32_t AWAKE_MISSES = 4;
constexpr uint32_t AWAKE_RETRY_ANSWERS = 64;
// How long to leave a master alone that reports a hang-up (no slave open) before looking again.
constexpr int64_t HANGUP_RETRY_NS = 20 * MS;

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int PayloadLength(uint8_t command) {
  switch (command) {
    case 2:
    case 4:
    case 9:
      return 1;
    case 3:
    case 8:
      return 2;
    case 10:
      return 1026;
    default:
      return 0;
  }
}

// Splits the incoming byte stream into request frames. A byte with bit 7 clear always opens a
// new frame, so a broken frame is dropped as soon as the next one begins.
class TRequestParser {
 public:
  enum TStep { NOTHING, STARTED, COMPLETE };

  TStep Feed(uint8_t byte) {
    if (complete_) {
      frame_.clear();
      complete_ = false;
    }
    if ((byte & 0x80) == 0) {
      frame_.assign(1, byte);
      return STARTED;
    }
    if (frame_.empty()) return NOTHING;
    frame_.push_back(byte);
    if (frame_.size() == 2) need_ = 2 + 2 * static_cast<size_t>(PayloadLength(byte & 0x0F));
    if (frame_.size() < need_) return NOTHING;
    complete_ = true;
    return COMPLETE;
  }

  void Reset() {
    frame_.clear();
    complete_ = false;
  }
  const std::vector<uint8_t>& Frame() const { return frame_; }
  uint8_t Address() const { return frame_[0] & 0x7F; }
  uint8_t Command() const { return frame_[1] & 0x0F; }
  std::vector<uint8_t> Payload() const {
    std::vector<uint8_t> bytes;
    for (size_t i = 2; i + 1 < frame_.size(); i += 2)
      bytes.push_back(static_cast<uint8_t>((frame_[i] & 0x0F) | ((frame_[i + 1] & 0x0F) << 4)));
    return bytes;
  }

 private:
  std::vector<uint8_t> frame_;
  size_t need_ = 2;
  bool complete_ = false;
};

}  // namespace

struct TSensorSim::Impl {
  explicit Impl(const TSensorSimOptions& options) : Options(options) {
    std::vector<uint8_t> addresses = options.Addresses;
    if (addresses.empty()) addresses.push_back(options.Address);
    for (size_t i = 0; i < addresses.size(); ++i) {
      TSensorSimOptions own = options;
      own.Address = addresses[i];
      own.SerialNumber = static_cast<uint16_t>(options.SerialNumber + i);
      own.Seed = options.Seed + i;
      // Each target swings on its own, a share of the period apart.
      const double phase = static_cast<double>(i) / static_cast<double>(addresses.size());
      Units.push_back(std::make_unique<TUnit>(own, phase));
    }
  }

  const TSensorSimOptions Options;

  // One sensor of those on the line: its registers, its link settings and what it is busy
  // with. All of it under Mutex.
  struct TJob {  // an acknowledge that comes once the flash has been written
    bool Active = false;
    bool Table = false;
    int64_t Due = 0;
    uint8_t Code = 0;
    std::vector<uint8_t> Payload;
  };
  struct TUnit {
    TUnit(const TSensorSimOptions& options, double phase)
        : Model(options), Target(options.MeasuringRange / 2.0), Phase(phase) {
      LinkAddress = Model.Working[reg::ADDRESS] & 0x7F;
      LinkBaud = Model.Working[reg::BAUD] * 2400u;
    }
    TSensorModel Model;
    double Target;
    double Phase;  // of the target's motion, in periods
    // The UART's settings. They follow registers 3 and 4 (a value of 0 leaves the UART as it
    // was), except while pinned: a flash command answers at the settings it came in with.
    uint8_t LinkAddress = 1;
    uint32_t LinkBaud = 9600;
    bool Pinned = false;
    TJob Job;
    bool Streaming = false;
    int64_t NextSample = 0;
    uint16_t Sequence = 0;  // of the next stream sample, when they are numbered
    int AnswersLeft = -1;   // answers before it goes silent; -1: no end
  };

  // Shared with the callers' threads, under Mutex.
  mutable std::mutex Mutex;
  std::vector<std::unique_ptr<TUnit>> Units;  // the first answers the public calls
  TUnit& First() const { return *Units.front(); }
  std::function<double()> Source;
  bool Silent = false;
  int SilentAfter = -1;
  bool CorruptTags = false;
  bool WrongAck = false;
  int SplitPieces = 0;
  int SplitGapMs = 0;
  int DropBytes = 0;
  std::deque<std::vector<uint8_t>> Log;
  std::string Path;
  bool HangUpWanted = false;
  std::condition_variable HangUpDone;
  std::atomic<uint32_t> Answers{0};
  std::atomic<uint64_t> StreamSamples{0};
  const int64_t Born = NowNs();
  uint64_t PacedAnswers = 0;  // under Mutex, with the two below
  int64_t LateSumNs = 0;
  int64_t LateMaxNs = 0;
  std::atomic<bool> StreamingNow{false};
  std::atomic<bool> StopWanted{false};
  std::thread Thread;
  int WakeFd = -1;

  // The rest belongs to the sensor's thread while it runs.
  TPtyLine Line;
  TRequestParser Parser;
  int64_t FrameStart = 0;
  int64_t FlushSeen = 0;
  int64_t AwakeUntil = 0;
  uint32_t AwakeMissed = 0;   // requests in a row that came after the time awake
  bool AwakeWatched = false;  // awake after the last answer, the request not yet come
  uint32_t Asleep = 0;        // answers not followed by time awake
  int64_t QuietUntil = 0;
  uint8_t Tag = 0;
  struct TAnswer {
    std::vector<uint8_t> Wire;
    std::vector<int64_t> Due;  // when each byte has fully arrived on a real line
    size_t Next = 0;
    TUnit* Unpin = nullptr;  // the unit pinned until this answer is out
    bool Sample = false;     // a stream sample
  };
  std::deque<TAnswer> Out;

  static void Link(TUnit& unit, uint8_t& address, uint32_t& baud) {
    if (!unit.Pinned) {
      if (uint8_t a = unit.Model.Working[reg::ADDRESS] & 0x7F) unit.LinkAddress = a;
      if (uint8_t b = unit.Model.Working[reg::BAUD]) unit.LinkBaud = b * 2400u;
    }
    address = unit.LinkAddress;
    baud = unit.LinkBaud;
  }

  // A UART receives within a few percent of its rate; parity it can check only when the
  // pseudo-terminal shows it (odd or stick parity).
  bool LineMatches(uint32_t baud) const {
    TLineSettings s;
    if (!Line.ReadSettings(s)) return false;
    double ratio = static_cast<double>(s.Baud) / baud;
    return ratio > 0.98 && ratio < 1.02 && !s.OddParity && !s.StickParity;
  }

  int64_t ByteNs(uint32_t baud) const { return Options.Pace ? 11'000'000'000LL / baud : 0; }

  double Distance(const TUnit& unit) {
    std::function<double()> source;
    {
      std::lock_guard lock(Mutex);
      if (!Source) return unit.Target + MotionOffset(unit.Phase);
      source = Source;
    }
    return source();  // outside the lock: the source may lock its own owner
  }

  double MotionOffset(double phaseOffset) const {
    if (Options.Motion == TTargetMotion::None || Options.MotionPeriodS <= 0) return 0;
    const double amplitude =
        Options.MotionAmplitudeMm > 0 ? Options.MotionAmplitudeMm : Options.MeasuringRange / 4.0;
    const double phase =
        static_cast<double>(NowNs() - Born) * 1e-9 / Options.MotionPeriodS + phaseOffset;
    if (Options.Motion == TTargetMotion::Sine) return amplitude * std::sin(2 * M_PI * phase);
    return amplitude * (2 * (phase - std::floor(phase)) - 1);
  }

  // Queues one answer of m data bytes whose first byte starts at `at`. Mutex held.
  void Answer(const uint8_t* data, size_t m, int64_t at, uint32_t baud, TUnit* unpin = nullptr) {
    if (SilentAfter == 0) Silent = true;
    if (Silent) {
      if (unpin) unpin->Pinned = false;
      return;
    }
    if (SilentAfter > 0) --SilentAfter;
    Tag = (Tag + 1) & 7;
    TAnswer answer;
    answer.Unpin = unpin;
    uint8_t high = static_cast<uint8_t>(0x80 | (Tag << 4));
    for (size_t i = 0; i < m; ++i) {
      answer.Wire.push_back(high | (data[i] & 0x0F));
      answer.Wire.push_back(high | (data[i] >> 4));
    }
    if (CorruptTags) {
      answer.Wire.back() ^= 0x10;
      CorruptTags = false;
    }
    if (DropBytes > 0) {
      answer.Wire.erase(answer.Wire.begin() + 1);
      --DropBytes;
    }
    size_t n = answer.Wire.size();
    int pieces = std::max(1, SplitPieces);
    int64_t gap = static_cast<int64_t>(SplitGapMs) * MS;
    SplitPieces = 0;
    int64_t byteNs = ByteNs(baud);
    for (size_t i = 0; i < n; ++i) {
      auto piece = static_cast<int64_t>(i * static_cast<size_t>(pieces) / n);
      answer.Due.push_back(at + static_cast<int64_t>(i + 1) * byteNs + piece * gap);
    }
    Out.push_back(std::move(answer));
  }

  void AbortAnswers() {
    for (const auto& answer : Out)
      if (answer.Unpin) answer.Unpin->Pinned = false;
    Out.clear();
  }

  void HandleFrame() {
    uint8_t command = Parser.Command();
    TUnit* addressed = nullptr;
    uint32_t baud = 0;
    {
      std::lock_guard lock(Mutex);
      if (Log.size() >= LOG_LIMIT) Log.pop_front();
      Log.push_back(Parser.Frame());
      if (Silent) return;
      for (auto& unit : Units) {
        uint8_t address;
        Link(*unit, address, baud);
        if (Parser.Address() == address) {
          addressed = unit.get();
          break;
        }
      }
    }
    // Only the sensor addressed answers; the others on the line hear nothing for them.
    if (!addressed || !LineMatches(baud)) return;
    TUnit& u = *addressed;
    {
      std::lock_guard lock(Mutex);
      if (u.AnswersLeft == 0) return;
      if (u.AnswersLeft > 0) --u.AnswersLeft;
    }
    double mm = (command == 6 || command == 15) ? Distance(u) : 0.0;
    std::lock_guard lock(Mutex);
    int64_t now = NowNs();
    if (u.Job.Active) return;  // busy writing its flash
    // A new request from the program ends whatever answer is still going out.
    AbortAnswers();
    int64_t at =
        std::max(now, FrameStart + static_cast<int64_t>(Parser.Frame().size()) * ByteNs(baud));
    std::vector<uint8_t> payload = Parser.Payload();
    if (u.Streaming) {
      if (command == 8) {
        u.Streaming = false;
        StreamingNow = AnyStreaming();
      }
      return;
    }
    auto& working = u.Model.Working;
    switch (command) {
      case 1:
        Answer(&working[reg::IDENTITY], 8, at, baud);
        break;
      case 2:
        Answer(&working[payload[0]], 1, at, baud);
        break;
      case 3:
        working[payload[0]] = payload[1];
        break;
      case 4:
      case 10:
        u.Job.Active = true;
        u.Job.Table = command == 10;
        u.Job.Due =
            at + (command == 4 ? static_cast<int64_t>(Options.FlashWriteMs) * MS : TABLE_WRITE_NS);
        u.Job.Code = payload.empty() ? 0 : payload[0];
        u.Job.Payload = std::move(payload);
        u.Pinned = true;
        break;
      case 6: {
        uint16_t result = u.Model.Result(mm);
        uint8_t bytes[2] = {static_cast<uint8_t>(result), static_cast<uint8_t>(result >> 8)};
        Answer(bytes, 2, at, baud);
        break;
      }
      case 7:
        u.Streaming = true;
        StreamingNow = true;
        u.NextSample = at + SampleInterval(u, baud);
        u.Sequence = 0;
        break;
      case 9: {
        std::vector<uint16_t> words = u.Model.TablePage(payload[0]);
        if (words.empty()) break;  // no such page: nothing to say
        std::vector<uint8_t> bytes;
        for (uint16_t w : words) {
          bytes.push_back(static_cast<uint8_t>(w >> 8));
          bytes.push_back(static_cast<uint8_t>(w));
        }
        Answer(bytes.data(), bytes.size(), at, baud);
        break;
      }
      case 15: {
        uint8_t record[260];
        u.Model.Pulse(mm, record);
        Answer(record, sizeof record, at, baud);
        break;
      }
      default:
        break;  // 8 on an idle sensor, and codes the sensor does not know
    }
  }

  bool AnyStreaming() const {
    for (const auto& unit : Units)
      if (unit->Streaming) return true;
    return false;
  }

  int64_t SampleInterval(const TUnit& u, uint32_t baud) const {
    if (Options.StreamPeriodUs > 0) {
      return std::max<int64_t>(static_cast<int64_t>(Options.StreamPeriodUs) * 1000,
                               4 * ByteNs(baud));
    }
    int64_t period = static_cast<int64_t>(u.Model.Word(reg::SAMPLING_PERIOD)) * 1000;
    return std::max({period, MIN_SAMPLE_NS, 4 * ByteNs(baud)});
  }

  void RunJob(TUnit& u, int64_t now) {
    std::lock_guard lock(Mutex);
    if (!u.Job.Active || now < u.Job.Due) return;
    TSensorModel& model = u.Model;
    TJob& job = u.Job;
    job.Active = false;
    uint8_t address;
    uint32_t baud;
    Link(u, address, baud);
    bool done = !WrongAck;
    WrongAck = false;
    uint8_t ack;
    if (job.Table) {
      const auto& p = job.Payload;
      done = done && p.size() == 1026 && p[1024] < TABLE_PAGES && p[1025] == 0xAA;
      if (done) {
        uint16_t words[TABLE_PAGE_WORDS];
        for (int i = 0; i < TABLE_PAGE_WORDS; ++i)
          words[i] = static_cast<uint16_t>((p[2 * i] << 8) | p[2 * i + 1]);
        model.SetTablePage(p[1024], words);
      }
      ack = done ? 0xAA : 0x55;
    } else {
      switch (done ? job.Code : 0) {
        case 0xAA:
          model.Flash = model.Working;
          break;
        case 0x69:
          model.Working = model.Factory;
          model.Flash = model.Factory;
          break;
        case 0x96:
          model.Factory = model.Working;
          break;
        default:
          done = false;
      }
      ack = done ? job.Code : static_cast<uint8_t>(~job.Code);
    }
    job.Payload.clear();
    if (LineMatches(baud))
      Answer(&ack, 1, job.Due, baud, &u);
    else
      u.Pinned = false;
  }

  void RunStream(TUnit& u, int64_t now) {
    {
      std::lock_guard lock(Mutex);
      if (!u.Streaming || now < u.NextSample) return;
    }
    double mm = Distance(u);
    std::lock_guard lock(Mutex);
    int64_t& nextSample = u.NextSample;
    uint8_t address;
    uint32_t baud;
    Link(u, address, baud);
    // Samples go out whether anyone listens or not; one that finds the line still busy with
    // the previous one is lost, as on a real line. A line that frees up just as the sample is
    // due is not busy: a sensor streaming at the line's pace loses nothing.
    if (Out.empty() || Out.back().Due.back() <= nextSample) {
      uint16_t result = Options.StreamSequence ? u.Sequence : u.Model.Result(mm);
      uint8_t bytes[2] = {static_cast<uint8_t>(result), static_cast<uint8_t>(result >> 8)};
      if (LineMatches(baud)) {
        const size_t queued = Out.size();
        Answer(bytes, 2, nextSample, baud);
        if (Out.size() > queued) {
          Out.back().Sample = true;
          ++u.Sequence;
        }
      }
    }
    int64_t interval = SampleInterval(u, baud);
    nextSample += interval;
    if (nextSample <= now) nextSample = now + interval;
  }

  void Transmit(int64_t now) {
    uint8_t buffer[4096];
    size_t count = 0;
    {
      std::lock_guard lock(Mutex);
      while (!Out.empty() && count < sizeof buffer) {
        TAnswer& answer = Out.front();
        while (answer.Next < answer.Wire.size() && answer.Due[answer.Next] <= now &&
               count < sizeof buffer)
          buffer[count++] = answer.Wire[answer.Next++];
        if (answer.Next < answer.Wire.size()) break;
        if (answer.Unpin) answer.Unpin->Pinned = false;
        if (Options.Pace) {
          int64_t late = now - answer.Due.back();
          ++PacedAnswers;
          LateSumNs += late;
          LateMaxNs = std::max(LateMaxNs, late);
        }
        ++Answers;
        if (answer.Sample) ++StreamSamples;
        if (Options.Pace && !answer.Sample &&
            (AwakeMissed < AWAKE_MISSES || ++Asleep % AWAKE_RETRY_ANSWERS == 0)) {
          AwakeUntil = now + AWAKE_AFTER_ANSWER_NS;
          AwakeWatched = true;
        }
        Out.pop_front();
      }
    }
    // Bytes the line cannot take (nobody reading, buffer full) are lost, as on a real line.
    if (count == 0) return;
    [[maybe_unused]] ssize_t written = ::write(Line.Master(), buffer, count);
  }

  // When there is something to do next, -1 for nothing until a request comes; `onTime` when
  // that is the last byte of a reply, which goes out to the microsecond.
  int64_t NextWake(bool& onTime) {
    std::lock_guard lock(Mutex);
    int64_t wake = -1;
    auto consider = [&](int64_t t) { wake = wake < 0 ? t : std::min(wake, t); };
    for (const auto& unit : Units) {
      if (unit->Job.Active) consider(unit->Job.Due);
      if (unit->Streaming && Out.empty()) consider(unit->NextSample);
    }
    if (QuietUntil > 0) consider(QuietUntil);
    onTime = false;
    if (!Out.empty()) {
      const TAnswer& answer = Out.front();
      const int64_t due = answer.Due[answer.Next];
      onTime = !answer.Sample && answer.Next + 1 == answer.Wire.size() && (wake < 0 || due <= wake);
      consider(due);
    }
    return wake;
  }

  void DropState() {
    Parser.Reset();
    FlushSeen = 0;
    AwakeUntil = 0;
    AwakeWatched = false;
    Out.clear();
    for (auto& unit : Units) {
      unit->Job = TJob{};
      unit->Streaming = false;
      unit->Pinned = false;
    }
    StreamingNow = false;
  }

  void ServeHangUp() {
    std::lock_guard lock(Mutex);
    if (!HangUpWanted) return;
    Line.Close();
    DropState();
    HangUpWanted = false;
    HangUpDone.notify_all();
  }

  void ReadRequests(int64_t now) {
    uint8_t buffer[4096];
    bool flushed = false;
    ssize_t n = Line.Read(buffer, sizeof buffer, flushed);
    if (n < 0) {
      if (errno == EIO) QuietUntil = now + HANGUP_RETRY_NS;
      return;
    }
    if (flushed) {
      FlushSeen = now;
      if (AwakeWatched) AwakeMissed = now < AwakeUntil ? 0 : AwakeMissed + 1;
      AwakeWatched = false;
      // Asleep now, so that the tty worker can bring the request.
      AwakeUntil = 0;
    }
    for (ssize_t i = 0; i < n; ++i) {
      switch (Parser.Feed(buffer[i])) {
        case TRequestParser::STARTED:
          // The bytes reach us only after the kernel has passed them on, a while after the
          // program wrote them; on a real line they start on the wire at once. The flush the
          // program makes just before writing marks that moment better than their arrival.
          FrameStart = (FlushSeen > 0 && now - FlushSeen < FLUSH_WINDOW_NS) ? FlushSeen : now;
          FlushSeen = 0;
          break;
        case TRequestParser::COMPLETE:
          HandleFrame();
          break;
        default:
          break;
      }
    }
  }

  void Run() {
    // Answer bytes are due every 24 us at 460800 baud: the default 50 us slack would smear them.
    prctl(PR_SET_TIMERSLACK, 1UL);
    // A real sensor keeps its timing whatever load the computer is under. Where the system
    // allows it, the sensor's thread gets a real-time priority for that; it sleeps but for the
    // last moments before a reply is complete.
    sched_param priority{};
    priority.sched_priority = 10;
    const bool realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
    bool givingWay = false;
    while (!StopWanted) {
      ServeHangUp();
      int64_t now = NowNs();
      if (QuietUntil > 0 && now >= QuietUntil) QuietUntil = 0;
      for (auto& unit : Units) {
        RunJob(*unit, now);
        RunStream(*unit, now);
      }
      if (Line.IsOpen()) Transmit(now);
      bool onTime = false;
      int64_t wake = NextWake(onTime);
      // Awake a while after an answer, the thread also looks at the line's own descriptor of
      // the program's side: the kernel then passes on what the tty worker still holds, and
      // the thread waits for that meanwhile.
      const bool yield = AwakeUntil - AWAKE_AFTER_ANSWER_NS + AWAKE_ALONE_NS <= now;
      pollfd fds[3] = {{WakeFd, POLLIN, 0},
                       {Line.Master(), POLLIN, 0},
                       {yield && now < AwakeUntil ? Line.Slave() : -1, POLLIN, 0}};
      nfds_t count = (Line.IsOpen() && QuietUntil == 0) ? 3 : 1;
      timespec timeout{};
      if (wake >= 0) {
        int64_t left = std::max<int64_t>(0, wake - NowNs());
        if (onTime && Options.Pace && left > 0 && left <= EARLY_WAKE_NS) {
          while (NowNs() < wake) {
          }
          left = 0;
        } else if (onTime && left > EARLY_WAKE_NS) {
          left -= EARLY_WAKE_NS;
        }
        timeout.tv_sec = left / 1'000'000'000;
        timeout.tv_nsec = left % 1'000'000'000;
      }
      const bool awake = NowNs() < AwakeUntil && (wake < 0 || wake > AwakeUntil);
      if (realTime && awake != givingWay) {
        const sched_param keep{awake ? 0 : priority.sched_priority};
        givingWay =
            pthread_setschedparam(pthread_self(), awake ? SCHED_OTHER : SCHED_FIFO, &keep) == 0
                ? awake
                : givingWay;
      }
      if (awake) {
        timeout = timespec{};
        // A program that yields its processor while it waits for the answer must get it back
        // from here at once, not at the next scheduler tick.
        if (givingWay) sched_yield();
        // Polling the line waits for the tty worker while it still holds the request's bytes,
        // a worker that may first have to be brought to this processor; a read returns the
        // flush that marks the request's start at once.
        if (count == 3) ReadRequests(NowNs());
      }
      int ready = ppoll(fds, count, (wake >= 0 || awake) ? &timeout : nullptr, nullptr);
      if (ready <= 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t value;
        [[maybe_unused]] ssize_t drained = ::read(WakeFd, &value, sizeof value);
      }
      if (count == 3) {
        if (fds[1].revents & POLLIN)
          ReadRequests(NowNs());
        else if (fds[1].revents & (POLLHUP | POLLERR))
          QuietUntil = NowNs() + HANGUP_RETRY_NS;
      }
    }
  }

  void Wake() const {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(WakeFd, &one, sizeof one);
  }
};

TSensorSim::TSensorSim(const TSensorSimOptions& options) : impl_(std::make_unique<Impl>(options)) {}

TSensorSim::~TSensorSim() {
  Stop();
}

bool TSensorSim::Start(std::string* error) {
  Impl& d = *impl_;
  if (d.Thread.joinable()) return true;
  uint8_t address;
  uint32_t baud;
  {
    std::lock_guard lock(d.Mutex);
    d.Link(d.First(), address, baud);
  }
  if (!d.Line.Open(baud, error)) return false;
  d.WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.WakeFd < 0) {
    if (error) *error = std::string("eventfd: ") + std::strerror(errno);
    d.Line.Close();
    return false;
  }
  {
    std::lock_guard lock(d.Mutex);
    d.Path = d.Line.SlavePath();
    d.DropState();
  }
  d.StopWanted = false;
  d.Thread = std::thread([&d] { d.Run(); });
  return true;
}

void TSensorSim::Stop() {
  Impl& d = *impl_;
  if (d.Thread.joinable()) {
    d.StopWanted = true;
    d.Wake();
    d.Thread.join();
  }
  d.Line.Close();
  if (d.WakeFd >= 0) ::close(d.WakeFd);
  d.WakeFd = -1;
  std::lock_guard lock(d.Mutex);
  d.DropState();
}

std::string TSensorSim::DevicePath() const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->Path;
}

uint8_t TSensorSim::Register(uint8_t reg) const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->First().Model.Working[reg];
}

void TSensorSim::SetRegister(uint8_t reg, uint8_t value) {
  std::lock_guard lock(impl_->Mutex);
  impl_->First().Model.Working[reg] = value;
}

uint8_t TSensorSim::FlashRegister(uint8_t reg) const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->First().Model.Flash[reg];
}

uint8_t TSensorSim::FactoryRegister(uint8_t reg) const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->First().Model.Factory[reg];
}

void TSensorSim::SetTargetDistance(double mm) {
  std::lock_guard lock(impl_->Mutex);
  for (auto& unit : impl_->Units) unit->Target = mm;
  impl_->Source = nullptr;
}

void TSensorSim::SetDistanceSource(std::function<double()> source) {
  std::lock_guard lock(impl_->Mutex);
  impl_->Source = std::move(source);
}

std::vector<uint16_t> TSensorSim::TablePage(uint8_t page) const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->First().Model.TablePage(page);
}

void TSensorSim::SetTablePage(uint8_t page, const std::vector<uint16_t>& words) {
  if (words.size() != TABLE_PAGE_WORDS) return;
  std::lock_guard lock(impl_->Mutex);
  impl_->First().Model.SetTablePage(page, words.data());
}

void TSensorSim::ClearTable() {
  std::vector<uint16_t> zeros(TABLE_PAGE_WORDS, 0);
  std::lock_guard lock(impl_->Mutex);
  for (int page = 0; page < TABLE_PAGES; ++page)
    impl_->First().Model.SetTablePage(page, zeros.data());
}

double TSensorSim::RawPosition(double mm) const {
  std::lock_guard lock(impl_->Mutex);
  return impl_->First().Model.Position(mm);
}

void TSensorSim::FailSilent(bool silent) {
  std::lock_guard lock(impl_->Mutex);
  impl_->Silent = silent;
  impl_->SilentAfter = -1;
}

void TSensorSim::FailSilentAfter(int answers) {
  std::lock_guard lock(impl_->Mutex);
  impl_->Silent = false;
  impl_->SilentAfter = std::max(0, answers);
}

void TSensorSim::FailSilentAt(uint8_t address, int answers) {
  std::lock_guard lock(impl_->Mutex);
  for (auto& unit : impl_->Units) {
    if (unit->Model.Working[reg::ADDRESS] == address) unit->AnswersLeft = std::max(0, answers);
  }
}

void TSensorSim::CorruptNextTags() {
  std::lock_guard lock(impl_->Mutex);
  impl_->CorruptTags = true;
}

void TSensorSim::WrongAckNext() {
  std::lock_guard lock(impl_->Mutex);
  impl_->WrongAck = true;
}

void TSensorSim::SplitNextAnswer(int pieces, int gapMs) {
  std::lock_guard lock(impl_->Mutex);
  impl_->SplitPieces = pieces;
  impl_->SplitGapMs = std::max(0, gapMs);
}

void TSensorSim::DropByteOfNext(int answers) {
  std::lock_guard lock(impl_->Mutex);
  impl_->DropBytes = std::max(0, answers);
}

void TSensorSim::HangUp() {
  Impl& d = *impl_;
  std::unique_lock lock(d.Mutex);
  if (!d.Thread.joinable()) {
    d.Line.Close();
    return;
  }
  d.HangUpWanted = true;
  d.Wake();
  d.HangUpDone.wait(lock, [&d] { return !d.HangUpWanted; });
}

void TSensorSim::ClearFaults() {
  std::lock_guard lock(impl_->Mutex);
  Impl& d = *impl_;
  d.Silent = false;
  d.SilentAfter = -1;
  d.CorruptTags = false;
  d.WrongAck = false;
  d.SplitPieces = 0;
  d.SplitGapMs = 0;
  d.DropBytes = 0;
  for (auto& unit : d.Units) unit->AnswersLeft = -1;
}

std::vector<std::vector<uint8_t>> TSensorSim::Requests() const {
  std::lock_guard lock(impl_->Mutex);
  return {impl_->Log.begin(), impl_->Log.end()};
}

void TSensorSim::ClearRequests() {
  std::lock_guard lock(impl_->Mutex);
  impl_->Log.clear();
}

uint32_t TSensorSim::AnswerCount() const {
  return impl_->Answers;
}

uint64_t TSensorSim::StreamSamplesSent() const {
  return impl_->StreamSamples;
}

TSensorSim::TPacingStats TSensorSim::PacingStats() const {
  std::lock_guard lock(impl_->Mutex);
  TPacingStats stats;
  stats.Answers = impl_->PacedAnswers;
  if (stats.Answers > 0)
    stats.MeanLateUs = static_cast<double>(impl_->LateSumNs) / 1000.0 / stats.Answers;
  stats.MaxLateUs = static_cast<double>(impl_->LateMaxNs) / 1000.0;
  return stats;
}

bool TSensorSim::Streaming() const {
  return impl_->StreamingNow;
}

std::pair<uint8_t, uint32_t> TSensorSim::LineSettings() const {
  std::lock_guard lock(impl_->Mutex);
  uint8_t address;
  uint32_t baud;
  impl_->Link(impl_->First(), address, baud);
  return {address, baud};
}

uint32_t TSensorSim::LineBaud() const {
  return LineSettings().second;
}

uint8_t TSensorSim::LineAddress() const {
  return LineSettings().first;
}

}  // namespace karvo::sim
