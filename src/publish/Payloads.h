// What a station puts on the broker: topics and JSON documents. Subscribers in the plant
// parse these, so their keys, key order and number forms stay as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace karvo::publish {

struct TSensorIdentity {
  uint16_t SerialNumber = 0;
  uint8_t DeviceType = 0;
  uint8_t Release = 0;
  int16_t BaseDistance = 0;    // mm
  int16_t MeasuringRange = 0;  // mm
  std::string Port;
  uint8_t Address = 1;
};

// The states a sensor's status topic takes.
inline constexpr std::string_view STATE_ONLINE = "online";
inline constexpr std::string_view STATE_OFFLINE = "offline";
inline constexpr std::string_view STATE_LOST = "sensor lost";

// Consecutive samples of one sensor, `Period` seconds apart from `Time` (Unix seconds).
struct TBatch {
  uint64_t Seq = 0;  // of the first value
  double Time = 0;
  double Period = 0;
  std::vector<float> Values;
};

// PREFIX/SERIAL/LEAF
std::string Topic(const std::string& prefix, uint16_t serialNumber, std::string_view leaf);

std::string IdentityPayload(const TSensorIdentity& identity);
std::string StatusPayload(std::string_view state, uint64_t dropped);
// Values rounded to the decimals the display shows in `runMode`, the time to microseconds.
std::string ValuesPayload(const TSensorIdentity& identity, uint32_t runMode, const TBatch& batch);

}  // namespace karvo::publish
