#include "channel/Interface.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "channel/CpuLatency.h"
#include "channel/LineSettings.h"
#include "channel/LineSpeed.h"
#include "channel/Telnet.h"

namespace karvo {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int PollWait(int64_t deadlineMs) {
  const int64_t left = deadlineMs - NowMs();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

constexpr int64_t NS_PER_MS = 1'000'000;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A thread asleep in poll takes tens of microseconds to run again once the last byte of an
// answer is in, a quarter of a short exchange at 460800 baud; on a virtual machine, whose
// scheduler may also move a thread that keeps going to sleep onto the processor of the
// device it talks to, it takes more. So a read waits for its answer awake from 600 us before
// the answer can be complete, the whole of a short exchange at 115200 baud and above, until
// a little after; a late answer is waited for asleep, as before.
constexpr int64_t AWAKE_BEFORE_DUE_NS = 600'000;
constexpr int64_t AWAKE_AFTER_DUE_NS = 200'000;
// From 115200 baud (95 us a byte at 8E1) a processor's wake-up is a noticeable part of an
// exchange; below, the processors may rest as they like.
constexpr int64_t QUICK_WAKE_BYTE_NS = 100'000;

speed_t BaudConstant(uint32_t baud) {
  static const std::pair<uint32_t, speed_t> rates[] = {
      {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
      {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
      {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const auto& [rate, constant] : rates) {
    if (rate == baud) return constant;
  }
  return B0;
}

// Ptys have no modem lines and refuse these; the channel does not care either way.
void SetModemLines(int fd, bool asserted) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)ioctl(fd, asserted ? TIOCMBIS : TIOCMBIC, &lines);
}

// Without this an FTDI adapter holds received bytes for its 16 ms latency timer, longer than
// the 10 ms gap that ends a read call, and answers would arrive cut in two.
void SetLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  (void)ioctl(fd, TIOCSSERIAL, &serial);
}

std::string ReadFirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

}  // namespace

const char* StatusText(uint32_t status) {
  static const std::pair<uint32_t, const char*> texts[] = {
      {ST_OK, "success"},
      {ST_NOT_OPEN, "port not open"},
      {ST_READ_SHORT, "no complete answer within the time-outs"},
      {ST_READ_FAILED, "read failed"},
      {ST_WRITE_SHORT, "not all bytes were written"},
      {ST_WRITE_FAILED, "write failed or wrong acknowledge"},
      {ST_BAD_FRAME, "answer with inconsistent tag bits"},
  };
  for (const auto& [code, text] : texts) {
    if (code == status) return text;
  }
  return "unknown status";
}

std::string PortErrorReason(int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such device";
    case EIO:
      return "the device stopped answering the system (unplugged?)";
    case EACCES:
    case EPERM:
      return "permission denied: join the dialout group (sudo usermod -aG dialout $USER) and "
             "log in again";
    case EBUSY:
    case EWOULDBLOCK:
      return "held by another program";
    case ENOTTY:
      return "not a serial port";
    case ENOTCONN:
      return "the server closed the connection";
    default:
      return std::generic_category().message(err);
  }
}

std::string ComPortDevicePath(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (name.size() == 4 && name.compare(0, 3, "COM") == 0 && name[3] >= '1' && name[3] <= '8') {
    return "/dev/ttyS" + std::string(1, static_cast<char>(name[3] - 1));
  }
  return "";
}

std::string FindUsbSerialDevice(const std::string& sysfsRoot, const std::string& description,
                                const std::string& devRoot) {
  namespace fs = std::filesystem;
  if (description.empty()) return "";
  std::error_code ec;
  const fs::path root = fs::canonical(sysfsRoot, ec);
  if (ec) return "";
  const std::string rootText = root.string();

  std::vector<std::string> ttys;
  for (fs::directory_iterator it(root / "class" / "tty", ec), end; !ec && it != end;
       it.increment(ec)) {
    ttys.push_back(it->path().filename().string());
  }
  // Several matching adapters: the lowest name wins, the same one every time.
  std::sort(ttys.begin(), ttys.end());

  for (const std::string& tty : ttys) {
    fs::path dir = fs::canonical(root / "class" / "tty" / tty / "device", ec);
    if (ec) continue;
    // The first ancestor with a product description is the USB device the tty belongs to;
    // interfaces and usb-serial ports in between have none.
    while (dir.string().size() > rootText.size() &&
           dir.string().compare(0, rootText.size(), rootText) == 0) {
      if (fs::is_regular_file(dir / "product", ec)) {
        if (ReadFirstLine(dir / "product") == description) return devRoot + "/" + tty;
        break;
      }
      dir = dir.parent_path();
    }
  }
  return "";
}

TInterface::TInterface() = default;

TInterface::~TInterface() {
  Close();
}

void TInterface::KeepReason(int err, const std::string& reason) {
  LastErrno = err;
  LastReason = reason;
}

uint32_t TInterface::Fail(uint32_t status, int err) {
  KeepReason(err, PortErrorReason(err));
  Status = status;
  return Status;
}

uint32_t TInterface::FailOpen(int err) {
  Handle = -1;
  IsOpen = false;
  return Fail(ST_NOT_OPEN, err);
}

uint32_t TInterface::Open(const TPortSettings& settings) {
  if (IsOpen) Close();
  Settings = settings;
  LastErrno = 0;
  LastReason.clear();
  ReadCalls = 0;
  LastCount = 0;
  DropGathered();
  outputQueued_ = false;
  requestOnLine_ = 0;
  Notice.clear();

  const bool usb = Settings.PortKind == PORT_USB;
  if (!usb && IsNetPortName(Settings.Name)) return OpenNet();
  const std::string path = usb ? FindUsbSerialDevice(SysfsRoot, Settings.Name, DevRoot)
                               : ComPortDevicePath(Settings.Name);
  if (path.empty()) return FailOpen(ENODEV);

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FailOpen(errno);
  // A path that is not a terminal (a regular file, say) would take the frames as data.
  if (!isatty(fd)) {
    ::close(fd);
    return FailOpen(ENOTTY);
  }
  // flock keeps out root as well, which TIOCEXCL does not.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    return FailOpen(err);
  }
  (void)ioctl(fd, TIOCEXCL);
  Handle = fd;

  // A refused setting does not fail the open, whose status reports the port alone; the reason
  // stays for the failures that follow, the sensor not answering at that rate.
  if (const int err = ApplyLine(Handle, Settings); err != 0) {
    KeepReason(err, "the port refused " + std::to_string(Settings.BaudRate) + " baud or the " +
                        "framing (" + PortErrorReason(err) + ")");
  }
  SetModemLines(Handle, !usb);
  if (usb) SetLowLatency(Handle);
  (void)tcflush(Handle, TCIOFLUSH);

  IsOpen = true;
  Status = ST_OK;
  return Status;
}

bool ComposeLine(termios& line, const TPortSettings& settings) {
  cfmakeraw(&line);
  line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  if (settings.Parity == 1) line.c_cflag |= PARENB | PARODD;
  if (settings.Parity == 2) line.c_cflag |= PARENB;
  // One and a half stop bits has no termios form; two is the nearest a UART can send.
  if (settings.StopBits == 1 || settings.StopBits == 2) line.c_cflag |= CSTOPB;
  line.c_iflag &= ~(IXON | IXOFF | IXANY);
  line.c_cc[VMIN] = 0;
  line.c_cc[VTIME] = 0;
  const speed_t speed = BaudConstant(settings.BaudRate);
  if (speed == B0) return false;
  (void)cfsetispeed(&line, speed);
  (void)cfsetospeed(&line, speed);
  return true;
}

int ApplyLine(int fd, const TPortSettings& settings) {
  termios line{};
  if (tcgetattr(fd, &line) != 0) return errno;
  const bool standardRate = ComposeLine(line, settings);
  const int refused = tcsetattr(fd, TCSANOW, &line) != 0 ? errno : 0;
  // Rate 0 would hang the line up; it keeps the speed the port had.
  if (!standardRate && settings.BaudRate != 0 && !SetArbitraryBaud(fd, settings.BaudRate)) {
    return errno != 0 ? errno : EINVAL;
  }
  // What counts is what the port has now: tcsetattr succeeds when any part of the request
  // was taken, and fails on a pseudo-terminal that dropped nothing but the parity bit.
  termios taken{};
  if (tcgetattr(fd, &taken) != 0) return errno;
  const bool held = (taken.c_cflag & CSTOPB) == (line.c_cflag & CSTOPB) &&
                    (!standardRate || cfgetospeed(&taken) == cfgetospeed(&line));
  if (held) return 0;
  return refused != 0 ? refused : EINVAL;
}

uint32_t TInterface::Close() {
  if (net_) {
    CloseNet();
  } else if (IsOpen && Handle >= 0) {
    (void)ioctl(Handle, TIOCSBRK);
    // The exclusive flag belongs to the tty and would outlive this descriptor.
    (void)ioctl(Handle, TIOCNXCL);
    ::close(Handle);
  }
  Handle = -1;
  IsOpen = false;
  DropGathered();
  Status = ST_OK;
  return Status;
}

int64_t TInterface::ByteNs() const {
  const int64_t bits = 1 + 8 + (Settings.Parity != 0 ? 1 : 0) + (Settings.StopBits != 0 ? 2 : 1);
  return bits * 1'000'000'000LL / std::max<uint32_t>(Settings.BaudRate, 300);
}

void TInterface::KeepQuickAtHighRates() const {
  if (ByteNs() <= QUICK_WAKE_BYTE_NS) KeepProcessorsResponsive();
}

int TInterface::ReadCall(uint8_t* buffer, uint32_t length, uint32_t& received,
                         int64_t answerDueNs) {
  received = std::min(length, gatheredEnd_ - gatheredHead_);
  std::copy_n(gathered_ + gatheredHead_, received, buffer);
  gatheredHead_ += received;
  const int64_t interval = Settings.ReadInterval * NS_PER_MS;
  const int64_t total = NowNs() + interval * length + Settings.ReadTotal * NS_PER_MS;
  int64_t lastByte = received > 0 ? NowNs() : 0;
  const int64_t awakeFrom = answerDueNs - AWAKE_BEFORE_DUE_NS;
  int64_t awakeUntil = answerDueNs > 0 ? answerDueNs + AWAKE_AFTER_DUE_NS : 0;
  while (received < length) {
    int64_t deadline = total;
    if (received > 0 && interval > 0) deadline = std::min(deadline, lastByte + interval);
    const int64_t now = NowNs();
    short events = 0;
    if (now >= awakeFrom && now < std::min(awakeUntil, deadline)) {
      // FIONREAD only counts: poll and read would wait, asleep, for the kernel's tty worker
      // whenever it is still passing bytes on.
      int queued = 0;
      if (ioctl(Handle, FIONREAD, &queued) != 0) {
        awakeUntil = 0;  // a hung-up port: poll tells how
        continue;
      }
      if (queued == 0) {
        sched_yield();  // the tty worker may be waiting for this processor
        continue;
      }
      events = POLLIN;
    } else {
      const int64_t until =
          now < awakeFrom && now < awakeUntil ? std::min(awakeFrom, deadline) : deadline;
      const int64_t left = std::max<int64_t>(0, until - now);
      const timespec wait{static_cast<time_t>(left / 1'000'000'000), left % 1'000'000'000};
      pollfd port{Handle, POLLIN, 0};
      const int ready = ppoll(&port, 1, &wait, nullptr);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (ready == 0) {
        // The wait ran to its deadline; a zero wait was the last look.
        if (left == 0 && until == deadline) break;
        continue;
      }
      if (port.revents & POLLNVAL) return EBADF;
      if (port.revents & POLLERR) return EIO;
      events = port.revents;
    }
    if (events & POLLIN) {
      const ssize_t got = ::read(Handle, buffer + received, length - received);
      if (got > 0) {
        received += static_cast<uint32_t>(got);
        lastByte = NowNs();
        continue;
      }
      // Readable yet nothing to read: the device is gone (an unplugged adapter).
      if (got == 0) return EIO;
      if (errno == EINTR) continue;
      if (errno == EAGAIN && !(events & POLLHUP)) continue;
      return errno == EAGAIN ? EIO : errno;
    }
    if (events & POLLHUP) return EIO;
  }
  return 0;
}

uint32_t TInterface::Read(TTransfer& transfer) {
  ReadCalls = 0;
  LastCount = 0;
  if (!IsOpen) {
    Status = ST_NOT_OPEN;
    return Status;
  }
  if (transfer.Buffer == nullptr && transfer.Length > 0) {
    Status = ST_READ_FAILED;
    return Status;
  }
  KeepQuickAtHighRates();
  // COM gives a late answer two more chances; one USB read call already waits for all.
  uint32_t calls = Settings.PortKind == PORT_USB ? 1 : 3;
  if (Settings.ReadAttempts > 0) calls = Settings.ReadAttempts;
  // The answer cannot be complete before its bytes have followed the request on the line.
  const int64_t answerDue =
      requestOnLine_ > 0 ? std::max(NowNs(), requestOnLine_) + transfer.Length * ByteNs() : 0;
  requestOnLine_ = 0;
  Status = ST_READ_SHORT;
  while (ReadCalls < calls) {
    ++ReadCalls;
    uint32_t got = 0;
    const int err = net_
                        ? NetReadCall(transfer.Buffer + LastCount, transfer.Length - LastCount, got)
                        : ReadCall(transfer.Buffer + LastCount, transfer.Length - LastCount, got,
                                   ReadCalls == 1 ? answerDue : 0);
    LastCount += got;
    if (err != 0) {
      Fail(ST_READ_FAILED, err);
      break;
    }
    if (LastCount == transfer.Length) {
      Status = ST_OK;
      break;
    }
  }
  return Status;
}

uint32_t TInterface::Gather() {
  if (!IsOpen) return 0;
  if (gatheredHead_ > 0) {
    std::copy(gathered_ + gatheredHead_, gathered_ + gatheredEnd_, gathered_);
    gatheredEnd_ -= gatheredHead_;
    gatheredHead_ = 0;
  }
  // Failures and hang-ups are left to the Read that follows, which reports them.
  if (net_) {
    (void)PullNet();
  } else if (gatheredEnd_ < sizeof gathered_) {
    const ssize_t got = ::read(Handle, gathered_ + gatheredEnd_, sizeof gathered_ - gatheredEnd_);
    if (got > 0) gatheredEnd_ += static_cast<uint32_t>(got);
  }
  return gatheredEnd_;
}

bool TInterface::WaitUntilSent(int64_t deadlineMs) {
  const int64_t baud = std::max<uint32_t>(Settings.BaudRate, 300);
  int queued = 0;
  while (ioctl(Handle, TIOCOUTQ, &queued) == 0 && queued > 0) {
    if (NowMs() >= deadlineMs) return false;
    // About as long as the line needs for what is left (12 bits a byte at most): a flat
    // millisecond would cost a two-byte request at 460800 baud seven times its wire time.
    const int64_t us = std::max<int64_t>(50, queued * 12'000'000LL / baud);
    std::this_thread::sleep_for(std::chrono::microseconds(std::min<int64_t>(us, 1000)));
  }
  return true;
}

uint32_t TInterface::Write(TTransfer& transfer) {
  if (!IsOpen) {
    Status = ST_NOT_OPEN;
    return Status;
  }
  if (transfer.Buffer == nullptr && transfer.Length > 0) {
    Status = ST_WRITE_FAILED;
    return Status;
  }
  KeepQuickAtHighRates();
  if (net_) return NetWrite(transfer);
  // Output is dropped only while the driver still holds some, the rest of a request that
  // did not get out in time; a Write that saw its request out leaves none. A pty reports
  // none: what it took is already with the peer, and its output flush would throw away the
  // previous request before the peer has read it.
  DropGathered();
  requestOnLine_ = 0;
  const int64_t began = NowNs();
  (void)tcflush(Handle, TCIFLUSH);
  int unsent = 0;
  if (outputQueued_ && ioctl(Handle, TIOCOUTQ, &unsent) == 0 && unsent > 0) {
    (void)tcflush(Handle, TCOFLUSH);
  }
  outputQueued_ = true;

  // No flow control, so the line takes the bytes at its own rate: twice the time they need
  // on the wire (12 bits a byte at most) and a second to spare bound every wait here.
  const uint64_t baud = std::max<uint32_t>(Settings.BaudRate, 300);
  const int64_t deadline = NowMs() + 1000 + static_cast<int64_t>(transfer.Length * 24000ull / baud);

  const uint8_t* next = transfer.Buffer;
  uint32_t left = transfer.Length;
  while (left > 0) {
    const ssize_t put = ::write(Handle, next, left);
    if (put > 0) {
      next += put;
      left -= static_cast<uint32_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN) return Fail(ST_WRITE_FAILED, errno);
    const int wait = PollWait(deadline);
    if (wait == 0) break;
    pollfd port{Handle, POLLOUT, 0};
    const int ready = poll(&port, 1, wait);
    if (ready < 0 && errno != EINTR) return Fail(ST_WRITE_FAILED, errno);
    if (ready > 0 && (port.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      return Fail(ST_WRITE_FAILED, (port.revents & POLLNVAL) ? EBADF : EIO);
    }
  }
  if (left > 0) {
    Status = ST_WRITE_SHORT;
    return Status;
  }
  // The answer's read time-outs must count from the end of the request, not from the moment
  // the driver took it: a table page takes seconds on the wire at low rates.
  outputQueued_ = !WaitUntilSent(deadline);
  // The driver's queue empties before the UART's own buffer does, and a pseudo-terminal
  // takes everything at once: the request has not left before its bytes' line time.
  requestOnLine_ = std::max(NowNs(), began + transfer.Length * ByteNs());
  Status = ST_OK;
  return Status;
}

void TInterface::Drain(int quietMs, int limitMs) {
  if (!IsOpen || Handle < 0) return;
  const int64_t deadline = NowMs() + limitMs;
  while (NowMs() < deadline) {
    pollfd p{Handle, POLLIN, 0};
    const int ready = poll(&p, 1, std::min(quietMs, PollWait(deadline)));
    if (ready <= 0 || (p.revents & POLLIN) == 0) break;
    if (net_) {
      DropGathered();
      if (PullNet() != 0) break;
    } else {
      uint8_t scratch[256];
      if (::read(Handle, scratch, sizeof scratch) <= 0) break;
    }
  }
  DropGathered();
  if (!net_) (void)tcflush(Handle, TCIOFLUSH);
}

}  // namespace karvo
