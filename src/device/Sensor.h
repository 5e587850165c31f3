// One sensor on one serial line: every operation the program has with it, as a call that
// returns a Result and shows nothing. The window's session, the command line and the Python
// package all reach the sensor through this class.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/Line.h"
#include "device/Result.h"
#include "measure/MeasureLoop.h"
#include "measure/StreamWorker.h"
#include "params/ParamTable.h"
#include "protocol/Karvointerface.h"
#include "stage/Calibration.h"

namespace karvo::device {

struct SensorSettings {
  std::string Port = "COM1";  // "COM1".."COM8", "USB", or a device path
  uint32_t Baud = 9600;
  uint8_t Address = 1;
  std::string SysfsRoot = "/sys";  // where a USB adapter is looked up
};

// The zero point after a zero set that measured `raw`: the sensor keeps it as a signed 16-bit
// word. False when the sum does not fit.
bool ZeroPointAfter(uint32_t current, int16_t raw, uint32_t& next);

enum class FlashOperation { Store, Restore, Factory };

// What a write of several rows does with values their rows refuse.
enum class RefusedValues {
  RefuseSet,    // every value is checked first; nothing is sent when one does not fit
  SendFitting,  // the rows that fit are sent; the others are skipped and reported
  Force,        // every value goes out as it stands
};

struct WriteSetOptions {
  RefusedValues Refused = RefusedValues::RefuseSet;
  // The rows in the order they go out; empty: 35 down to 0 (the address and rate go before
  // rows 1 and 0, which then reach the sensor at its new settings).
  std::vector<int> Rows;
  const CancelToken* Cancel = nullptr;
  ::karvo::device::Progress Progress;  // rows done of the rows to write
  // After each row, sent or skipped: what it came to (ST_BAD_VALUE with the row's reason:
  // skipped, nothing sent).
  std::function<void(int row, const Result& outcome)> RowDone;
};

struct ParameterDifference {
  int Row = 0;
  TPARAMVALUE Expected;  // the working value
  TPARAMVALUE Read;      // what the sensor holds
};

class Sensor {
 public:
  // A sensor with a line of its own, which it opens and closes.
  Sensor();
  // A sensor at `address` on a line that others share; its Open reopens the line for all of
  // them, and it never closes the line.
  Sensor(std::shared_ptr<Line> line, uint8_t address);
  ~Sensor();
  Sensor(const Sensor&) = delete;
  Sensor& operator=(const Sensor&) = delete;

  // ---- The line ----
  // Opens (or reopens) the port; sends nothing.
  Result Open(const SensorSettings& settings);
  void Close();
  bool IsOpen() const;
  const SensorSettings& Settings() const { return settings_; }
  // Settings for the next Open, taken without touching the port.
  void Configure(const SensorSettings& settings) { settings_ = settings; }
  // Reopens the port at another rate (what a baud change in the window does).
  Result SetBaud(uint32_t baud);
  void SetAddress(uint8_t address) { settings_.Address = address; }
  uint8_t Address() const { return settings_.Address; }

  // Checked before every exchange that waits for an answer, in every operation, as well as
  // the token an operation takes, so that a cancel ends any command within one exchange's
  // time-out (ST_CANCELLED), also inside a row of many registers. Null: none.
  void SetCancelToken(const CancelToken* token) { standing_ = token; }

  // The line's reason for its last failure, whoever had it (an open, an exchange, a stream's
  // worker); empty when the port knows none.
  std::string LastReason() { return line_->Link().LastReason(); }

  // The wire itself, for --trace and the tests.
  TKARVOInterface& Link() { return line_->Link(); }
  Line& SharedLine() { return *line_; }

  // ---- Identity and registers ----
  Result Identify(IdentityRecord& identity);
  // The measuring range of the last identify (or the last write of row 30), mm.
  int16_t MeasuringRange() const { return measuringRange_; }
  void SetMeasuringRange(int16_t range) { measuringRange_ = range; }
  // Any number of registers; more than 255 go in several requests.
  Result ReadRegisters(uint8_t first, size_t count, uint8_t* destination);
  Result WriteRegisters(uint8_t first, const std::vector<uint8_t>& bytes);
  Result ReadResult(uint16_t& word);

  // ---- Parameters ----
  // A failed read leaves `value` as it was.
  Result ReadParameter(int row, TPARAMVALUE& value);
  // Rows 0..35 in order, stopping at the first that fails (named in Doing); the rows read
  // before it have their new values.
  Result ReadParameters(TParamSet& values, const CancelToken* cancel = nullptr,
                        const Progress& progress = {});
  // Checks the value against its row first and sends nothing when it does not fit. The line
  // follows rows 2 and 3 (rate and address) even when the write failed, as the sensor may
  // have taken them.
  Result WriteParameter(int row, const TPARAMVALUE& value);
  // The program's own values that lie outside what an operator may set (a sweep switches
  // averaging off with 0), sent without the check; the line follows rows 2 and 3 as above.
  Result WriteParameterAsIs(int row, const TPARAMVALUE& value);
  // Rows 35 down to 0 (the address and rate go before rows 1 and 0); every value is checked
  // before anything is sent; a failing row does not stop the others. `failedRows` gets every
  // row that failed; the Result names the first.
  Result WriteParameters(const TParamSet& values, const CancelToken* cancel = nullptr,
                         const Progress& progress = {}, std::vector<int>* failedRows = nullptr);
  // The same with the caller's rule for refused values. A failing row does not stop the
  // others; `failedRows` gets every row that failed or was skipped, the Result names the first
  // failure (a skipped row counts as one only when nothing else failed).
  Result WriteParameters(const TParamSet& values, const WriteSetOptions& options,
                         std::vector<int>* failedRows = nullptr);
  // A failed read is a failure, never a difference.
  Result CompareParameter(int row, const TPARAMVALUE& expected, TPARAMVALUE& read, bool& equal);
  Result CompareParameters(const TParamSet& expected, TParamSet& read,
                           std::vector<ParameterDifference>& differences,
                           const CancelToken* cancel = nullptr, const Progress& progress = {});

  // ---- Flash ----
  // Restore leaves the line at the factory settings (9600 baud, address 1), which the sensor
  // then talks at.
  Result Flash(FlashOperation operation);

  // ---- Measurement ----
  // `count` results in a result-taking run mode (Line, NonLine, Temperature), each as the
  // display shows it, handed to `sink` as it comes.
  Result Measure(uint32_t runMode, size_t count, const std::function<void(float)>& sink,
                 const CancelToken* cancel = nullptr);
  Result ReadPulse(PulseRecord& pulse);
  // Zero set: one result is added to the zero point (row 14 of `working`), which is written.
  // A sum that does not fit the row is refused and nothing is sent.
  Result Zero(TParamSet& working);
  // The same with a result the caller has just taken (the measurement loop's), so that the
  // zero set costs no exchange of its own.
  Result ZeroAt(int16_t raw, TParamSet& working);
  // Streams `count` samples (0: until cancelled) in `runMode` into `sink`; the stream is
  // stopped on every way out. A sample lost on the line is skipped and counted in `lost`
  // (also on failure); only a line that stays garbled ends the stream.
  Result Stream(uint32_t runMode, uint64_t count, const std::function<void(float)>& sink,
                const CancelToken* cancel = nullptr, uint64_t* lost = nullptr);

  // The caller's own streaming worker on this sensor (the window's, with its ring and
  // display): the start command, then `worker` runs with `setup`, whose link, address and
  // range are filled in here; the line is the stream's until StopStream. `*setup.Active` is
  // set only when the worker runs.
  Result StartStream(TStreamWorker& worker, TStreamSetup setup);
  // Clears `active`, joins the worker (before anything else touches the link), then sends the
  // stop command `commands` times; the last one's outcome is returned.
  Result StopStream(TStreamWorker& worker, std::atomic<bool>& active, int commands = 1);

  // The measurement loop's view of this sensor: each request through Request, with the tokens.
  TMeasureSource& Results() { return results_; }

  // ---- Calibration table ----
  // Writes the 41 pages, reads them back and compares. Entries outside 0..65535 are refused
  // before anything is sent. `retry` is asked after a failure (empty: no retry).
  Result LoadTable(const TCalibrationTable& table, TTableLoadResult& outcome,
                   const CancelToken* cancel = nullptr, const Progress& progress = {},
                   const std::function<bool()>& retry = {});

  // Puts a sensor that is still streaming (left so by a killed program) back to answering:
  // StopStream, then the line drained. Called by the operations themselves when an answer
  // shows stream data; public for those who drive the link directly.
  void StopStreamingSensor();

  // Runs one request on the link, holding the line; when its answer shows stream data instead
  // of a reply, the stream is stopped and the request tried once more. ST_LINE_BUSY while
  // another sensor's stream owns the line.
  uint32_t Request(const std::function<uint32_t(TKARVOInterface&)>& exchange);
  // One exchange, its status as it came: no stream recovery, no tokens asked.
  uint32_t RequestOnce(const std::function<uint32_t(TKARVOInterface&)>& exchange);

 private:
  Result Failed(uint32_t status, const std::string& doing);
  // The line's link, asking this sensor's tokens before each exchange; the line held.
  TKARVOInterface& HeldLink();

  class ResultSource final : public TMeasureSource {
   public:
    explicit ResultSource(Sensor& sensor) : sensor_(sensor) {}
    // A garbled answer is the loop's to count as a failure: no stream recovery and no retry,
    // which would stall the 1 ms loop. Nor do the tokens end them: the loop ends by its Stop,
    // and a cancel meant for an operation must not fail every tick after it.
    uint32_t ReadResult(uint16_t& word) override;
    uint32_t ReadPulse(PulseRecord& pulse) override;

   private:
    Sensor& sensor_;
  };

  std::shared_ptr<Line> line_;
  bool ownsLine_ = true;
  SensorSettings settings_;
  std::string reason_;  // the link's reason after this sensor's last exchange
  int16_t measuringRange_ = 0;
  const CancelToken* standing_ = nullptr;
  const CancelToken* current_ = nullptr;  // the token of the operation under way
  ResultSource results_{*this};
};

// A stream that runs until stopped, for callers that take its samples as they come (an
// iterator in Python). The stream is stopped on every way out, the destructor included.
class SensorStream {
 public:
  SensorStream(Sensor& sensor, uint32_t runMode);
  ~SensorStream();
  SensorStream(const SensorStream&) = delete;
  SensorStream& operator=(const SensorStream&) = delete;

  Result Start();
  // Moves the samples that came since the last call into `out`, waiting up to `waitMs` for
  // the first. A failure of the line ends the stream and is returned.
  Result Take(std::vector<float>& out, uint32_t waitMs);
  Result Stop();
  bool Running() const;
  // Samples lost on the line since Start (they never arrived whole); the stream went on.
  uint64_t Lost() const;

 private:
  struct State;
  Sensor& sensor_;
  uint32_t runMode_;
  std::unique_ptr<State> state_;
};

}  // namespace karvo::device
