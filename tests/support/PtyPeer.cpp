#include "support/PtyPeer.h"

// The kernel's termios2 gives free baud rates back as numbers; <termios.h> must stay out
// of this file, it declares a different struct termios.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace karvo::test {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t BaudOf(const termios2& line) {
  switch (line.c_cflag & CBAUD) {
    case BOTHER:
      return line.c_ospeed;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    case B460800:
      return 460800;
    case B921600:
      return 921600;
    default:
      return line.c_ospeed;
  }
}

}  // namespace

TPtyPeer::TPtyPeer() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128] = {};
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0) {
    ErrorText = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    if (master >= 0) close(master);
    return;
  }
  Master = master;
  Slave = name;
  // Without a slave descriptor the master reads EIO between the program's close and reopen.
  SlaveKeeper = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

TPtyPeer::~TPtyPeer() {
  Stop = true;
  if (Player.joinable()) Player.join();
  HangUp();
}

void TPtyPeer::Play(std::vector<TPtyStep> steps) {
  Finish();
  Stop = false;
  Completed = false;
  Player = std::thread([this, steps = std::move(steps)]() mutable { Run(std::move(steps)); });
}

bool TPtyPeer::Finish() {
  if (Player.joinable()) Player.join();
  return Completed;
}

void TPtyPeer::Run(std::vector<TPtyStep> steps) {
  size_t expected = Received().size();
  for (const TPtyStep& step : steps) {
    expected += step.Expect;
    if (!WaitFor(expected, StepTimeoutMs)) return;
    Sleep(step.DelayMs);
    for (size_t i = 0; i < step.Answer.size() && !Stop; ++i) {
      if (i > 0) Sleep(step.GapMs);
      if (!Write(step.Answer[i])) return;
    }
    if (step.HangUp) HangUp();
    if (Stop) return;
  }
  Completed = true;
}

void TPtyPeer::Sleep(int ms) {
  const int64_t until = NowMs() + ms;
  while (!Stop && NowMs() < until) Pull(static_cast<int>(std::min<int64_t>(until - NowMs(), 5)));
}

// Reads what is there (waiting at most waitMs for something) into Got.
size_t TPtyPeer::Pull(int waitMs) {
  const int master = Master;
  if (master < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(waitMs, 0)));
    return 0;
  }
  pollfd p{master, POLLIN, 0};
  if (poll(&p, 1, std::max(waitMs, 0)) <= 0 || !(p.revents & POLLIN)) {
    if (p.revents & (POLLHUP | POLLERR)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
  }
  uint8_t chunk[4096];
  const ssize_t n = read(master, chunk, sizeof chunk);
  if (n <= 0) return 0;
  std::lock_guard<std::mutex> guard(Lock);
  Got.insert(Got.end(), chunk, chunk + n);
  return static_cast<size_t>(n);
}

bool TPtyPeer::WaitFor(size_t total, int timeoutMs) {
  const int64_t until = NowMs() + timeoutMs;
  while (!Stop && Received().size() < total) {
    const int64_t left = until - NowMs();
    if (left <= 0) return false;
    Pull(static_cast<int>(std::min<int64_t>(left, 5)));
  }
  return !Stop;
}

Bytes TPtyPeer::Received() const {
  std::lock_guard<std::mutex> guard(Lock);
  return Got;
}

void TPtyPeer::ClearReceived() {
  std::lock_guard<std::mutex> guard(Lock);
  Got.clear();
}

bool TPtyPeer::Write(const Bytes& bytes) {
  size_t done = 0;
  const int64_t until = NowMs() + 5000;
  while (done < bytes.size()) {
    const int master = Master;
    if (master < 0) return false;
    const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (NowMs() > until || Stop) return false;
    // Full: the program reads slowly; keep taking its requests meanwhile.
    Pull(1);
  }
  return true;
}

Bytes TPtyPeer::Read(size_t count, int timeoutMs) {
  const size_t start = Received().size();
  WaitFor(start + count, timeoutMs);
  Bytes all = Received();
  return Bytes(all.begin() + static_cast<long>(start),
               all.begin() + static_cast<long>(std::min(all.size(), start + count)));
}

Bytes TPtyPeer::Drain(int quietMs) {
  const size_t start = Received().size();
  int64_t quietUntil = NowMs() + quietMs;
  while (NowMs() < quietUntil) {
    if (Pull(static_cast<int>(std::max<int64_t>(quietUntil - NowMs(), 0))) > 0) {
      quietUntil = NowMs() + quietMs;
    }
  }
  Bytes all = Received();
  return Bytes(all.begin() + static_cast<long>(start), all.end());
}

void TPtyPeer::HangUp() {
  const int master = Master.exchange(-1);
  const int keeper = SlaveKeeper.exchange(-1);
  if (master >= 0) close(master);
  if (keeper >= 0) close(keeper);
}

TPtyLine TPtyPeer::Line() const {
  TPtyLine out;
  termios2 line{};
  // On a master, the tty ioctls report the slave's settings.
  const int master = Master;
  if (master < 0 || ioctl(master, TCGETS2, &line) != 0) return out;
  out.Baud = BaudOf(line);
  out.StopBits = (line.c_cflag & CSTOPB) ? 2 : 1;
  out.Raw = !(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(line.c_oflag & OPOST) &&
            !(line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP));
  out.Local = line.c_cflag & CLOCAL;
  out.Receiver = line.c_cflag & CREAD;
  out.HardwareFlow = line.c_cflag & CRTSCTS;
  out.SoftwareFlow = line.c_iflag & (IXON | IXOFF);
  out.VMin = line.c_cc[VMIN];
  out.VTime = line.c_cc[VTIME];
  return out;
}

int TPtyPeer::ExclusiveFlag() const {
  int flag = 0;
  if (SlaveKeeper < 0 || ioctl(SlaveKeeper, TIOCGEXCL, &flag) != 0) return -1;
  return flag ? 1 : 0;
}

}  // namespace karvo::test
