// The sensor link: request/answer exchanges in the sensor's nibble-coded frame format over
// one port channel, and one operation per sensor command. Every operation stores the
// address first, returns the status and leaves it in Status.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "channel/Interface.h"

namespace karvo {

struct TLinkSettings {
  uint32_t PortKind = PORT_COM;  // only the low byte is used
  std::string Name;
  uint32_t BaudRate = 9600;
};

// The link settings of an item of a port box: exactly "USB" is the USB adapter found by its
// description, any other text a port name ("COM3", a device path).
TLinkSettings PortItemLink(const std::string& item, uint32_t baud);

// The port settings a link opens with: one stop bit, the usual read time-outs, and the
// link's own parity and queue size.
TPortSettings LinkPortSettings(const TLinkSettings& link, uint8_t parity, uint32_t queue);

// Answer of the identify command; multi-byte fields arrive low byte first.
struct IdentityRecord {
  uint8_t DeviceType = 0;
  uint8_t Release = 0;
  uint16_t SerialNumber = 0;
  int16_t BaseDistance = 0;    // mm
  int16_t MeasuringRange = 0;  // mm

  static IdentityRecord FromBytes(const uint8_t bytes[8]);
};

constexpr size_t PULSE_RECORD_SIZE = 260;
constexpr size_t PULSE_SAMPLES = 128;

// The pulse answer: 128 samples, then pulse position and exposure, all low byte first.
struct PulseRecord {
  uint16_t Samples[PULSE_SAMPLES] = {};
  uint16_t Position = 0;
  uint16_t Exposure = 0;

  static PulseRecord FromBytes(const uint8_t bytes[PULSE_RECORD_SIZE]);
};

constexpr uint8_t FLASH_STORE = 0xAA;
constexpr uint8_t FLASH_RESTORE = 0x69;
constexpr uint8_t FLASH_FACTORY = 0x96;

// An exchange not made because Interrupted said so; the device layer's "cancelled".
constexpr uint32_t ST_INTERRUPTED = 20;

constexpr size_t TABLE_PAGE_WORDS = 512;
constexpr size_t LINK_DATA_SIZE = 8192;

// Command codes on the wire.
enum : uint8_t {
  CMD_IDENTIFY = 1,
  CMD_READ_REGISTER = 2,
  CMD_WRITE_REGISTER = 3,
  CMD_FLASH = 4,
  CMD_READ_RESULT = 6,
  CMD_START_STREAM = 7,
  CMD_STOP_STREAM = 8,
  CMD_READ_TABLE_PAGE = 9,
  CMD_WRITE_TABLE_PAGE = 10,
  CMD_READ_PULSE = 15,
};

class TKARVOInterface {
 public:
  TKARVOInterface();
  ~TKARVOInterface();
  TKARVOInterface(const TKARVOInterface&) = delete;
  TKARVOInterface& operator=(const TKARVOInterface&) = delete;

  uint32_t Open(const TLinkSettings& settings);
  uint32_t Close();
  uint32_t Send(uint8_t code, const uint8_t* payload, uint16_t length);
  uint32_t Receive(uint8_t* destination, uint16_t length);

  uint32_t Identify(uint8_t address, IdentityRecord& identity);
  uint32_t ReadRegisters(uint8_t address, uint8_t first, uint8_t count, uint8_t* destination);
  uint32_t WriteRegisters(uint8_t address, uint8_t first, uint8_t count, const uint8_t* source);
  uint32_t FlashControl(uint8_t address, uint8_t code);
  uint32_t ReadResult(uint8_t address, uint16_t& result);
  uint32_t StartStream(uint8_t address);
  uint32_t StopStream(uint8_t address);
  uint32_t ReadStreamSample(uint8_t address, uint16_t& result);
  uint32_t ReadTablePage(uint8_t address, uint8_t page, uint16_t* words /*[512]*/);
  uint32_t WriteTablePage(uint8_t address, uint8_t page, const uint16_t* words /*[512]*/);
  uint32_t ReadPulse(uint8_t address, uint8_t* record /*[260]*/);

  bool IsOpen() const { return Port.IsOpen; }
  // The system's reason for the port's last failure (open, line setting, read or write);
  // empty when it knows none, a time-out for one.
  const std::string& LastReason() const { return Port.LastReason; }

  // Read time-outs for the exchanges that follow, until the next Open, which brings back the
  // sensor's own (10 / 1000 ms, the port kind's number of read calls). An interval of 0 waits
  // out the whole total however the bytes trickle in.
  void SetReadTimeouts(uint32_t intervalMs, uint32_t totalMs, uint8_t attempts);

  uint8_t Address = 0;
  uint8_t Data[LINK_DATA_SIZE] = {};
  uint32_t Status = ST_OK;
  uint8_t Identity[8] = {};
  uint8_t Pulse[PULSE_RECORD_SIZE] = {};
  TInterface Port;
  TLinkSettings Link;
  TPortSettings PortSettings;
  TTransfer TxTransfer;
  TTransfer RxTransfer;

  // Called with every frame written ('>') and every answer read ('<', the raw bytes that
  // arrived, also when too few did), for --trace. Empty by default.
  std::function<void(char direction, const uint8_t* bytes, size_t count)> Trace;

  // The pauses between device steps (5, 1 and 1000 ms), a plain sleep when empty. Tests
  // set it to see the pauses without waiting them out.
  std::function<void(uint32_t ms)> Pause;

  // Asked before every request that waits for an answer, each register of a row included;
  // when it says so, nothing is sent and the operation ends with ST_INTERRUPTED. Requests
  // without an answer (register writes, stream start and stop) always go: they never wait,
  // and what puts a sensor back after a cancel is made of them. Empty by default.
  std::function<bool()> Interrupted;

 private:
  void Wait(uint32_t ms);
  bool Stopped();
};

}  // namespace karvo
