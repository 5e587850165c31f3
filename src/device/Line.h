// One serial line that several sensors share, each at its own net address, as on RS-485.
// The sensors take turns: every exchange holds the line, and an operation made of several
// exchanges that must not be cut (a table load) holds it throughout. A stream owns the line
// while it runs; the other sensors' requests are refused meanwhile instead of breaking into
// its samples.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "device/Result.h"
#include "protocol/Karvointerface.h"

namespace karvo::device {

struct SensorSettings;

class Line {
 public:
  Line();
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Opens (or reopens) the port at the settings' port and rate; the address is the sensors'.
  Result Open(const SensorSettings& settings);
  void Close();
  bool IsOpen() const;
  // The port and rate the line was last opened at.
  const std::string& Port() const { return port_; }
  uint32_t Baud() const { return baud_; }

  // Whoever talks on the link holds this; it may be taken again by the same thread.
  std::unique_lock<std::recursive_mutex> Hold() { return std::unique_lock(lock_); }
  TKARVOInterface& Link() { return *link_; }

  // The address whose stream owns the line now, if any. Set and read under Hold().
  std::optional<uint8_t> StreamingAddress() const { return streaming_; }
  void SetStreamingAddress(std::optional<uint8_t> address) { streaming_ = address; }

 private:
  std::recursive_mutex lock_;
  std::unique_ptr<TKARVOInterface> link_;
  std::string port_;
  uint32_t baud_ = 0;
  std::optional<uint8_t> streaming_;
};

}  // namespace karvo::device
