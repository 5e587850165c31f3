// The program's side of a line to a simulated sensor, done by hand with termios, so that the
// simulator can be tested before and apart from the program's own channel and link.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace karvo::sim::test {

inline int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

inline speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    default:
      return B0;
  }
}

inline std::vector<uint8_t> Request(uint8_t address, uint8_t command,
                                    const std::vector<uint8_t>& payload = {}) {
  std::vector<uint8_t> frame = {static_cast<uint8_t>(address & 0x7F),
                                static_cast<uint8_t>((command & 0x0F) | 0x80)};
  for (uint8_t b : payload) {
    frame.push_back(static_cast<uint8_t>((b & 0x0F) | 0x80));
    frame.push_back(static_cast<uint8_t>((b >> 4) | 0x80));
  }
  return frame;
}

// True when all bytes carry the same bits 4..6.
inline bool TagsUniform(const std::vector<uint8_t>& wire) {
  for (uint8_t b : wire)
    if ((b & 0x70) != (wire.at(0) & 0x70)) return false;
  return true;
}

inline std::vector<uint8_t> Decode(const std::vector<uint8_t>& wire) {
  std::vector<uint8_t> data;
  for (size_t i = 0; i + 1 < wire.size(); i += 2)
    data.push_back(static_cast<uint8_t>((wire[i] & 0x0F) | ((wire[i + 1] & 0x0F) << 4)));
  return data;
}

class TRawPort {
 public:
  // parity: 'N', 'E' or 'O'.
  TRawPort(const std::string& path, uint32_t baud, char parity = 'E') {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0) Configure(baud, parity);
  }
  ~TRawPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  TRawPort(const TRawPort&) = delete;
  TRawPort& operator=(const TRawPort&) = delete;

  bool Ok() const { return fd_ >= 0 && configured_; }
  int Fd() const { return fd_; }

  void Configure(uint32_t baud, char parity, tcflag_t size = CS8) {
    termios t{};
    configured_ = tcgetattr(fd_, &t) == 0;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= size | CLOCAL | CREAD;
    if (parity != 'N') t.c_cflag |= PARENB;
    if (parity == 'O') t.c_cflag |= PARODD;
    cfsetspeed(&t, SpeedOf(baud));
    // glibc reports EINVAL when a pseudo-terminal drops a requested bit (it always drops
    // PARENB) and nothing else changed; what counts is that the rate took.
    tcsetattr(fd_, TCSANOW, &t);
    termios now{};
    configured_ = configured_ && tcgetattr(fd_, &now) == 0 && cfgetospeed(&now) == SpeedOf(baud);
  }

  // As the program writes a request: stale input is discarded first. Output is not flushed:
  // on a pseudo-terminal that drops the previous request if the sensor has not read it yet.
  void Send(const std::vector<uint8_t>& frame) {
    tcflush(fd_, TCIFLUSH);
    size_t done = 0;
    while (done < frame.size()) {
      ssize_t n = ::write(fd_, frame.data() + done, frame.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return;
      if (n < 0) WaitFor(POLLOUT, 10);
    }
  }

  // Whatever arrives until `n` bytes are in or `timeoutMs` has passed.
  std::vector<uint8_t> Read(size_t n, int timeoutMs) {
    std::vector<uint8_t> bytes;
    int64_t end = MonotonicMs() + timeoutMs;
    while (bytes.size() < n) {
      int64_t left = end - MonotonicMs();
      if (left <= 0 || !WaitFor(POLLIN, static_cast<int>(left))) break;
      uint8_t buffer[4096];
      ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, n - bytes.size()));
      if (got <= 0) {
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        break;
      }
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

  // Bytes grouped into pieces: a new piece begins after a silence longer than `gapMs`.
  std::vector<std::vector<uint8_t>> ReadPieces(size_t n, int gapMs, int timeoutMs) {
    std::vector<std::vector<uint8_t>> pieces;
    size_t total = 0;
    int64_t end = MonotonicMs() + timeoutMs;
    int64_t last = -1;
    while (total < n) {
      int64_t left = end - MonotonicMs();
      if (left <= 0 || !WaitFor(POLLIN, static_cast<int>(left))) break;
      uint8_t buffer[4096];
      ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, n - total));
      if (got <= 0) continue;
      int64_t now = MonotonicMs();
      if (last < 0 || now - last > gapMs) pieces.emplace_back();
      pieces.back().insert(pieces.back().end(), buffer, buffer + got);
      total += static_cast<size_t>(got);
      last = now;
    }
    return pieces;
  }

  // One request and its answer of `m` data bytes (2m on the wire); nullopt when it is
  // incomplete within the time-out.
  std::optional<std::vector<uint8_t>> Exchange(const std::vector<uint8_t>& frame, size_t m,
                                               int timeoutMs = 500) {
    Send(frame);
    std::vector<uint8_t> wire = Read(2 * m, timeoutMs);
    lastWire_ = wire;
    if (wire.size() != 2 * m) return std::nullopt;
    return wire;
  }
  const std::vector<uint8_t>& LastWire() const { return lastWire_; }

  bool WaitFor(short events, int timeoutMs) {
    pollfd p{fd_, events, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & events);
  }

 private:
  int fd_ = -1;
  bool configured_ = false;
  std::vector<uint8_t> lastWire_;
};

}  // namespace karvo::sim::test
