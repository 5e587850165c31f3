// The port channel: one serial port (a COM port, a USB serial adapter found by its product
// description, or a serial device server's port reached over TCP) that opens, configures,
// reads, writes and closes. Every operation returns a status code and keeps it in Status;
// nothing throws for an I/O failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel/PortName.h"

namespace karvo {

class TTelnetCodec;

constexpr uint32_t ST_OK = 0;
constexpr uint32_t ST_NOT_OPEN = 2;
constexpr uint32_t ST_READ_SHORT = 3;
constexpr uint32_t ST_READ_FAILED = 4;
constexpr uint32_t ST_WRITE_SHORT = 5;
constexpr uint32_t ST_WRITE_FAILED = 6;
constexpr uint32_t ST_BAD_FRAME = 8;

// One-line meaning of a status code, for the command line and logs.
const char* StatusText(uint32_t status);

constexpr uint8_t PORT_COM = 0;
constexpr uint8_t PORT_USB = 1;

// Product description of the USB adapter the program opens for the "USB" port item.
inline constexpr const char* USB_ADAPTER_DESCRIPTION = "D2XX Recovery PID for XP";

struct TPortSettings {
  uint8_t PortKind = PORT_COM;
  // "COM1".."COM8", a device path, tcp://, socket:// or rfc2217://HOST:PORT, or the USB
  // description
  std::string Name;
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even
  uint32_t BaudRate = 9600;
  uint32_t Attributes = 0x80;
  uint32_t InQueue = 0;  // kept for the record: termios has no queue sizes
  uint32_t OutQueue = 0;
  uint32_t ReadInterval = 10;  // ms: gap between bytes, and per-byte part of the total
  uint32_t ReadTotal = 1000;   // ms: constant part of the total read time-out
  // Read calls a Read may make before it gives up; 0 keeps the kind's own (three on COM, one
  // on USB). A scan's probes make one: a silent combination must cost one time-out only.
  uint8_t ReadAttempts = 0;
};

struct TTransfer {
  uint8_t* Buffer = nullptr;
  uint32_t Length = 0;
  void* Overlapped = nullptr;  // always null; kept so the descriptor reads as documented
};

// Device path for a COM-kind port name: "COM1".."COM8" are /dev/ttyS0../dev/ttyS7, a name
// beginning with '/' is used as it is; anything else gives "".
std::string ComPortDevicePath(const std::string& name);

// The tty device (/dev/<tty>) of the USB serial adapter whose USB product description equals
// `description`, looked up under `sysfsRoot` (normally "/sys"); "" when there is none.
std::string FindUsbSerialDevice(const std::string& sysfsRoot, const std::string& description,
                                const std::string& devRoot = "/dev");

class TInterface {
 public:
  TInterface();
  ~TInterface();
  TInterface(const TInterface&) = delete;
  TInterface& operator=(const TInterface&) = delete;

  uint32_t Open(const TPortSettings& settings);
  uint32_t Close();
  uint32_t Read(TTransfer& transfer);
  uint32_t Write(TTransfer& transfer);

  // Takes what the driver already holds into the channel's own buffer, without waiting, and
  // returns the bytes the next Read gets at once. A fast stream read one sample at a time
  // costs a system call or two a sample; gathered first, one a batch. Open, Close and Write
  // discard this buffer with the driver's.
  uint32_t Gather();

  // Reads and drops what keeps arriving until the line has been quiet for `quietMs`, at most
  // for `limitMs`, then discards both directions: what a stream still had on its way.
  void Drain(int quietMs, int limitMs);

  // True while the port is a connection to a serial device server.
  bool IsNetwork() const { return net_; }

  bool IsOpen = false;
  int Handle = -1;  // the tty's or the socket's descriptor; -1 when closed
  uint32_t Status = ST_OK;
  TPortSettings Settings;

  // Why the last open, line setting, read or write failed, in the system's words, and the
  // errno behind it; cleared by Open only, so that a refused line setting is still known
  // when the sensor then does not answer. Time-outs have no system reason and leave it.
  int LastErrno = 0;
  std::string LastReason;

  // A line setting the last Open asked for and the port could not make (a tcp:// port keeps
  // the server's settings; a server that refused or changed the rate), for the caller to
  // say; empty when the port took everything.
  std::string Notice;

  // Diagnostics of the last Read: read calls made (1..3) and bytes that arrived.
  uint32_t ReadCalls = 0;
  uint32_t LastCount = 0;

  // Where the USB kind looks for adapters; tests point these at a fake tree.
  std::string SysfsRoot = "/sys";
  std::string DevRoot = "/dev";

 private:
  uint32_t FailOpen(int err);
  uint32_t Fail(uint32_t status, int err);
  void KeepReason(int err, const std::string& reason);
  // One read call bounded by the interval and total time-outs; 0, or the errno that ended it.
  // With `answerDueNs` (monotonic), when the answer can be complete at the earliest, it waits
  // awake around that moment.
  int ReadCall(uint8_t* buffer, uint32_t length, uint32_t& received, int64_t answerDueNs);
  // A byte's time on the line at the port's rate and framing.
  int64_t ByteNs() const;
  // Marks an exchange for the processors' wake-up request where the rate makes it matter.
  void KeepQuickAtHighRates() const;
  // Waits until the driver has sent what it holds, at most until `deadlineMs` (monotonic);
  // false when some is still queued.
  bool WaitUntilSent(int64_t deadlineMs);
  void DropGathered() { gatheredHead_ = gatheredEnd_ = 0; }
  uint32_t TakeGathered(uint8_t* buffer, uint32_t length);

  // The network transports.
  uint32_t OpenNet();
  // One connection and its line settings, by `deadlineNs`; 0, or the errno with the reason.
  int ConnectNet(const TNetAddress& address, int64_t deadlineNs, std::string& reason);
  void CloseNet();
  int NetReadCall(uint8_t* buffer, uint32_t length, uint32_t& received);
  uint32_t NetWrite(const TTransfer& transfer);
  // Receives what the socket holds into the gathered buffer, Telnet taken out; 0, or the
  // errno that ended the connection (ENOTCONN when the server closed it).
  int PullNet(size_t* rawCount = nullptr);
  // Sends all of `bytes` by `deadlineNs`; 0, ETIMEDOUT, or the errno of the failure.
  int SendNet(const std::vector<uint8_t>& bytes, int64_t deadlineNs);
  // Waits for the server to confirm the line settings, at most until `deadlineNs`; 0, or the
  // errno that ended the connection.
  int AwaitLineSettings(int64_t deadlineNs);

  // What Gather took and no Read has yet: gathered_[gatheredHead_, gatheredEnd_).
  uint8_t gathered_[4096] = {};
  uint32_t gatheredHead_ = 0;
  uint32_t gatheredEnd_ = 0;
  // The last Write returned with part of its request still in the driver.
  bool outputQueued_ = false;
  // When the last request has left in full (monotonic ns); 0 once its answer has been read.
  int64_t requestOnLine_ = 0;

  bool net_ = false;
  std::unique_ptr<TTelnetCodec> telnet_;  // null on a raw TCP port
  // What the network adds to every read's time-outs: the round trip and a server's pause
  // before it passes bytes on.
  int64_t netAllowanceNs_ = 0;
};

// The one place an errno becomes words for the operator, with a hint where they can act
// ("permission denied: join the dialout group", "held by another program", ...).
std::string PortErrorReason(int err);

}  // namespace karvo
