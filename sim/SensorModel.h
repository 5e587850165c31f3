// What the simulated sensor measures and keeps, apart from any line: the three register sets,
// the calibration table, and the optics that turn a target distance into a result, a raw
// position, a temperature or a pulse profile. Not thread-safe; the simulator guards it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/SensorSim.h"

namespace karvo::sim {

using TRegisterSet = std::array<uint8_t, 256>;

// Register numbers the device itself acts on.
namespace reg {
constexpr uint8_t SENSOR_ON = 0;
constexpr uint8_t ADDRESS = 3;
constexpr uint8_t BAUD = 4;  // rate / 2400
constexpr uint8_t LASER_LEVEL = 5;
constexpr uint8_t AVERAGING = 6;
constexpr uint8_t MODE_OF_RUN = 7;
constexpr uint8_t SAMPLING_PERIOD = 8;   // 2 bytes, microseconds
constexpr uint8_t MAX_INTEGRATION = 10;  // 2 bytes, microseconds
constexpr uint8_t ZERO_POINT = 23;       // 2 bytes, signed codes
constexpr uint8_t IDENTITY = 144;        // 8 bytes: type, release, serial, base, range
constexpr uint8_t MEASURING_RANGE = 150;
}  // namespace reg

constexpr int TABLE_PAGES = 41;
constexpr int TABLE_PAGE_WORDS = 512;
constexpr int FULL_SCALE = 16384;
constexpr int RAW_LIMIT = 21999;  // highest raw position the optics report

// The set a sensor leaves the factory with: plausible values inside each parameter's range,
// link at 9600 baud and address 1, identity from the options.
TRegisterSet FactoryRegisters(const TSensorSimOptions& options);

class TSensorModel {
 public:
  explicit TSensorModel(const TSensorSimOptions& options);

  TRegisterSet Working{};
  TRegisterSet Flash{};
  TRegisterSet Factory{};

  uint16_t Word(uint8_t first) const;  // little-endian pair from the working set
  uint8_t Mode() const { return Working[reg::MODE_OF_RUN] & 3; }

  // Raw position (tenths of a pixel of the line camera) of a target `mm` from the base, from
  // the optics' smooth non-linear characteristic, without noise; 0 outside the field of view.
  double Position(double mm) const;

  // One 16-bit result in the current mode of run; advances noise and warm-up.
  uint16_t Result(double mm);
  // The 260-byte pulse record: 128 profile samples around the pulse, position, exposure.
  void Pulse(double mm, uint8_t record[260]);

  std::vector<uint16_t> TablePage(int page) const;
  void SetTablePage(int page, const uint16_t* words);
  bool TableLoaded() const { return tableEntries_ > 0; }

 private:
  int Noise(double amplitude);
  double Averaged(double amplitude) const;

  TSensorSimOptions options_;
  std::vector<uint16_t> table_;
  int tableEntries_ = 0;
  uint64_t rng_;
  uint32_t results_ = 0;
};

}  // namespace karvo::sim
