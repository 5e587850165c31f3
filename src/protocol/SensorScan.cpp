#include "protocol/SensorScan.h"

#include <algorithm>
#include <functional>
#include <set>
#include <utility>

namespace karvo {

namespace {

constexpr uint64_t IDENTIFY_WIRE_BITS = (2 + 16) * 11;

bool Contains(const std::vector<uint32_t>& bauds, uint32_t baud) {
  return std::find(bauds.begin(), bauds.end(), baud) != bauds.end();
}

// Failures of the port itself; an unanswered or garbled probe is no reason to stop.
bool PortFailed(uint32_t status) {
  return status == ST_NOT_OPEN || status == ST_READ_FAILED || status == ST_WRITE_SHORT ||
         status == ST_WRITE_FAILED;
}

bool SameIdentity(const IdentityRecord& a, const IdentityRecord& b) {
  return a.DeviceType == b.DeviceType && a.Release == b.Release &&
         a.SerialNumber == b.SerialNumber && a.BaseDistance == b.BaseDistance &&
         a.MeasuringRange == b.MeasuringRange;
}

}  // namespace

std::vector<TScanProbe> ScanOrder(uint32_t selectedBaud, uint8_t selectedAddress,
                                  const std::vector<uint32_t>& bauds) {
  std::vector<TScanProbe> order;
  std::set<std::pair<uint32_t, uint8_t>> seen;
  auto add = [&](uint32_t baud, uint8_t address) {
    if (address < SCAN_FIRST_ADDRESS || address > SCAN_LAST_ADDRESS) return;
    if (seen.insert({baud, address}).second) order.push_back({baud, address});
  };
  add(selectedBaud, selectedAddress);
  for (uint32_t common : {9600u, 115200u}) {
    if (Contains(bauds, common)) add(common, 1);
  }

  std::vector<uint32_t> rates;
  for (uint32_t baud : {selectedBaud, 9600u, 115200u}) {
    if (Contains(bauds, baud) && !Contains(rates, baud)) rates.push_back(baud);
  }
  // The rest fastest first: a probe there costs least, so more combinations are tried early.
  std::vector<uint32_t> rest;
  for (uint32_t baud : bauds) {
    if (!Contains(rates, baud) && !Contains(rest, baud)) rest.push_back(baud);
  }
  std::sort(rest.begin(), rest.end(), std::greater<>());
  rates.insert(rates.end(), rest.begin(), rest.end());
  for (uint32_t baud : rates) {
    // An operator who knew the address but not the rate finds the sensor a rate at a time.
    add(baud, selectedAddress);
    for (int address = SCAN_FIRST_ADDRESS; address <= SCAN_LAST_ADDRESS; ++address) {
      add(baud, static_cast<uint8_t>(address));
    }
  }
  return order;
}

uint32_t ProbeTimeoutMs(uint32_t baud, uint32_t marginMs) {
  const uint64_t rate = std::max<uint32_t>(baud, 1);
  return static_cast<uint32_t>((IDENTIFY_WIRE_BITS * 1000 + rate - 1) / rate) + marginMs;
}

TScanResult TSensorScan::Run(TKARVOInterface& link) {
  TScanResult result;
  const std::vector<TScanProbe> order =
      ScanOrder(options_.SelectedBaud, options_.SelectedAddress, options_.BaudRates);
  uint32_t openBaud = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const TScanProbe probe = order[i];
    if (!cancel_ && Progress) Progress(TScanProgress{i, order.size(), probe});
    if (cancel_) {
      result.Cancelled = true;
      break;
    }

    if (!link.IsOpen() || openBaud != probe.Baud) {
      TLinkSettings settings = options_.Port;
      settings.BaudRate = probe.Baud;
      if (link.Open(settings) != ST_OK) {
        result.Status = link.Status;
        result.Reason = link.Port.LastReason;
        break;
      }
      openBaud = probe.Baud;
    }
    const uint32_t timeout = ProbeTimeoutMs(probe.Baud, options_.MarginMs);
    link.SetReadTimeouts(0, timeout, 1);

    ++result.Probes;
    IdentityRecord identity;
    const uint32_t status = link.Identify(probe.Address, identity);
    if (PortFailed(status)) {
      result.Status = status;
      break;
    }
    if (status != ST_OK) continue;

    // An answer that came late to the previous probe can land in this one's read and name the
    // wrong address; asked again, only a sensor that is really here answers the same.
    link.SetReadTimeouts(0, 2 * timeout + 50, 1);
    IdentityRecord again;
    const uint32_t confirm = link.Identify(probe.Address, again);
    if (PortFailed(confirm)) {
      result.Status = confirm;
      break;
    }
    if (confirm != ST_OK || !SameIdentity(identity, again)) continue;

    TFoundSensor found{probe.Baud, probe.Address, identity};
    result.Found.push_back(found);
    if (Found) Found(found);
    if (!options_.All) break;
  }
  link.Close();
  return result;
}

}  // namespace karvo
