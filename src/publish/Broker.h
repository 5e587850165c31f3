// Where the broker is and how often to try it again.
#pragma once

#include <cstdint>
#include <string>

namespace karvo::publish {

struct TBrokerAddress {
  std::string Host;
  uint16_t Port = 1883;
  bool Tls = false;
};

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); an IPv6 host in brackets. False
// with `problem` set when the text is not such an address.
bool ParseBrokerUrl(const std::string& url, TBrokerAddress& address, std::string& problem);

// The pause before the next connection attempt: 0.1 s after the first failure, doubling up
// to 5 s, and back to 0.1 s once a connection has been made.
class TReconnectDelay {
 public:
  static constexpr double FIRST_S = 0.1;
  static constexpr double MAX_S = 5.0;

  double Next();
  void Reset() { next_ = FIRST_S; }

 private:
  double next_ = FIRST_S;
};

}  // namespace karvo::publish
