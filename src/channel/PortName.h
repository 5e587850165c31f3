// Port names: the local kinds ("COM1".."COM8", "USB", a device path) and the network kinds
// that reach a serial device server ("tcp://HOST:PORT", "socket://HOST:PORT",
// "rfc2217://HOST:PORT").
#pragma once

#include <cstdint>
#include <string>

namespace karvo {

enum class TNetKind : uint8_t { Raw, Rfc2217 };

struct TNetAddress {
  TNetKind Kind = TNetKind::Raw;
  std::string Host;  // a name or an address, IPv6 without its brackets
  uint16_t Port = 0;
};

// True when `name` has a scheme ("xyz://..."), whether or not it is one we know.
bool IsNetPortName(const std::string& name);

// Splits a network port name; false with the why ("tcp://host has no port", ...) when it is
// malformed or its scheme unknown.
bool ParseNetPortName(const std::string& name, TNetAddress& address, std::string& why);

// Whether `name` can name a port at all: COM1..COM8, USB, a path beginning with '/', or a
// well-formed network name. False with the why, for a usage error before anything is opened.
bool CheckPortName(const std::string& name, std::string& why);

}  // namespace karvo
