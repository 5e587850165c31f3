// Finding a sensor whose baud rate and net address are unknown: identify requests at every
// combination, the likely ones first, each waiting only as long as the line needs for the
// request and its answer instead of the connection's seconds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/Karvointerface.h"

namespace karvo {

// The baud rates the program offers, slowest first.
inline const std::vector<uint32_t> SCAN_BAUD_RATES = {2400,  4800,  9600,   14400,  19200,
                                                      38400, 57600, 115200, 230400, 460800};
constexpr uint8_t SCAN_FIRST_ADDRESS = 1;
constexpr uint8_t SCAN_LAST_ADDRESS = 127;

// What a probe waits beyond the wire time: the sensor's turnaround and the adapter's latency.
constexpr uint32_t SCAN_MARGIN_MS = 20;

struct TScanProbe {
  uint32_t Baud = 0;
  uint8_t Address = 0;
  bool operator==(const TScanProbe&) const = default;
};

struct TFoundSensor {
  uint32_t Baud = 0;
  uint8_t Address = 0;
  IdentityRecord Identity;
};

// Every combination of `bauds` and the addresses 1..127 once: the selected one (even when its
// rate is not in the list), 9600/1 and 115200/1, then the rest a rate at a time (the selected
// rate first, then 9600, 115200 and the others from the fastest down) so that the port
// reopens only when the rate changes.
std::vector<TScanProbe> ScanOrder(uint32_t selectedBaud, uint8_t selectedAddress,
                                  const std::vector<uint32_t>& bauds = SCAN_BAUD_RATES);

// How long one probe waits for the identify answer at `baud`: request and answer (2 + 16
// bytes at 11 bits each) on the wire, rounded up, plus the margin.
uint32_t ProbeTimeoutMs(uint32_t baud, uint32_t marginMs = SCAN_MARGIN_MS);

struct TScanOptions {
  TLinkSettings Port;  // kind and name; the rate comes from each probe
  uint32_t SelectedBaud = 9600;
  uint8_t SelectedAddress = 1;
  std::vector<uint32_t> BaudRates = SCAN_BAUD_RATES;
  bool All = false;  // go on after the first sensor and list every one
  uint32_t MarginMs = SCAN_MARGIN_MS;
};

struct TScanProgress {
  size_t Done = 0;  // probes made before this one
  size_t Total = 0;
  TScanProbe Probe;  // about to be tried
};

struct TScanResult {
  // ST_OK when the scan ran to its end or was cancelled; otherwise the port failed (could
  // not be opened, or a read or write call failed) and the scan stopped there.
  uint32_t Status = ST_OK;
  std::string Reason;  // why the port could not be opened, when known
  std::vector<TFoundSensor> Found;
  size_t Probes = 0;
  bool Cancelled = false;
};

class TSensorScan {
 public:
  explicit TSensorScan(TScanOptions options) : options_(std::move(options)) {}

  // Called before each probe, on the scanning thread.
  std::function<void(const TScanProgress&)> Progress;
  // Called for each sensor found, as soon as it is, on the scanning thread.
  std::function<void(const TFoundSensor&)> Found;

  // Runs the scan on `link` and leaves it closed. One scan per object: a Cancel that came
  // before Run still stops it.
  TScanResult Run(TKARVOInterface& link);

  // From any thread; the probe under way (a few tens of milliseconds) finishes first.
  void Cancel() { cancel_ = true; }
  bool CancelRequested() const { return cancel_; }

  const TScanOptions& Options() const { return options_; }

 private:
  TScanOptions options_;
  std::atomic<bool> cancel_{false};
};

}  // namespace karvo
