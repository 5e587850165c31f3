// A simulated sensor answering on a pseudo-terminal like a real device: register file with
// working, FLASH and factory sets, answers only at its address and baud rate with 8E1,
// paced to the line rate, streaming, pulse record, calibration table, and faults on demand.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace karvo::sim {

struct TSensorSimOptions {
  uint8_t Address = 1;
  uint32_t Baud = 9600;  // stored in register 4 as Baud / 2400
  int16_t MeasuringRange = 100;  // mm
  int16_t BaseDistance = 60;     // mm
  uint16_t SerialNumber = 1234;
  uint8_t DeviceType = 7;
  uint8_t Release = 4;
  bool Pace = true;  // pace answers to the line rate (11 bits a byte)
};

class TSensorSim {
 public:
  explicit TSensorSim(const TSensorSimOptions& options = {});
  ~TSensorSim();  // stops the thread and closes the pseudo-terminal
  TSensorSim(const TSensorSim&) = delete;
  TSensorSim& operator=(const TSensorSim&) = delete;

  // Opens the pseudo-terminal and starts answering; false (with a reason) on failure.
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

  // Calibration table: 41 pages of 512 words.
  std::vector<uint16_t> TablePage(uint8_t page) const;

  // Fault injection. Each applies from the next request on.
  void FailSilent(bool silent = true);       // answer nothing
  void FailSilentAfter(int answers);         // answer this many more, then stay silent
  void CorruptNextTags();                    // next answer has inconsistent bits 4..6
  void WrongAckNext();                       // next flash / table-page acknowledge is wrong
  void SplitNextAnswer(int pieces, int gapMs);  // deliver the next answer in pieces
  void HangUp();                             // close the line: the program sees a hang-up
  void ClearFaults();

  // What the simulator saw, for tests: every request frame received (raw bytes).
  std::vector<std::vector<uint8_t>> Requests() const;
  void ClearRequests();
  uint32_t AnswerCount() const;
  bool Streaming() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace karvo::sim
