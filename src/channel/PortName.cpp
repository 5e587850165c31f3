#include "channel/PortName.h"

#include <charconv>

namespace karvo {

namespace {

constexpr const char* SCHEME_END = "://";

bool ValidHostName(const std::string& host) {
  if (host.empty() || host.size() > 253) return false;
  for (const char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Hex digits, colons and dots, then perhaps '%' and the zone (an interface name).
bool ValidIpv6(const std::string& host) {
  const size_t zone = host.find('%');
  const std::string address = host.substr(0, zone);
  if (address.find(':') == std::string::npos) return false;
  for (const char c : address) {
    const bool ok = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') ||
                    c == ':' || c == '.';
    if (!ok) return false;
  }
  return zone == std::string::npos || ValidHostName(host.substr(zone + 1));
}

}  // namespace

bool IsNetPortName(const std::string& name) {
  const size_t end = name.find(SCHEME_END);
  return end != std::string::npos && end > 0 && name[0] != '/';
}

bool ParseNetPortName(const std::string& name, TNetAddress& address, std::string& why) {
  const size_t end = name.find(SCHEME_END);
  if (end == std::string::npos || end == 0) {
    why = "'" + name + "' is not a network port (tcp://HOST:PORT or rfc2217://HOST:PORT)";
    return false;
  }
  const std::string scheme = name.substr(0, end);
  if (scheme == "tcp" || scheme == "socket") {
    address.Kind = TNetKind::Raw;
  } else if (scheme == "rfc2217") {
    address.Kind = TNetKind::Rfc2217;
  } else {
    why = "unknown port scheme '" + scheme + "://' (tcp://, socket:// or rfc2217://)";
    return false;
  }
  std::string rest = name.substr(end + 3);
  // A trailing slash is what a copied URL often has; anything further is not a port.
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const std::string form = scheme + "://HOST:PORT";

  std::string host;
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      why = "'" + name + "': '[' without ']' around the IPv6 address";
      return false;
    }
    host = rest.substr(1, close - 1);
    if (!ValidIpv6(host)) {
      why = "'" + name + "': '" + host + "' in brackets is not an IPv6 address";
      return false;
    }
    const std::string after = rest.substr(close + 1);
    if (after.empty()) {
      why = "'" + name + "' has no port (" + form + ")";
      return false;
    }
    if (after[0] != ':') {
      why = "'" + name + "': ':PORT' must follow ']'";
      return false;
    }
    port = after.substr(1);
  } else {
    if (rest.find(']') != std::string::npos) {
      why = "'" + name + "': ']' without '['";
      return false;
    }
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos) {
      why = "'" + name + "' has no port (" + form + ")";
      return false;
    }
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.find(':') != std::string::npos) {
      why = "'" + name + "': an IPv6 address goes in brackets ([::1]:PORT)";
      return false;
    }
    if (!ValidHostName(host)) {
      why = "'" + name + "': '" + host + "' is not a host name or address";
      return false;
    }
  }
  if (port.empty()) {
    why = "'" + name + "' has no port (" + form + ")";
    return false;
  }
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (ec == std::errc::result_out_of_range ||
      (ec == std::errc() && ptr == port.data() + port.size() && value > 65535)) {
    why = "'" + name + "': port " + port + " is above 65535";
    return false;
  }
  if (ec != std::errc() || ptr != port.data() + port.size()) {
    why = "'" + name + "': port '" + port + "' is not a number";
    return false;
  }
  if (value == 0) {
    why = "'" + name + "': port 0 cannot be connected to";
    return false;
  }
  address.Host = host;
  address.Port = static_cast<uint16_t>(value);
  return true;
}

bool CheckPortName(const std::string& name, std::string& why) {
  if (name == "USB" || (!name.empty() && name[0] == '/')) return true;
  if (name.size() == 4 && name.compare(0, 3, "COM") == 0 && name[3] >= '1' && name[3] <= '8') {
    return true;
  }
  if (IsNetPortName(name)) {
    TNetAddress address;
    return ParseNetPortName(name, address, why);
  }
  why = "'" + name +
        "' is not a port: COM1..COM8, USB, a device path, tcp://HOST:PORT or "
        "rfc2217://HOST:PORT";
  return false;
}

}  // namespace karvo
