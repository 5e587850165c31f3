#include "sim/PtyLine.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace karvo::sim {
namespace {

// The kernel's termios2, which carries the rate as a number: glibc's <termios.h> and the
// kernel's <asm/termbits.h> cannot both be included, so the layout is repeated here.
struct TKernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};

constexpr unsigned long GET_TERMIOS2 = _IOR('T', 0x2A, TKernelTermios2);
constexpr unsigned long SET_TERMIOS2 = _IOW('T', 0x2B, TKernelTermios2);
constexpr tcflag_t RATE_AS_NUMBER = 0010000;  // BOTHER

std::string Reason(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

TPtyLine::~TPtyLine() {
  Close();
}

bool TPtyLine::Open(uint32_t baud, std::string* error) {
  Close();
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    if (error) *error = Reason("posix_openpt");
    return false;
  }
  char name[128] = {};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    if (error) *error = Reason("pseudo-terminal set-up");
    ::close(master);
    return false;
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    if (error) *error = Reason(name);
    ::close(master);
    return false;
  }
  // Raw from the start: the default cooked slave would echo every answer back to the master.
  if (!Configure(slave, baud, 2)) {
    if (error) *error = Reason("configuring the slave");
    ::close(slave);
    ::close(master);
    return false;
  }
  int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  // Packet mode: the slave's flushes show up on the master at once, without waiting for the
  // kernel to pass the data on, which tells when the program began to write a request.
  int packet = 1;
  ioctl(master, TIOCPKT, &packet);
  master_ = master;
  slave_ = slave;
  path_ = name;
  return true;
}

void TPtyLine::Close() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
}

ssize_t TPtyLine::Read(uint8_t* buffer, size_t size, bool& flushed) const {
  flushed = false;
  uint8_t packet[4097];
  ssize_t n = ::read(master_, packet, std::min(size + 1, sizeof packet));
  if (n <= 0) return n;
  if (packet[0] != TIOCPKT_DATA) {
    flushed = (packet[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0;
    return 0;
  }
  std::memcpy(buffer, packet + 1, static_cast<size_t>(n - 1));
  return n - 1;
}

bool TPtyLine::ReadSettings(TLineSettings& settings) const {
  // On a master, the termios requests act on the slave.
  TKernelTermios2 t{};
  if (master_ < 0 || ioctl(master_, GET_TERMIOS2, &t) != 0) return false;
  settings.Baud = t.c_ospeed;
  settings.OddParity = (t.c_cflag & PARODD) != 0;
  settings.StickParity = (t.c_cflag & CMSPAR) != 0;
  settings.TwoStopBits = (t.c_cflag & CSTOPB) != 0;
  return true;
}

bool TPtyLine::Configure(int fd, uint32_t baud, int parity) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  if (parity == 1) t.c_cflag |= PARENB | PARODD;
  if (parity == 2) t.c_cflag |= PARENB;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  // A pseudo-terminal drops PARENB, and glibc then calls the request failed when nothing else
  // changed; the rest has been applied all the same.
  tcsetattr(fd, TCSANOW, &t);
  TKernelTermios2 t2{};
  if (ioctl(fd, GET_TERMIOS2, &t2) != 0) return false;
  t2.c_cflag = (t2.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | RATE_AS_NUMBER;
  t2.c_ispeed = baud;
  t2.c_ospeed = baud;
  return ioctl(fd, SET_TERMIOS2, &t2) == 0;
}

}  // namespace karvo::sim
