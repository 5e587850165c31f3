// A simulated sensor answering on a pseudo-terminal like a real device: register file with
// working, FLASH and factory sets, answers only at its address and baud rate with 8E1,
// paced to the line rate, streaming, pulse record, calibration table, and faults on demand.
//
// What it does, as the device it stands for:
// - Listens at the address in register 3 and the rate in register 4 (x 2400); a write to
//   either takes effect from the next request. It stays silent when the line is set to
//   another rate or to odd or stick parity. A pseudo-terminal never shows the parity enable
//   bit nor the data bits, so no parity and 7 data bits cannot be told from 8E1.
// - Flash command: busy for FlashWriteMs (requests meanwhile go unheard), then does the job
//   and echoes the code at the settings the request came in with: store copies working to
//   FLASH, restore copies factory to working and FLASH (the link then follows the factory
//   set, 9600 baud and address 1), factory copies working to factory.
// - Results by "Mode of Run" (register 7, two low bits): 0 and 2 "Line", the distance over
//   the measuring range (registers 150-151) scaled to 16384, or through the calibration
//   table when one is loaded, less the zero point (registers 23-24, signed); 1 "NonLine",
//   the raw position; 3 "Temperature", a raw reading that warms up slowly. No target in view
//   (or the sensor switched off by register 0) gives 0.
// - Streaming: after command 7 one result every "Sampling Period" (registers 8-9, in
//   microseconds; never faster than every 100 us nor than the line carries, four bytes of
//   11 bits a sample), until command 8. Meanwhile other requests go unanswered. Benchmarks
//   may set a shorter period, down to what the line carries, and have the samples numbered.
// - The target stands still, or moves in a slow sine or ramp about its distance.
// - A new request addressed to it ends whatever answer is still going out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace karvo::sim {

enum class TTargetMotion { None, Sine, Ramp };

struct TSensorSimOptions {
  uint8_t Address = 1;
  uint32_t Baud = 9600;          // stored in register 4 as Baud / 2400
  int16_t MeasuringRange = 100;  // mm
  int16_t BaseDistance = 60;     // mm
  uint16_t SerialNumber = 1234;
  uint8_t DeviceType = 7;
  uint8_t Release = 4;
  bool Pace = true;  // pace answers to the line rate (11 bits a byte)
  // Peak of the measurement noise in result codes with averaging off; the "Number of Averaged
  // Values" register divides it by its square root. 0 gives exact results.
  double Noise = 2.0;
  uint64_t Seed = 1;  // noise is pseudo-random from this seed, so runs repeat
  // How long a flash command keeps the sensor busy before it echoes the code. The program
  // reads the echo 1000 ms after its request, so the echo must be on the line by then.
  uint32_t FlashWriteMs = 900;
  // Stream period in microseconds instead of the "Sampling Period" register, and without the
  // sensor's own 100 us floor; 0 keeps the register. The line's pace still holds.
  uint32_t StreamPeriodUs = 0;
  // Stream samples carry a running count instead of results: 0 for the first sample after
  // each start, then one more for each sample put on the line (wrapping at 65536). A reader
  // can then tell every sample it lost, got twice or got out of order.
  bool StreamSequence = false;
  // A moving target: the distance swings this far (mm) either side of the set distance, once
  // every MotionPeriodS seconds. An amplitude of 0 means a quarter of the measuring range.
  TTargetMotion Motion = TTargetMotion::None;
  double MotionAmplitudeMm = 0;
  double MotionPeriodS = 10;
  // Several sensors on one line, as on RS-485: one per address, serial numbers counting up
  // from SerialNumber, each target moving on its own; only the addressed one answers. Empty:
  // one sensor at Address. The calls below that read or set registers, the table or the link
  // settings reach the first of them.
  std::vector<uint8_t> Addresses = {};
};

class TSensorSim {
 public:
  explicit TSensorSim(const TSensorSimOptions& options = {});
  ~TSensorSim();  // stops the thread and closes the pseudo-terminal
  TSensorSim(const TSensorSim&) = delete;
  TSensorSim& operator=(const TSensorSim&) = delete;

  // Opens the pseudo-terminal and starts answering; false (with a reason) on failure. The
  // sensor's thread asks for a real-time priority, so that its timing holds on a busy
  // machine; it runs without one where that is not allowed.
  bool Start(std::string* error = nullptr);
  void Stop();
  // The device path a program opens, e.g. /dev/pts/5.
  std::string DevicePath() const;

  // Register file (thread-safe). Working set unless stated.
  uint8_t Register(uint8_t reg) const;
  void SetRegister(uint8_t reg, uint8_t value);
  uint8_t FlashRegister(uint8_t reg) const;
  uint8_t FactoryRegister(uint8_t reg) const;

  // Target distance in mm from the sensor's base (0 .. measuring range); or a source that is
  // asked at every result (the stage simulator later shares its carriage position this way).
  void SetTargetDistance(double mm);
  void SetDistanceSource(std::function<double()> source);

  // Calibration table: 41 pages of 512 words (an empty vector for a page beyond 40). While
  // any entry is non-zero, "Line" results are table[raw position] less the zero point; an
  // entry of 0 (no calibration there) gives the result 0, as a target out of range does.
  std::vector<uint16_t> TablePage(uint8_t page) const;
  void SetTablePage(uint8_t page, const std::vector<uint16_t>& words);
  void ClearTable();

  // The raw position ("NonLine" result, tenths of a camera pixel) the optics give for a
  // target `mm` from the base, without noise; 0 outside the field of view. Smooth, monotonic
  // and non-linear, inside 0..21999.
  double RawPosition(double mm) const;

  // Fault injection. Each applies from the next request on. A silent sensor hears nothing:
  // requests are logged but not carried out. A wrong acknowledge reports a flash or table
  // write that did not take place. Pieces of a split answer are paced as usual, with gapMs of
  // silence between them. After HangUp the sensor is gone until Stop and Start.
  void FailSilent(bool silent = true);  // answer nothing
  void FailSilentAfter(int answers);    // answer this many more, then stay silent
  // Of several sensors on the line, the one at `address` hears this many more requests,
  // then nothing.
  void FailSilentAt(uint8_t address, int answers = 0);
  void CorruptNextTags();                       // next answer has inconsistent bits 4..6
  void WrongAckNext();                          // next flash / table-page acknowledge is wrong
  void SplitNextAnswer(int pieces, int gapMs);  // deliver the next answer in pieces
  void DropByteOfNext(int answers = 1);         // these answers lose a byte, as in an overrun
  void HangUp();                                // close the line: the program sees a hang-up
  void ClearFaults();

  // What the simulator saw, for tests: every complete request frame received (raw bytes),
  // whether answered or not; the last 65536 are kept.
  std::vector<std::vector<uint8_t>> Requests() const;
  void ClearRequests();
  uint32_t AnswerCount() const;        // answers put on the line, stream samples included
  uint64_t StreamSamplesSent() const;  // stream samples wholly put on the line
  // How late the last byte of each paced answer went out against its due time, for
  // benchmarks that must tell the simulator's timing from the program's.
  struct TPacingStats {
    uint64_t Answers = 0;
    double MeanLateUs = 0;
    double MaxLateUs = 0;
  };
  TPacingStats PacingStats() const;
  bool Streaming() const;
  // The rate and address the sensor listens at now (they follow registers 4 and 3, except
  // that an answer under way finishes at the settings its request came in with).
  uint32_t LineBaud() const;
  uint8_t LineAddress() const;

 private:
  // The address and baud rate the sensor listens on now.
  std::pair<uint8_t, uint32_t> LineSettings() const;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace karvo::sim
