#include "channel/NetConnect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace karvo {

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// 0 once connected, else the errno; ETIMEDOUT when `deadlineNs` passed first.
int ConnectOne(int fd, const addrinfo& address, int64_t deadlineNs) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  for (;;) {
    const int64_t left = deadlineNs - NowNs();
    if (left <= 0) return ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::max<int64_t>(1, left / 1'000'000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return errno;
    if (ready == 0) continue;
    int soError = 0;
    socklen_t size = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0) return errno;
    return soError;
  }
}

}  // namespace

int ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, int& err, std::string& reason,
               int64_t& connectNs) {
  const std::string where =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int gai = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (gai != 0) {
    err = gai == EAI_SYSTEM ? errno : EHOSTUNREACH;
    reason = "cannot find host " + host + ": " + gai_strerror(gai);
    return -1;
  }
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1'000'000;
  err = EHOSTUNREACH;
  int fd = -1;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      err = errno;
      continue;
    }
    const int64_t began = NowNs();
    err = ConnectOne(fd, *a, deadline);
    if (err == 0) {
      connectNs = NowNs() - began;
      break;
    }
    ::close(fd);
    fd = -1;
    if (err == ETIMEDOUT) break;
  }
  freeaddrinfo(found);
  if (fd < 0) {
    reason =
        "cannot connect to " + where + ": " +
        (err == ETIMEDOUT ? "no answer within " + std::to_string((timeoutMs + 999) / 1000) + " s"
                          : std::string(std::strerror(err)));
    return -1;
  }
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace karvo
