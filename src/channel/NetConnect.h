// The TCP connection to a serial device server.
#pragma once

#include <cstdint>
#include <string>

namespace karvo {

// Connects to `host`:`port` (a name, an IPv4 or an IPv6 address), trying each address the
// name has, all within `timeoutMs`. The descriptor, non-blocking and without Nagle's delay
// (requests are a few bytes and wait for their answer), or -1 with the errno and the
// system's reason. `connectNs` is how long the connection took: a round trip.
int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, int& err, std::string& reason,
               int64_t& connectNs);

}  // namespace karvo
