#include "channel/Telnet.h"

namespace karvo {

using namespace telnet;

namespace {

// A subnegotiation longer than any we understand is junk; keep no more of it.
constexpr size_t MAX_SUBNEGOTIATION = 64;

bool LocalSupported(uint8_t option) {
  return option == OPT_BINARY || option == OPT_SGA || option == OPT_COM_PORT;
}

// Echo above all is refused: the server would send our requests back as answers.
bool RemoteSupported(uint8_t option) {
  return option == OPT_BINARY || option == OPT_SGA;
}

}  // namespace

std::vector<uint8_t> TTelnetCodec::Start() {
  local_[OPT_COM_PORT] = local_[OPT_BINARY] = true;
  remote_[OPT_BINARY] = remote_[OPT_SGA] = true;
  return {IAC, WILL, OPT_COM_PORT, IAC, WILL, OPT_BINARY, IAC, DO, OPT_BINARY, IAC, DO, OPT_SGA};
}

void TTelnetCodec::Escape(const uint8_t* data, size_t length, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < length; ++i) {
    out.push_back(data[i]);
    if (data[i] == IAC) out.push_back(IAC);
  }
}

std::vector<uint8_t> TTelnetCodec::ComPortCommand(uint8_t command,
                                                  const std::vector<uint8_t>& value) {
  std::vector<uint8_t> out{IAC, SB, OPT_COM_PORT, command};
  Escape(value.data(), value.size(), out);
  out.push_back(IAC);
  out.push_back(SE);
  return out;
}

std::vector<uint8_t> TTelnetCodec::SetBaud(uint32_t baud) {
  return ComPortCommand(CPO_SET_BAUDRATE,
                        {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                         static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
}

void TTelnetCodec::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& reply) {
  // An answer only where the state changes, so that two sides never loop on each other.
  auto say = [&](uint8_t v) { reply.insert(reply.end(), {IAC, v, option}); };
  switch (verb) {
    case DO:
      if (!LocalSupported(option)) {
        say(WONT);
      } else if (!local_[option]) {
        local_[option] = true;
        say(WILL);
      }
      if (option == OPT_COM_PORT) comPortAccepted_ = true;
      break;
    case DONT:
      if (local_[option]) {
        local_[option] = false;
        say(WONT);
      }
      if (option == OPT_COM_PORT) comPortRefused_ = true;
      break;
    case WILL:
      if (!RemoteSupported(option)) {
        say(DONT);
      } else if (!remote_[option]) {
        remote_[option] = true;
        say(DO);
      }
      break;
    case WONT:
      if (remote_[option]) {
        remote_[option] = false;
        say(DONT);
      }
      break;
    default:
      break;
  }
}

void TTelnetCodec::Subnegotiation() {
  if (subOption_ != OPT_COM_PORT || sub_.empty()) return;
  if (sub_[0] == CPO_SET_BAUDRATE + CPO_SERVER_OFFSET && sub_.size() >= 5) {
    serverBaud_ = uint32_t{sub_[1]} << 24 | uint32_t{sub_[2]} << 16 | uint32_t{sub_[3]} << 8 |
                  uint32_t{sub_[4]};
    ++baudReplies_;
  }
}

size_t TTelnetCodec::Feed(const uint8_t* raw, size_t length, uint8_t* data,
                          std::vector<uint8_t>& reply) {
  size_t count = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = raw[i];
    switch (state_) {
      case State::Data:
        if (b == IAC) {
          state_ = State::Iac;
        } else {
          data[count++] = b;
        }
        break;
      case State::Iac:
        if (b == IAC) {
          data[count++] = IAC;
          state_ = State::Data;
        } else if (b >= WILL && b <= DONT) {
          verb_ = b;
          state_ = State::Verb;
        } else if (b == SB) {
          state_ = State::SubOption;
        } else {
          state_ = State::Data;  // NOP, GA, AYT and the like carry nothing for us
        }
        break;
      case State::Verb:
        Negotiate(verb_, b, reply);
        state_ = State::Data;
        break;
      case State::SubOption:
        subOption_ = b;
        sub_.clear();
        state_ = State::SubData;
        break;
      case State::SubData:
        if (b == IAC) {
          state_ = State::SubIac;
        } else if (sub_.size() < MAX_SUBNEGOTIATION) {
          sub_.push_back(b);
        }
        break;
      case State::SubIac:
        if (b == IAC) {
          if (sub_.size() < MAX_SUBNEGOTIATION) sub_.push_back(IAC);
          state_ = State::SubData;
        } else {
          // SE ends it; anything else is a broken sequence, ended here all the same.
          Subnegotiation();
          state_ = State::Data;
        }
        break;
    }
  }
  return count;
}

}  // namespace karvo
