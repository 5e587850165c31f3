// Telnet with the COM-PORT-OPTION (RFC 2217), as far as a serial device server needs it:
// data bytes with 0xFF doubled, option negotiation answered without ever reaching the data,
// and the line-setting subnegotiations and their replies. No I/O here: the channel feeds it
// what the socket gave and sends what it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace karvo {

namespace telnet {
constexpr uint8_t IAC = 255;
constexpr uint8_t DONT = 254;
constexpr uint8_t DO = 253;
constexpr uint8_t WONT = 252;
constexpr uint8_t WILL = 251;
constexpr uint8_t SB = 250;
constexpr uint8_t SE = 240;

constexpr uint8_t OPT_BINARY = 0;
constexpr uint8_t OPT_ECHO = 1;
constexpr uint8_t OPT_SGA = 3;
constexpr uint8_t OPT_COM_PORT = 44;

// COM-PORT-OPTION commands, client to server; the server answers with the same plus 100.
constexpr uint8_t CPO_SET_BAUDRATE = 1;
constexpr uint8_t CPO_SET_DATASIZE = 2;
constexpr uint8_t CPO_SET_PARITY = 3;
constexpr uint8_t CPO_SET_STOPSIZE = 4;
constexpr uint8_t CPO_SET_CONTROL = 5;
constexpr uint8_t CPO_PURGE_DATA = 12;
constexpr uint8_t CPO_SERVER_OFFSET = 100;

constexpr uint8_t PARITY_NONE = 1;
constexpr uint8_t PARITY_ODD = 2;
constexpr uint8_t PARITY_EVEN = 3;
constexpr uint8_t STOP_ONE = 1;
constexpr uint8_t STOP_TWO = 2;
constexpr uint8_t STOP_ONE_AND_HALF = 3;
constexpr uint8_t CONTROL_NO_FLOW = 1;
constexpr uint8_t PURGE_RECEIVE = 1;
}  // namespace telnet

class TTelnetCodec {
 public:
  // What the client says first: it will do the COM-PORT-OPTION and binary both ways (a
  // sensor's bytes include CR, which plain Telnet would pad or translate).
  std::vector<uint8_t> Start();

  // Appends `data` with every 0xFF doubled.
  static void Escape(const uint8_t* data, size_t length, std::vector<uint8_t>& out);

  // One COM-PORT-OPTION subnegotiation with its value escaped.
  static std::vector<uint8_t> ComPortCommand(uint8_t command, const std::vector<uint8_t>& value);
  static std::vector<uint8_t> SetBaud(uint32_t baud);

  // Takes bytes from the server, in pieces cut anywhere. Data bytes go to `data` (room for
  // `length` bytes is enough), answers the server must get go to `reply`; returns the number
  // of data bytes.
  size_t Feed(const uint8_t* raw, size_t length, uint8_t* data, std::vector<uint8_t>& reply);

  // The server agreed to, or refused, the COM-PORT-OPTION.
  bool ComPortAccepted() const { return comPortAccepted_; }
  bool ComPortRefused() const { return comPortRefused_; }
  // Replies to SET-BAUDRATE so far, and the rate the last one reported.
  uint32_t BaudReplies() const { return baudReplies_; }
  uint32_t ServerBaud() const { return serverBaud_; }

 private:
  enum class State : uint8_t { Data, Iac, Verb, SubOption, SubData, SubIac };
  void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply);
  void Subnegotiation();

  State state_ = State::Data;
  uint8_t verb_ = 0;
  uint8_t subOption_ = 0;
  std::vector<uint8_t> sub_;
  bool local_[256] = {};   // options this side does
  bool remote_[256] = {};  // options the server does
  bool comPortAccepted_ = false;
  bool comPortRefused_ = false;
  uint32_t baudReplies_ = 0;
  uint32_t serverBaud_ = 0;
};

}  // namespace karvo
