#include "sim/SensorModel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace karvo::sim {
namespace {

// Raw positions of the near and far ends of the range, and the bend of the characteristic:
// a triangulation sensor's spot moves faster across the camera for near targets.
constexpr double RAW_NEAR = 1500.0;
constexpr double RAW_FAR = 20500.0;
constexpr double BEND = 0.6;
// Field of view as a share of the measuring range, a little beyond both ends.
constexpr double VIEW_LOW = -0.03;
constexpr double VIEW_HIGH = 1.03;

constexpr int PULSE_SAMPLES = 128;
constexpr int PULSE_PEAK_INDEX = 42;  // the program labels sample i as position + i - 42

void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutText(TRegisterSet& set, int first, int size, const char* text) {
  size_t length = std::min<size_t>(std::strlen(text), static_cast<size_t>(size));
  std::memcpy(&set[first], text, length);
}

}  // namespace

TRegisterSet FactoryRegisters(const TSensorSimOptions& options) {
  TRegisterSet set{};
  set[0] = 1;              // sensor on
  set[1] = 1;              // analog output on
  set[2] = 0;              // sampling by time, window output, out-of-range signal
  set[3] = 1;              // address
  set[4] = 4;              // 9600 baud
  set[5] = 20;             // laser level
  set[6] = 8;              // averaged values
  set[7] = 0;              // Line
  Put16(&set[8], 1000);    // sampling period, us
  Put16(&set[10], 400);    // max integration time, us
  Put16(&set[12], 0);      // analog window begin
  Put16(&set[14], 16384);  // analog window end
  set[16] = 20;            // lock time 100 ms
  Put16(&set[23], 0);      // zero point
  Put16(&set[25], 400);    // bottom analog level
  Put16(&set[27], 16000);  // top analog level
  set[32] = 100;           // CAN 500 kbit/s
  Put16(&set[34], 0x100);  // CAN standard identifier
  Put16(&set[36], 0x0001);
  Put16(&set[38], 0x18FF);  // CAN extended identifier 0x18FF0001
  set[40] = 0;
  set[41] = 0;  // CAN off
  set[129] = 120;
  Put16(&set[130], 8000);  // pulse power
  set[132] = 40;
  set[144] = options.DeviceType;
  set[145] = options.Release;
  Put16(&set[146], options.SerialNumber);
  Put16(&set[148], static_cast<uint16_t>(options.BaseDistance));
  Put16(&set[150], static_cast<uint16_t>(options.MeasuringRange));
  PutText(set, 160, 32, "KARVO");
  PutText(set, 192, 8, "01.02.26");
  PutText(set, 200, 8, "01.02.26");
  PutText(set, 208, 16, "CPU rel.4.02");
  PutText(set, 224, 16, "IFM rel.2.10");
  return set;
}

TSensorModel::TSensorModel(const TSensorSimOptions& options)
    : options_(options),
      table_(TABLE_PAGES * TABLE_PAGE_WORDS, 0),
      rng_(options.Seed * 0x9E3779B97F4A7C15ull + 1) {
  Factory = FactoryRegisters(options);
  Working = Factory;
  // A sensor set up for its customer's line keeps that link in FLASH; the factory set keeps
  // the link every fresh sensor has, which is what "Default" reconnects at.
  Working[reg::ADDRESS] = options.Address;
  Working[reg::BAUD] = static_cast<uint8_t>(options.Baud / 2400);
  Flash = Working;
}

uint16_t TSensorModel::Word(uint8_t first) const {
  return static_cast<uint16_t>(Working[first] | (Working[static_cast<uint8_t>(first + 1)] << 8));
}

double TSensorModel::Position(double mm) const {
  double range = options_.MeasuringRange > 0 ? options_.MeasuringRange : 1.0;
  double u = mm / range;
  if (!(u >= VIEW_LOW && u <= VIEW_HIGH)) return 0.0;
  return RAW_NEAR + (RAW_FAR - RAW_NEAR) * u * (1.0 + BEND) / (1.0 + BEND * u);
}

int TSensorModel::Noise(double amplitude) {
  auto next = [this] {
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<double>((z ^ (z >> 31)) >> 11) / 9007199254740992.0;
  };
  double triangular = next() + next() - 1.0;
  return static_cast<int>(std::lround(triangular * amplitude));
}

double TSensorModel::Averaged(double amplitude) const {
  return amplitude / std::sqrt(std::max<int>(1, Working[reg::AVERAGING]));
}

uint16_t TSensorModel::Result(double mm) {
  ++results_;
  if (Mode() == 3) {
    // Raw reading of the board's thermistor, warming up over the first minutes of use.
    double warm = 40.0 * (1.0 - std::exp(-static_cast<double>(results_) / 3000.0));
    return static_cast<uint16_t>(std::lround(2450.0 + warm) + Noise(1.0));
  }
  if (Working[reg::SENSOR_ON] == 0) return 0;
  double position = Position(mm);
  if (position <= 0.0) return 0;  // no target in view
  int noise = Noise(Averaged(options_.Noise));
  if (Mode() == 1) {
    long raw = std::lround(position) + noise;
    return static_cast<uint16_t>(std::clamp<long>(raw, 1, RAW_LIMIT));
  }
  long code;
  if (TableLoaded()) {
    long index = std::lround(position) + noise;
    if (index < 0 || index >= static_cast<long>(table_.size()) || table_[index] == 0) return 0;
    code = table_[index];
  } else {
    int range = static_cast<int16_t>(Word(reg::MEASURING_RANGE));
    if (range <= 0) range = options_.MeasuringRange > 0 ? options_.MeasuringRange : 1;
    code = std::lround(mm / range * FULL_SCALE) + noise;
  }
  // The zero point is what the program added up from readings; it may be below zero.
  auto zero = static_cast<int16_t>(Word(reg::ZERO_POINT));
  return static_cast<uint16_t>(code - zero);
}

void TSensorModel::Pulse(double mm, uint8_t record[260]) {
  double position = Working[reg::SENSOR_ON] ? Position(mm) : 0.0;
  double pixel = position / 10.0;
  auto centre = static_cast<long>(std::lround(pixel));
  double range = options_.MeasuringRange > 0 ? options_.MeasuringRange : 1.0;
  double u = std::clamp(mm / range, 0.0, 1.0);
  uint16_t maxExposure = static_cast<uint16_t>(std::min(Word(reg::MAX_INTEGRATION) * 10, 65535));
  // Far targets return less light: the exposure control integrates longer for them.
  double amplitude = 0.0;
  uint16_t exposure = maxExposure;
  if (position > 0.0) {
    amplitude = std::min(3800.0, (600.0 + 110.0 * Working[reg::LASER_LEVEL]) * (1.2 - 0.5 * u));
    exposure = static_cast<uint16_t>(std::min<double>(maxExposure, 600.0 + 2000.0 * u * u));
  }
  for (int i = 0; i < PULSE_SAMPLES; ++i) {
    double x = static_cast<double>(centre - PULSE_PEAK_INDEX + i) - pixel;
    double value = 180.0 + amplitude * std::exp(-x * x / (2.0 * 2.5 * 2.5)) + Noise(3.0);
    Put16(record + 2 * i, static_cast<uint16_t>(std::clamp(value, 0.0, 4095.0)));
  }
  Put16(record + 2 * PULSE_SAMPLES, static_cast<uint16_t>(centre));
  Put16(record + 2 * PULSE_SAMPLES + 2, exposure);
}

std::vector<uint16_t> TSensorModel::TablePage(int page) const {
  if (page < 0 || page >= TABLE_PAGES) return {};
  auto first = table_.begin() + page * TABLE_PAGE_WORDS;
  return {first, first + TABLE_PAGE_WORDS};
}

void TSensorModel::SetTablePage(int page, const uint16_t* words) {
  if (page < 0 || page >= TABLE_PAGES) return;
  uint16_t* at = &table_[page * TABLE_PAGE_WORDS];
  for (int i = 0; i < TABLE_PAGE_WORDS; ++i) {
    tableEntries_ += (words[i] != 0) - (at[i] != 0);
    at[i] = words[i];
  }
}

}  // namespace karvo::sim
