// The port channel over the network: a raw TCP stream (tcp://, socket://) or Telnet with the
// COM-PORT-OPTION (rfc2217://) to a serial device server. Reads and writes keep the serial
// time-outs and statuses; the network adds its round trip to them.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "channel/Interface.h"
#include "channel/NetConnect.h"
#include "channel/Telnet.h"

namespace karvo {

namespace {

constexpr int64_t NS_PER_MS = 1'000'000;
constexpr int CONNECT_TIMEOUT_MS = 3000;
// How long the server may take to open its serial port and confirm the line settings.
constexpr int64_t SETTINGS_WAIT_NS = 2000 * NS_PER_MS;
// Added to each read call's total time-out: four round trips and a device server's pause
// before it passes received bytes on (ser2net waits up to 20 ms by default). Bounded so that
// a silent sensor still fails well within twice its serial time-out.
constexpr int64_t MIN_ALLOWANCE_NS = 100 * NS_PER_MS;
constexpr int64_t MAX_ALLOWANCE_NS = 500 * NS_PER_MS;
// Long enough for a server that refuses the session to hang up, short against an exchange.
constexpr int64_t SETTLE_NS = 30 * NS_PER_MS;
constexpr int64_t RECONNECT_PAUSE_NS = 50 * NS_PER_MS;
// A server passes an answer on in segments; a gap between two is no end of the answer.
constexpr int64_t SEGMENT_GAP_NS = 50 * NS_PER_MS;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

timespec Span(int64_t ns) {
  ns = std::max<int64_t>(0, ns);
  return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

void QuickAck(int fd) {
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

uint8_t ParityCode(uint8_t parity) {
  switch (parity) {
    case 1:
      return telnet::PARITY_ODD;
    case 2:
      return telnet::PARITY_EVEN;
    default:
      return telnet::PARITY_NONE;
  }
}

uint8_t StopCode(uint8_t stopBits) {
  switch (stopBits) {
    case 1:
      return telnet::STOP_ONE_AND_HALF;
    case 2:
      return telnet::STOP_TWO;
    default:
      return telnet::STOP_ONE;
  }
}

}  // namespace

uint32_t TInterface::TakeGathered(uint8_t* buffer, uint32_t length) {
  const uint32_t n = std::min(length, gatheredEnd_ - gatheredHead_);
  std::copy_n(gathered_ + gatheredHead_, n, buffer);
  gatheredHead_ += n;
  return n;
}

uint32_t TInterface::OpenNet() {
  TNetAddress address;
  std::string why;
  if (!ParseNetPortName(Settings.Name, address, why)) {
    FailOpen(EINVAL);
    LastReason = why;
    return Status;
  }
  // A server still closing the previous session on its serial port (every change of baud
  // rate reconnects) accepts and then hangs up at once: that is tried again, not reported.
  const int64_t deadline = NowNs() + CONNECT_TIMEOUT_MS * NS_PER_MS;
  for (;;) {
    std::string reason;
    const int err = ConnectNet(address, deadline, reason);
    if (err == 0) break;
    const bool hungUp = err == ENOTCONN || err == ECONNRESET || err == EPIPE;
    if (!hungUp || NowNs() + RECONNECT_PAUSE_NS >= deadline) {
      FailOpen(err);
      LastReason = reason.empty() ? PortErrorReason(err) : reason;
      return Status;
    }
    std::this_thread::sleep_for(std::chrono::nanoseconds(RECONNECT_PAUSE_NS));
  }
  Status = ST_OK;
  return Status;
}

int TInterface::ConnectNet(const TNetAddress& address, int64_t deadlineNs, std::string& reason) {
  int err = 0;
  int64_t connectNs = 0;
  const int timeoutMs = static_cast<int>(std::max<int64_t>(1, (deadlineNs - NowNs()) / NS_PER_MS));
  const int fd = ConnectTcp(address.Host, address.Port, timeoutMs, err, reason, connectNs);
  if (fd < 0) return err;
  Handle = fd;
  net_ = true;
  IsOpen = true;
  QuickAck(Handle);
  netAllowanceNs_ =
      std::clamp(MIN_ALLOWANCE_NS + 4 * connectNs, MIN_ALLOWANCE_NS, MAX_ALLOWANCE_NS);
  const std::string baud = std::to_string(Settings.BaudRate) + " baud";

  if (address.Kind == TNetKind::Raw) {
    pollfd p{Handle, POLLRDHUP, 0};
    const timespec settle = Span(SETTLE_NS);
    if (ppoll(&p, 1, &settle, nullptr) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      CloseNet();
      IsOpen = false;
      return ENOTCONN;
    }
    Notice = "a tcp:// port cannot set the line: the server's settings hold, and " + baud +
             " only paces the time-outs";
    return 0;
  }

  telnet_ = std::make_unique<TTelnetCodec>();
  std::vector<uint8_t> out = telnet_->Start();
  auto add = [&out](const std::vector<uint8_t>& command) {
    out.insert(out.end(), command.begin(), command.end());
  };
  add(TTelnetCodec::SetBaud(Settings.BaudRate));
  add(TTelnetCodec::ComPortCommand(telnet::CPO_SET_DATASIZE, {8}));
  add(TTelnetCodec::ComPortCommand(telnet::CPO_SET_PARITY, {ParityCode(Settings.Parity)}));
  add(TTelnetCodec::ComPortCommand(telnet::CPO_SET_STOPSIZE, {StopCode(Settings.StopBits)}));
  add(TTelnetCodec::ComPortCommand(telnet::CPO_SET_CONTROL, {telnet::CONTROL_NO_FLOW}));
  const int64_t settingsDeadline = std::min(deadlineNs, NowNs() + SETTINGS_WAIT_NS);
  err = SendNet(out, settingsDeadline);
  if (err == 0) err = AwaitLineSettings(settingsDeadline);
  if (err != 0) {
    CloseNet();
    IsOpen = false;
    return err;
  }
  DropGathered();
  if (telnet_->ComPortRefused()) {
    Notice = "the server refused to set the line (RFC 2217): its settings hold, and " + baud +
             " only paces the time-outs";
  } else if (telnet_->BaudReplies() == 0) {
    Notice = "the server did not confirm " + baud;
  } else if (telnet_->ServerBaud() != Settings.BaudRate) {
    Notice = "the server set " + std::to_string(telnet_->ServerBaud()) + " baud, not " + baud;
  }
  return 0;
}

int TInterface::AwaitLineSettings(int64_t deadlineNs) {
  while (telnet_->BaudReplies() == 0 && !telnet_->ComPortRefused()) {
    const int64_t left = deadlineNs - NowNs();
    if (left <= 0) return 0;
    pollfd p{Handle, POLLIN, 0};
    const timespec wait = Span(left);
    const int ready = ppoll(&p, 1, &wait, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return errno;
    if (ready == 0) continue;
    DropGathered();
    if (const int err = PullNet(); err != 0) return err;
  }
  return 0;
}

void TInterface::CloseNet() {
  if (Handle >= 0) ::close(Handle);
  Handle = -1;
  net_ = false;
  telnet_.reset();
}

int TInterface::SendNet(const std::vector<uint8_t>& bytes, int64_t deadlineNs) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    // No SIGPIPE: a closed connection is a write failure with its reason, not the end of the
    // program.
    const ssize_t put =
        ::send(Handle, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) {
      sent += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    const int64_t left = deadlineNs - NowNs();
    if (left <= 0) return ETIMEDOUT;
    pollfd p{Handle, POLLOUT, 0};
    const timespec wait = Span(left);
    if (ppoll(&p, 1, &wait, nullptr) < 0 && errno != EINTR) return errno;
  }
  return 0;
}

int TInterface::PullNet(size_t* rawCount) {
  if (rawCount != nullptr) *rawCount = 0;
  if (gatheredHead_ > 0) {
    std::copy(gathered_ + gatheredHead_, gathered_ + gatheredEnd_, gathered_);
    gatheredEnd_ -= gatheredHead_;
    gatheredHead_ = 0;
  }
  const size_t room = sizeof gathered_ - gatheredEnd_;
  if (room == 0) return 0;
  // Decoding never makes data longer, so what fits raw fits decoded.
  uint8_t raw[sizeof gathered_];
  const ssize_t got = ::recv(Handle, raw, room, MSG_DONTWAIT);
  if (got == 0) return ENOTCONN;
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : errno;
  if (rawCount != nullptr) *rawCount = static_cast<size_t>(got);
  // A server that sends an answer in several small segments (as the bytes come off its serial
  // line) has all but the first held back by Nagle's algorithm until we acknowledge; the
  // kernel's delayed acknowledgement would add 40 ms to every exchange. Quick mode does not
  // last, so it is set again after each receive.
  QuickAck(Handle);
  if (!telnet_) {
    std::copy_n(raw, got, gathered_ + gatheredEnd_);
    gatheredEnd_ += static_cast<uint32_t>(got);
    return 0;
  }
  std::vector<uint8_t> reply;
  gatheredEnd_ += static_cast<uint32_t>(
      telnet_->Feed(raw, static_cast<size_t>(got), gathered_ + gatheredEnd_, reply));
  if (!reply.empty()) return SendNet(reply, NowNs() + 1000 * NS_PER_MS);
  return 0;
}

int TInterface::NetReadCall(uint8_t* buffer, uint32_t length, uint32_t& received) {
  received = TakeGathered(buffer, length);
  const int64_t interval = Settings.ReadInterval * NS_PER_MS + SEGMENT_GAP_NS;
  const int64_t total = NowNs() + int64_t{Settings.ReadInterval} * length * NS_PER_MS +
                        Settings.ReadTotal * NS_PER_MS + netAllowanceNs_;
  int64_t lastByte = received > 0 ? NowNs() : 0;
  // Asleep until the bytes come: waiting awake, as a tty read does near its answer, only took
  // the processor from the server and the sensor that the answer waits for.
  while (received < length) {
    int64_t deadline = total;
    if (received > 0 && Settings.ReadInterval > 0) {
      deadline = std::min(deadline, lastByte + interval);
    }
    const int64_t left = deadline - NowNs();
    if (left <= 0) break;
    pollfd p{Handle, POLLIN, 0};
    const timespec wait = Span(left);
    const int ready = ppoll(&p, 1, &wait, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) continue;
    if (p.revents & POLLNVAL) return EBADF;
    if (const int err = PullNet(); err != 0) return err;
    const uint32_t got = TakeGathered(buffer + received, length - received);
    if (got > 0) {
      received += got;
      lastByte = NowNs();
    }
  }
  return 0;
}

uint32_t TInterface::NetWrite(const TTransfer& transfer) {
  // What arrived since the last answer is stale, and taking it is how a connection the server
  // closed meanwhile shows before the request is lost.
  // Bounded: a sensor still streaming never leaves the socket empty for long.
  for (int round = 0; round < 16; ++round) {
    DropGathered();
    size_t raw = 0;
    if (const int err = PullNet(&raw); err != 0) return Fail(ST_WRITE_FAILED, err);
    if (raw == 0) break;
  }
  DropGathered();
  std::vector<uint8_t> out;
  if (telnet_) {
    // Only the server's receive side: its transmit side may still hold a request that
    // expects no answer.
    out = TTelnetCodec::ComPortCommand(telnet::CPO_PURGE_DATA, {telnet::PURGE_RECEIVE});
    TTelnetCodec::Escape(transfer.Buffer, transfer.Length, out);
  } else {
    out.assign(transfer.Buffer, transfer.Buffer + transfer.Length);
  }
  const uint64_t baud = std::max<uint32_t>(Settings.BaudRate, 300);
  const int64_t deadline =
      NowNs() + netAllowanceNs_ +
      (1000 + static_cast<int64_t>(transfer.Length * 24000ull / baud)) * NS_PER_MS;
  const int err = SendNet(out, deadline);
  if (err == ETIMEDOUT) {
    Status = ST_WRITE_SHORT;
    return Status;
  }
  if (err != 0) return Fail(ST_WRITE_FAILED, err);
  Status = ST_OK;
  return Status;
}

}  // namespace karvo
