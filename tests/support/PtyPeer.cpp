#include "support/PtyPeer.h"

// The kernel's termios2 gives every rate back as a number; <termios.h> must stay out of this
// file, it declares a different struct termios.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace karvo::test {

TPtyPeer::TPtyPeer() : Master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  char name[128] = {};
  if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0 ||
      ptsname_r(Master, name, sizeof name) != 0) {
    ErrorText = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    HangUp();
    return;
  }
  Slave = name;
  // Without a slave descriptor the master reads EIO between the program's close and reopen.
  SlaveKeeper = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

TPtyPeer::~TPtyPeer() {
  Stop = true;
  Finish();
  HangUp();
}

void TPtyPeer::Play(std::vector<TPtyStep> steps) {
  Finish();
  Stop = Completed = false;
  Got.clear();  // no player runs now
  Player = std::thread([this, steps = std::move(steps)] { Run(steps); });
}

bool TPtyPeer::Finish() {
  if (Player.joinable()) Player.join();
  return Completed;
}

void TPtyPeer::Run(const std::vector<TPtyStep>& steps) {
  size_t expected = 0;
  for (const TPtyStep& step : steps) {
    if (!WaitFor(expected += step.Expect, 5000)) return;
    for (size_t i = 0; i < step.Answer.size(); ++i) {
      if (i > 0) WaitFor(SIZE_MAX, step.GapMs);  // takes requests while it waits
      if (Stop || !Write(step.Answer[i])) return;
    }
    if (step.HangUp) HangUp();
  }
  Completed = !Stop;
}

// Reads until `total` bytes came since the last Play; false at the time-out or when stopped.
bool TPtyPeer::WaitFor(size_t total, int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Stop && Received().size() < total) {
    if (std::chrono::steady_clock::now() >= until) return false;
    Pull(1);
  }
  return !Stop;
}

// Reads what is there, waiting at most waitMs for something (all of it once hung up).
void TPtyPeer::Pull(int waitMs) {
  pollfd p{Master, POLLIN, 0};
  uint8_t chunk[4096];
  const ssize_t n = poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN) ? read(p.fd, chunk, 4096) : 0;
  std::lock_guard<std::mutex> guard(Lock);
  if (n > 0) Got.insert(Got.end(), chunk, chunk + n);
}

Bytes TPtyPeer::Received() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Got;
}

bool TPtyPeer::Write(const Bytes& bytes) {
  size_t done = 0;
  for (int tries = 0; done < bytes.size() && !Stop && tries < 5000; ++tries) {
    const ssize_t n = write(Master, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EAGAIN) return false;
    if (n > 0) done += static_cast<size_t>(n);
    if (n <= 0) Pull(1);  // full: the program reads slowly; take its requests meanwhile
  }
  return done == bytes.size();
}

void TPtyPeer::HangUp() {
  for (std::atomic<int>* fd : {&Master, &SlaveKeeper}) {
    if (const int old = fd->exchange(-1); old >= 0) close(old);
  }
}

TPeerLine TPtyPeer::Line() const {
  // On a master, the tty ioctls report the slave's settings.
  termios2 line{};
  if (ioctl(Master, TCGETS2, &line) != 0) return {};
  return {line.c_ospeed, (line.c_cflag & CSTOPB) ? 2 : 1};
}

int TPtyPeer::ExclusiveFlag() const {
  int flag = 0;
  return ioctl(SlaveKeeper, TIOCGEXCL, &flag) == 0 ? (flag != 0) : -1;
}

}  // namespace karvo::test
