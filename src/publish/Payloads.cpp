#include "publish/Payloads.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "measure/RunModes.h"
#include "params/ParamGrid.h"

namespace karvo::publish {

namespace {

// Keys in the order documented for subscribers, not sorted.
using Json = nlohmann::ordered_json;

double Rounded(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

std::string UnitName(uint32_t runMode) {
  const std::string unit = ModeDisplay(runMode).Unit;
  return unit.substr(unit.find_first_not_of(' '));
}

}  // namespace

std::string Topic(const std::string& prefix, uint16_t serialNumber, std::string_view leaf) {
  return prefix + '/' + std::to_string(serialNumber) + '/' + std::string(leaf);
}

std::string IdentityPayload(const TSensorIdentity& identity) {
  Json json;
  json["serial_number"] = identity.SerialNumber;
  json["device_type"] = identity.DeviceType;
  json["release"] = identity.Release;
  json["base_distance"] = identity.BaseDistance;
  json["measuring_range"] = identity.MeasuringRange;
  // Port names come from the command line and may hold any bytes; invalid UTF-8 is replaced
  // rather than refused.
  json["port"] = identity.Port;
  json["address"] = identity.Address;
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string StatusPayload(std::string_view state, uint64_t dropped) {
  Json json;
  json["state"] = state;
  json["dropped"] = dropped;
  return json.dump();
}

std::string ValuesPayload(const TSensorIdentity& identity, uint32_t runMode, const TBatch& batch) {
  const int decimals = ModeDisplay(runMode).Decimals;
  Json values = Json::array();
  for (float v : batch.Values) values.push_back(Rounded(v, decimals));
  Json json;
  json["serial_number"] = identity.SerialNumber;
  json["address"] = identity.Address;
  json["unit"] = UnitName(runMode);
  json["mode"] = RunModeName(runMode);
  json["seq"] = batch.Seq;
  json["time"] = Rounded(batch.Time, 6);
  json["period_s"] = Rounded(batch.Period, 6);
  json["values"] = std::move(values);
  return json.dump();
}

}  // namespace karvo::publish
