// A station's sensors measured and published: the sensors on one line are identified, then
// polled (or one streams) while each sensor's client delivers its samples to the broker.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/Result.h"
#include "device/Sensor.h"
#include "publish/BrokerClient.h"

namespace karvo::publish {

struct TPublishSettings {
  device::SensorSettings Line;     // port and baud rate; the address is taken from Addresses
  std::vector<uint8_t> Addresses;  // the sensors on the line, at least one
  bool Stream = false;             // one sensor streams instead of being polled
  uint32_t EveryMs = 100;          // polling pace
  uint64_t Count = 0;              // samples to deliver per sensor; 0: until cancelled
  double BufferSeconds = 60;       // of samples kept per sensor while the broker is away
  TClientSettings Client;
  const device::CancelToken* Cancel = nullptr;
  std::function<void(const std::string&)> Report;  // one line of news for the operator
};

enum class TPublishEnd {
  Counted,       // every sensor's count delivered
  Cancelled,     // stopped by the cancel token, after the goodbye
  NoPort,        // the line cannot be opened
  SensorFailed,  // a sensor did not identify at the start
  Refused,       // the broker refuses the connection for good
  Setup,         // the client library refused the settings
};

struct TPublishOutcome {
  TPublishEnd End = TPublishEnd::Counted;
  std::string Message;  // for every end but Counted and Cancelled
};

// A sensor that misses this many polls in a row, or has missed them for LOST_AFTER_S (one
// exchange that timed out with its retries), is reported lost, and then tried every
// LOST_RETRY_S seconds.
inline constexpr int LOST_AFTER_FAILURES = 3;
inline constexpr double LOST_AFTER_S = 1.0;
inline constexpr double LOST_RETRY_S = 2.0;
// What a stop may take to deliver what was measured before it.
inline constexpr double STOP_GRACE_S = 2.0;

// The spacing of streamed samples: the sensor's sampling period, but never below its 100 us
// floor nor below the four bytes of 11 bits each a sample takes on the line.
double StreamPeriod(uint32_t samplingPeriodUs, uint32_t baud);

TPublishOutcome RunPublisher(const TPublishSettings& settings);

}  // namespace karvo::publish
