#include "device/Sensor.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "measure/RunModes.h"
#include "measure/StreamWorker.h"
#include "params/ValueCheck.h"

namespace karvo::device {

namespace {

constexpr uint32_t BAUD_ROW_PAUSE_MS = 100;
constexpr uint32_t FACTORY_BAUD = 9600;
constexpr uint8_t FACTORY_ADDRESS = 1;

std::string RowDoing(const char* verb, int row) {
  return std::string(verb) + " row " + std::to_string(row);
}

bool IsText(int row) {
  return ParamTable[row].Kind == KIND_TEXT;
}

bool SameValue(int row, const TPARAMVALUE& a, const TPARAMVALUE& b) {
  return IsText(row) ? a.Text == b.Text : a.Value == b.Value;
}

static_assert(ST_INTERRUPTED == ST_CANCELLED, "the link's interrupted exchange is a cancel");

// Makes an operation's token the one the link asks, until the operation returns.
auto WithToken(const CancelToken*& current, const CancelToken* token) {
  const CancelToken* outer = current;
  if (token) current = token;
  return ScopeGuard([&current, outer] { current = outer; });
}

}  // namespace

bool ZeroPointAfter(uint32_t current, int16_t raw, uint32_t& next) {
  // The sensor keeps the zero point as a signed 16-bit word; the working set holds what the
  // registers hold, so that the grid and the sensor never disagree.
  const int32_t sum = static_cast<int16_t>(current & 0xFFFF) + int32_t{raw};
  if (sum < INT16_MIN || sum > INT16_MAX) return false;
  next = static_cast<uint16_t>(sum);
  return true;
}

Sensor::Sensor() : line_(std::make_shared<Line>()) {}

Sensor::Sensor(std::shared_ptr<Line> line, uint8_t address)
    : line_(std::move(line)), ownsLine_(false) {
  settings_.Address = address;
  settings_.Port = line_->Port();
  settings_.Baud = line_->Baud();
  settings_.SysfsRoot = line_->Link().Port.SysfsRoot;
}

Sensor::~Sensor() {
  Close();
}

TKARVOInterface& Sensor::HeldLink() {
  TKARVOInterface& link = line_->Link();
  // Sensors sharing the line each ask their own tokens while they hold it.
  link.Interrupted = [this] { return IsCancelled(standing_) || IsCancelled(current_); };
  return link;
}

Result Sensor::Failed(uint32_t status, const std::string& doing) {
  // A cancel has no system reason; the port's last one would be stale.
  return Result::Failure(status, doing, status == ST_CANCELLED ? "" : reason_);
}

Result Sensor::Open(const SensorSettings& settings) {
  settings_ = settings;
  return line_->Open(settings);
}

void Sensor::Close() {
  if (ownsLine_) line_->Close();
}

bool Sensor::IsOpen() const {
  return line_->IsOpen();
}

Result Sensor::SetBaud(uint32_t baud) {
  SensorSettings settings = settings_;
  settings.Baud = baud;
  return Open(settings);
}

void Sensor::StopStreamingSensor() {
  auto held = line_->Hold();
  line_->Link().StopStream(settings_.Address);
  // Samples already on their way keep arriving for a moment; the line is taken as quiet after
  // the time of a few samples at the slowest rate, and the whole drain is bounded.
  line_->Link().Port.Drain(50, 1000);
}

uint32_t Sensor::RequestOnce(const std::function<uint32_t(TKARVOInterface&)>& exchange) {
  auto held = line_->Hold();
  if (const auto streaming = line_->StreamingAddress();
      streaming && *streaming != settings_.Address) {
    reason_ = "the sensor at address " + std::to_string(*streaming) + " streams on the line";
    return ST_LINE_BUSY;
  }
  TKARVOInterface& link = line_->Link();
  link.Interrupted = nullptr;
  const uint32_t status = exchange(link);
  reason_ = link.LastReason();
  return status;
}

uint32_t Sensor::ResultSource::ReadResult(uint16_t& word) {
  return sensor_.RequestOnce(
      [&](TKARVOInterface& link) { return link.ReadResult(sensor_.settings_.Address, word); });
}

uint32_t Sensor::ResultSource::ReadPulse(PulseRecord& pulse) {
  uint8_t record[PULSE_RECORD_SIZE] = {};
  const uint32_t status = sensor_.RequestOnce(
      [&](TKARVOInterface& link) { return link.ReadPulse(sensor_.settings_.Address, record); });
  if (status == ST_OK) pulse = PulseRecord::FromBytes(record);
  return status;
}

uint32_t Sensor::Request(const std::function<uint32_t(TKARVOInterface&)>& exchange) {
  auto held = line_->Hold();
  if (const auto streaming = line_->StreamingAddress();
      streaming && *streaming != settings_.Address) {
    reason_ = "the sensor at address " + std::to_string(*streaming) + " streams on the line";
    return ST_LINE_BUSY;
  }
  TKARVOInterface& link = HeldLink();
  uint32_t status = exchange(link);
  // A reply never has mixed tag bits, nor stops part-way; a stream's samples do both.
  const bool streamSeen =
      status == ST_BAD_FRAME || (status == ST_READ_SHORT && link.Port.LastCount > 0);
  if (streamSeen) {
    StopStreamingSensor();
    status = exchange(link);
  }
  reason_ = link.LastReason();
  return status;
}

Result Sensor::Identify(IdentityRecord& identity) {
  const uint8_t address = settings_.Address;
  const uint32_t status =
      Request([&](TKARVOInterface& link) { return link.Identify(address, identity); });
  if (status != ST_OK) return Failed(status, "identify");
  measuringRange_ = identity.MeasuringRange;
  return Result::Success();
}

Result Sensor::ReadRegisters(uint8_t first, size_t count, uint8_t* destination) {
  // The count travels in one byte.
  for (size_t done = 0; done < count;) {
    const size_t part = std::min<size_t>(count - done, 255);
    const auto from = static_cast<uint8_t>(first + done);
    const uint32_t status = Request([&](TKARVOInterface& link) {
      return link.ReadRegisters(settings_.Address, from, static_cast<uint8_t>(part),
                                destination + done);
    });
    if (status != ST_OK) return Failed(status, "reading registers");
    done += part;
  }
  return Result::Success();
}

Result Sensor::WriteRegisters(uint8_t first, const std::vector<uint8_t>& bytes) {
  // The highest registers go first, as in one series.
  for (size_t end = bytes.size(); end > 0;) {
    const size_t part = std::min<size_t>(end, 255);
    const size_t start = end - part;
    const uint32_t status = Request([&](TKARVOInterface& link) {
      return link.WriteRegisters(settings_.Address, static_cast<uint8_t>(first + start),
                                 static_cast<uint8_t>(part), bytes.data() + start);
    });
    if (status != ST_OK) return Failed(status, "writing registers");
    end = start;
  }
  return Result::Success();
}

Result Sensor::ReadResult(uint16_t& word) {
  const uint32_t status =
      Request([&](TKARVOInterface& link) { return link.ReadResult(settings_.Address, word); });
  if (status != ST_OK) return Failed(status, "reading a result");
  return Result::Success();
}

Result Sensor::ReadParameter(int row, TPARAMVALUE& value) {
  if (row < 0 || row >= PARAM_COUNT)
    return Result::Failure(ST_BAD_VALUE, "reading a row", "no such row");
  const TPARAMETR& p = ParamTable[row];
  // A read that fails half-way must not leave old and new bytes mixed in the value.
  uint8_t block[100] = {};
  const uint32_t status = Request([&](TKARVOInterface& link) {
    return link.ReadRegisters(settings_.Address, static_cast<uint8_t>(p.Address), p.Size, block);
  });
  if (status != ST_OK) return Failed(status, RowDoing("reading", row));
  TakeRegisterImage(row, block, value);
  return Result::Success();
}

Result Sensor::ReadParameters(TParamSet& values, const CancelToken* cancel,
                              const Progress& progress) {
  const auto scoped = WithToken(current_, cancel);
  for (int row = 0; row < PARAM_COUNT; ++row) {
    if (IsCancelled(cancel)) return Result::Failure(ST_CANCELLED, "reading the parameters");
    if (Result r = ReadParameter(row, values[row]); !r) return r;
    if (progress) progress(row + 1, PARAM_COUNT);
  }
  return Result::Success();
}

Result Sensor::WriteParameter(int row, const TPARAMVALUE& value) {
  if (row < 0 || row >= PARAM_COUNT)
    return Result::Failure(ST_BAD_VALUE, "writing a row", "no such row");
  const std::string problem = ValueProblem(row, value, measuringRange_);
  // Reasons are UTF-8 for every caller; the row's texts are Windows-1251.
  if (!problem.empty())
    return Result::Failure(ST_BAD_VALUE, RowDoing("writing", row), Cp1251ToUtf8(problem));
  return WriteParameterAsIs(row, value);
}

Result Sensor::WriteParameterAsIs(int row, const TPARAMVALUE& value) {
  const TPARAMETR& p = ParamTable[row];
  const std::vector<uint8_t> image = RegisterImage(row, value);
  const uint32_t status = Request([&](TKARVOInterface& link) {
    return link.WriteRegisters(settings_.Address, static_cast<uint8_t>(p.Address), p.Size,
                               image.data());
  });
  Result result = status == ST_OK ? Result::Success() : Failed(status, RowDoing("writing", row));
  // The line follows what was sent even when the write failed: the sensor may have taken it.
  switch (row) {
    case ROW_ADDRESS:
      settings_.Address = static_cast<uint8_t>(value.Value);
      break;
    case ROW_BAUD: {
      std::this_thread::sleep_for(std::chrono::milliseconds(BAUD_ROW_PAUSE_MS));
      Result reopened = SetBaud((value.Value & 0xFF) * 2400);
      if (result && !reopened) result = reopened;
      // What the port could not follow (a tcp:// port's rate) is the caller's to say.
      if (result) result.Notice = reopened.Notice;
      break;
    }
    case ROW_RANGE:
      measuringRange_ = static_cast<int16_t>(value.Value & 0xFFFF);
      break;
    default:
      break;
  }
  return result;
}

Result Sensor::WriteParameters(const TParamSet& values, const CancelToken* cancel,
                               const Progress& progress, std::vector<int>* failedRows) {
  WriteSetOptions options;
  options.Cancel = cancel;
  options.Progress = progress;
  return WriteParameters(values, options, failedRows);
}

Result Sensor::WriteParameters(const TParamSet& values, const WriteSetOptions& options,
                               std::vector<int>* failedRows) {
  std::vector<int> rows = options.Rows;
  if (rows.empty()) {
    for (int row = PARAM_COUNT - 1; row >= 0; --row) rows.push_back(row);
  }
  for (int row : rows) {
    if (row < 0 || row >= PARAM_COUNT)
      return Result::Failure(ST_BAD_VALUE, "writing a row", "no such row");
  }
  const auto problemOf = [&](int row) {
    return options.Refused == RefusedValues::Force
               ? std::string()
               : ValueProblem(row, values[row], measuringRange_);
  };
  if (options.Refused == RefusedValues::RefuseSet) {
    // Every value is looked at before the first goes out: a set half written is worse than
    // none.
    Result refused;
    for (int row : rows) {
      const std::string problem = problemOf(row);
      if (problem.empty()) continue;
      if (failedRows) failedRows->push_back(row);
      if (refused)
        refused = Result::Failure(ST_BAD_VALUE, RowDoing("writing", row), Cp1251ToUtf8(problem));
    }
    if (!refused) return refused;
  }
  Result first;
  Result skipped;
  const int total = static_cast<int>(rows.size());
  for (int k = 0; k < total; ++k) {
    if (IsCancelled(options.Cancel)) return Result::Failure(ST_CANCELLED, "writing the parameters");
    const int row = rows[k];
    // Judged row by row: a range written just before (row 30) moves what the next rows allow.
    const std::string problem =
        options.Refused == RefusedValues::SendFitting ? problemOf(row) : std::string();
    Result r = problem.empty()
                   ? WriteParameterAsIs(row, values[row])
                   : Result::Failure(ST_BAD_VALUE, RowDoing("writing", row), Cp1251ToUtf8(problem));
    if (!r) {
      if (failedRows) failedRows->push_back(row);
      Result& kept = problem.empty() ? first : skipped;
      if (kept) kept = r;
    }
    if (options.RowDone) options.RowDone(row, r);
    if (options.Progress) options.Progress(k + 1, total);
  }
  return first ? skipped : first;
}

Result Sensor::CompareParameter(int row, const TPARAMVALUE& expected, TPARAMVALUE& read,
                                bool& equal) {
  equal = false;
  if (Result r = ReadParameter(row, read); !r) return r;
  equal = SameValue(row, expected, read);
  return Result::Success();
}

Result Sensor::CompareParameters(const TParamSet& expected, TParamSet& read,
                                 std::vector<ParameterDifference>& differences,
                                 const CancelToken* cancel, const Progress& progress) {
  differences.clear();
  if (Result r = ReadParameters(read, cancel, progress); !r) return r;
  for (int row = 0; row < PARAM_COUNT; ++row) {
    if (!SameValue(row, expected[row], read[row])) {
      differences.push_back({row, expected[row], read[row]});
    }
  }
  return Result::Success();
}

Result Sensor::Flash(FlashOperation operation) {
  static constexpr struct {
    uint8_t Code;
    const char* Doing;
  } kinds[] = {{FLASH_STORE, "flash store"},
               {FLASH_RESTORE, "flash restore"},
               {FLASH_FACTORY, "flash factory"}};
  const auto& kind = kinds[static_cast<int>(operation)];
  const uint32_t status = Request(
      [&](TKARVOInterface& link) { return link.FlashControl(settings_.Address, kind.Code); });
  if (status != ST_OK) return Failed(status, kind.Doing);
  if (operation == FlashOperation::Restore) {
    // A sensor holding its factory parameters talks at 9600 baud on address 1.
    settings_.Address = FACTORY_ADDRESS;
    return SetBaud(FACTORY_BAUD);
  }
  return Result::Success();
}

Result Sensor::Measure(uint32_t runMode, size_t count, const std::function<void(float)>& sink,
                       const CancelToken* cancel) {
  const auto scoped = WithToken(current_, cancel);
  for (size_t i = 0; i < count; ++i) {
    if (IsCancelled(cancel)) return Result::Failure(ST_CANCELLED, "measuring");
    uint16_t word = 0;
    if (Result r = ReadResult(word); !r) return r;
    if (sink) sink(ConvertResult(runMode, word, measuringRange_));
  }
  return Result::Success();
}

Result Sensor::ReadPulse(PulseRecord& pulse) {
  uint8_t record[PULSE_RECORD_SIZE] = {};
  const uint32_t status =
      Request([&](TKARVOInterface& link) { return link.ReadPulse(settings_.Address, record); });
  if (status != ST_OK) return Failed(status, "reading the pulse");
  pulse = PulseRecord::FromBytes(record);
  return Result::Success();
}

Result Sensor::Zero(TParamSet& working) {
  uint16_t word = 0;
  if (Result r = ReadResult(word); !r) return r;
  return ZeroAt(static_cast<int16_t>(word), working);
}

Result Sensor::ZeroAt(int16_t raw, TParamSet& working) {
  TPARAMVALUE next = working[ROW_ZERO_POINT];
  if (!ZeroPointAfter(working[ROW_ZERO_POINT].Value, raw, next.Value)) {
    return Result::Failure(ST_BAD_VALUE, "zero set", "the zero point would leave -32768 to 32767");
  }
  if (Result r = WriteParameter(ROW_ZERO_POINT, next); !r) return r;
  working[ROW_ZERO_POINT] = next;
  return Result::Success();
}

Result Sensor::Stream(uint32_t runMode, uint64_t count, const std::function<void(float)>& sink,
                      const CancelToken* cancel, uint64_t* lost) {
  SensorStream stream(*this, runMode);
  if (Result r = stream.Start(); !r) return r;
  ScopeGuard countLost([&] {
    if (lost) *lost = stream.Lost();
  });
  uint64_t taken = 0;
  std::vector<float> values;
  while (count == 0 || taken < count) {
    if (IsCancelled(cancel)) {
      stream.Stop();
      return Result::Failure(ST_CANCELLED, "streaming");
    }
    values.clear();
    if (Result r = stream.Take(values, 100); !r) return r;
    for (float v : values) {
      if (count != 0 && taken >= count) break;
      if (sink) sink(v);
      ++taken;
    }
  }
  return stream.Stop();
}

Result Sensor::StartStream(TStreamWorker& worker, TStreamSetup setup) {
  auto held = line_->Hold();
  TKARVOInterface& link = line_->Link();
  if (!link.IsOpen()) return Result::Failure(ST_NOT_OPEN, "starting the stream");
  if (const auto streaming = line_->StreamingAddress(); streaming) {
    return Result::Failure(
        ST_LINE_BUSY, "starting the stream",
        "the sensor at address " + std::to_string(*streaming) + " streams on the line");
  }
  const uint32_t status = link.StartStream(settings_.Address);
  reason_ = link.LastReason();
  if (status != ST_OK) return Failed(status, "starting the stream");
  line_->SetStreamingAddress(settings_.Address);
  setup.Link = &link;
  setup.Address = settings_.Address;
  setup.MeasuringRange = measuringRange_;
  setup.Active->store(true);
  worker.Start(setup);
  return Result::Success();
}

Result Sensor::StopStream(TStreamWorker& worker, std::atomic<bool>& active, int commands) {
  active = false;
  // The worker ends after its current read; it has to be gone before the stop goes out.
  worker.Join();
  auto held = line_->Hold();
  if (line_->StreamingAddress() == settings_.Address) line_->SetStreamingAddress(std::nullopt);
  TKARVOInterface& link = line_->Link();
  uint32_t status = ST_OK;
  for (int i = 0; i < commands; ++i) status = link.StopStream(settings_.Address);
  reason_ = link.LastReason();
  if (status != ST_OK) return Failed(status, "stopping the stream");
  return Result::Success();
}

Result Sensor::LoadTable(const TCalibrationTable& table, TTableLoadResult& outcome,
                         const CancelToken* cancel, const Progress& progress,
                         const std::function<bool()>& retry) {
  outcome = TTableLoadResult{};
  const auto scoped = WithToken(current_, cancel);
  // Only the low 16 bits of an entry would travel; the read-back would then find a
  // difference only after the whole table had been written.
  for (size_t i = 0; i < CALIBRATION_USED; ++i) {
    const int32_t entry = table.Entries[i];
    if (entry < 0 || entry > 0xFFFF) {
      return Result::Failure(
          ST_BAD_VALUE, "loading the calibration table",
          "entry " + std::to_string(i) + " is " + std::to_string(entry) + ", outside 0 to 65535");
    }
  }
  std::function<void(int, int)> pageProgress = [&](int pos, int max) {
    if (progress) progress(pos, max);
  };
  // Cancelling answers the load's question with Cancel, between pages.
  std::function<bool()> again = [&] { return !IsCancelled(cancel) && retry && retry(); };
  // The pages go out as one operation: another sensor's request between them would be taken
  // for an answer.
  auto held = line_->Hold();
  if (const auto streaming = line_->StreamingAddress(); streaming) {
    return Result::Failure(
        ST_LINE_BUSY, "loading the calibration table",
        "the sensor at address " + std::to_string(*streaming) + " streams on the line");
  }
  outcome = LoadCalibrationTable(HeldLink(), settings_.Address, table, pageProgress, again,
                                 [cancel] { return IsCancelled(cancel); });
  reason_ = line_->Link().LastReason();
  if (IsCancelled(cancel) && !outcome.Passed) {
    return Result::Failure(ST_CANCELLED, "loading the calibration table");
  }
  if (outcome.Passed) return Result::Success();
  const std::string doing =
      "loading the calibration table (page " + std::to_string(outcome.FailedPage) + ")";
  if (outcome.Mismatch) {
    return Result::Failure(ST_BAD_FRAME, doing, "the table read back differs");
  }
  return Failed(outcome.Status, doing);
}

// ---- SensorStream ----

struct SensorStream::State {
  TSampleRing Ring;  // the worker's; the values come out through Stored
  TStreamWorker Worker{Ring};
  std::atomic<bool> Active{false};
  std::atomic<uint32_t> SensorStatus{ST_OK};
  std::atomic<uint32_t> LastStatus{ST_OK};
  std::mutex Lock;
  std::condition_variable Arrived;
  std::vector<float> Pending;
  bool Started = false;
};

SensorStream::SensorStream(Sensor& sensor, uint32_t runMode)
    : sensor_(sensor), runMode_(runMode), state_(std::make_unique<State>()) {}

SensorStream::~SensorStream() {
  Stop();
}

uint64_t SensorStream::Lost() const {
  return state_->Worker.Lost();
}

bool SensorStream::Running() const {
  return state_->Started && state_->LastStatus == ST_OK;
}

Result SensorStream::Start() {
  State& s = *state_;
  if (s.Started) return Result::Success();
  s.LastStatus = ST_OK;
  TStreamSetup setup;
  setup.RunMode = runMode_;
  setup.Active = &s.Active;
  setup.SensorStatus = &s.SensorStatus;
  setup.LastStatus = &s.LastStatus;
  setup.Stored = [&s](float value) {
    {
      std::lock_guard lock(s.Lock);
      s.Pending.push_back(value);
    }
    s.Arrived.notify_all();
  };
  if (Result r = sensor_.StartStream(s.Worker, setup); !r) return r;
  s.Started = true;
  return Result::Success();
}

Result SensorStream::Take(std::vector<float>& out, uint32_t waitMs) {
  State& s = *state_;
  if (!s.Started) return Result::Failure(ST_NOT_OPEN, "streaming", "the stream is not running");
  {
    std::unique_lock lock(s.Lock);
    s.Arrived.wait_for(lock, std::chrono::milliseconds(waitMs),
                       [&] { return !s.Pending.empty() || s.LastStatus != ST_OK; });
    out.insert(out.end(), s.Pending.begin(), s.Pending.end());
    s.Pending.clear();
  }
  // A line that fails ends the stream: the worker would only go on failing.
  if (const uint32_t failure = s.LastStatus; failure != ST_OK) {
    Stop();
    return Result::Failure(failure, "streaming", sensor_.Link().LastReason());
  }
  return Result::Success();
}

Result SensorStream::Stop() {
  State& s = *state_;
  if (!s.Started) return Result::Success();
  s.Started = false;
  return sensor_.StopStream(s.Worker, s.Active);
}

}  // namespace karvo::device
