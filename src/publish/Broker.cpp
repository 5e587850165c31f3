#include "publish/Broker.h"

#include <algorithm>

namespace karvo::publish {

bool ParseBrokerUrl(const std::string& url, TBrokerAddress& address, std::string& problem) {
  TBrokerAddress parsed;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    parsed.Tls = true;
    parsed.Port = 8883;
  } else {
    problem = "the broker must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    return false;
  }
  // A trailing slash is what people paste from browsers; nothing may follow it.
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  std::string portText;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      problem = "unclosed '[' in the broker address";
      return false;
    }
    parsed.Host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && after.front() != ':') {
      problem = "unexpected text after the broker host";
      return false;
    }
    if (!after.empty()) portText = after.substr(1);
    if (after == ":") portText = "-";
  } else {
    const size_t colon = rest.find(':');
    parsed.Host = rest.substr(0, colon);
    if (colon != std::string::npos)
      portText = colon + 1 < rest.size() ? rest.substr(colon + 1) : "-";
  }
  if (parsed.Host.empty() || parsed.Host.find_first_of("/@?# ") != std::string::npos) {
    problem = "no usable host in the broker address '" + url + "'";
    return false;
  }
  if (!portText.empty()) {
    const bool digits =
        portText.size() <= 5 &&
        std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; });
    const long port = digits ? std::stol(portText) : 0;
    if (port < 1 || port > 65535) {
      problem = "the broker port must be 1 to 65535";
      return false;
    }
    parsed.Port = static_cast<uint16_t>(port);
  }
  address = parsed;
  return true;
}

double TReconnectDelay::Next() {
  const double delay = next_;
  next_ = std::min(next_ * 2, MAX_S);
  return delay;
}

}  // namespace karvo::publish
