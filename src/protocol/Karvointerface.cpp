#include "protocol/Karvointerface.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace karvo {

IdentityRecord IdentityRecord::FromBytes(const uint8_t bytes[8]) {
  IdentityRecord record;
  record.DeviceType = bytes[0];
  record.Release = bytes[1];
  record.SerialNumber = static_cast<uint16_t>(bytes[2] | bytes[3] << 8);
  record.BaseDistance = static_cast<int16_t>(bytes[4] | bytes[5] << 8);
  record.MeasuringRange = static_cast<int16_t>(bytes[6] | bytes[7] << 8);
  return record;
}

PulseRecord PulseRecord::FromBytes(const uint8_t bytes[PULSE_RECORD_SIZE]) {
  auto word = [bytes](size_t i) {
    return static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  };
  PulseRecord record;
  for (size_t i = 0; i < PULSE_SAMPLES; ++i) record.Samples[i] = word(i);
  record.Position = word(PULSE_SAMPLES);
  record.Exposure = word(PULSE_SAMPLES + 1);
  return record;
}

TKARVOInterface::TKARVOInterface() = default;

TKARVOInterface::~TKARVOInterface() = default;

void TKARVOInterface::Wait(uint32_t ms) {
  if (Pause) {
    Pause(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}

TLinkSettings PortItemLink(const std::string& item, uint32_t baud) {
  TLinkSettings settings;
  if (item == "USB") {
    settings.PortKind = PORT_USB;
    settings.Name = USB_ADAPTER_DESCRIPTION;
  } else {
    settings.PortKind = PORT_COM;
    settings.Name = item;
  }
  settings.BaudRate = baud;
  return settings;
}

TPortSettings LinkPortSettings(const TLinkSettings& link, uint8_t parity, uint32_t queue) {
  return {.PortKind = static_cast<uint8_t>(link.PortKind & 0xFF),
          .Name = link.Name,
          .StopBits = 0,
          .Parity = parity,
          .BaudRate = link.BaudRate,
          .Attributes = 0x80,
          .InQueue = queue,
          .OutQueue = queue,
          .ReadInterval = 10,
          .ReadTotal = 1000};
}

uint32_t TKARVOInterface::Open(const TLinkSettings& settings) {
  Link = settings;
  // Even parity; room for the largest frames: a 2054-byte table-page request, a 2048-byte
  // answer.
  PortSettings = LinkPortSettings(Link, 2, 2096);
  Status = Port.Open(PortSettings);
  return Status;
}

void TKARVOInterface::SetReadTimeouts(uint32_t intervalMs, uint32_t totalMs, uint8_t attempts) {
  PortSettings.ReadInterval = intervalMs;
  PortSettings.ReadTotal = totalMs;
  PortSettings.ReadAttempts = attempts;
  // The channel reads its time-outs at every read call, so no reopen is needed.
  Port.Settings.ReadInterval = intervalMs;
  Port.Settings.ReadTotal = totalMs;
  Port.Settings.ReadAttempts = attempts;
}

uint32_t TKARVOInterface::Close() {
  Status = Port.Close();
  return Status;
}

uint32_t TKARVOInterface::Send(uint8_t code, const uint8_t* payload, uint16_t length) {
  if (payload == nullptr && length > 0) {
    Status = ST_WRITE_FAILED;
    return Status;
  }
  // Counted in 32 bits: a payload of 32767 bytes or more would wrap a 16-bit frame length.
  std::vector<uint8_t> frame(2 + 2 * static_cast<size_t>(length));
  frame[0] = Address & 0x7F;
  frame[1] = (code & 0x0F) | 0x80;
  for (size_t i = 0; i < length; ++i) {
    frame[2 + 2 * i] = (payload[i] & 0x0F) | 0x80;
    frame[3 + 2 * i] = ((payload[i] >> 4) & 0x0F) | 0x80;
  }
  TxTransfer = TTransfer{frame.data(), static_cast<uint32_t>(frame.size()), nullptr};
  Status = Port.Write(TxTransfer);
  if (Trace && Status != ST_NOT_OPEN) Trace('>', frame.data(), frame.size());
  TxTransfer.Buffer = nullptr;
  return Status;
}

uint32_t TKARVOInterface::Receive(uint8_t* destination, uint16_t length) {
  const uint32_t raw = 2u * length;
  // The raw answer is twice the decoded one; Data cannot take more than half its size.
  if (destination == nullptr || (destination == Data && raw > LINK_DATA_SIZE)) {
    Status = ST_READ_FAILED;
    return Status;
  }
  RxTransfer = TTransfer{destination, raw, nullptr};
  Status = Port.Read(RxTransfer);
  if (Trace && Status != ST_NOT_OPEN) Trace('<', destination, Port.LastCount);
  if (Status != ST_OK) return Status;

  if (raw > 0) {
    const uint8_t tag = destination[0] & 0x70;
    for (uint32_t i = 1; i < raw; ++i) {
      if ((destination[i] & 0x70) != tag) Status = ST_BAD_FRAME;
    }
  }
  if (Status != ST_OK) return Status;

  // Byte i is written only after bytes 2i and 2i+1 were read, so one buffer serves both.
  for (uint32_t i = 0; i < length; ++i) {
    destination[i] =
        static_cast<uint8_t>((destination[2 * i + 1] & 0x0F) << 4 | (destination[2 * i] & 0x0F));
  }
  return Status;
}

bool TKARVOInterface::Stopped() {
  if (!Interrupted || !Interrupted()) return false;
  Status = ST_INTERRUPTED;
  return true;
}

uint32_t TKARVOInterface::Identify(uint8_t address, IdentityRecord& identity) {
  Address = address;
  if (Stopped()) return Status;
  if (Send(CMD_IDENTIFY, nullptr, 0) != ST_OK) return Status;
  if (Receive(Data, sizeof Identity) != ST_OK) return Status;
  std::memcpy(Identity, Data, sizeof Identity);
  identity = IdentityRecord::FromBytes(Identity);
  return Status;
}

uint32_t TKARVOInterface::ReadRegisters(uint8_t address, uint8_t first, uint8_t count,
                                        uint8_t* destination) {
  Address = address;
  Status = ST_OK;
  for (uint8_t k = 0; k < count; ++k) {
    if (Stopped()) return Status;
    Data[0] = static_cast<uint8_t>(first + k);
    if (Send(CMD_READ_REGISTER, Data, 1) != ST_OK) return Status;
    if (Receive(Data, 1) != ST_OK) return Status;
    destination[k] = Data[0];
  }
  return Status;
}

uint32_t TKARVOInterface::WriteRegisters(uint8_t address, uint8_t first, uint8_t count,
                                         const uint8_t* source) {
  Address = address;
  Status = ST_OK;
  // Highest register first: the sensor takes a multi-byte value when its lowest byte lands.
  for (int k = count; k >= 1; --k) {
    Data[0] = static_cast<uint8_t>(first + k - 1);
    Data[1] = source[k - 1];
    if (Send(CMD_WRITE_REGISTER, Data, 2) != ST_OK) return Status;
  }
  Wait(5);
  return Status;
}

uint32_t TKARVOInterface::FlashControl(uint8_t address, uint8_t code) {
  Address = address;
  if (Stopped()) return Status;
  Data[0] = code;
  if (Send(CMD_FLASH, Data, 1) != ST_OK) return Status;
  Wait(1000);
  if (Receive(Data, 1) != ST_OK) return Status;
  if (Data[0] != code) Status = ST_WRITE_FAILED;
  return Status;
}

uint32_t TKARVOInterface::ReadResult(uint8_t address, uint16_t& result) {
  Address = address;
  if (Stopped()) return Status;
  if (Send(CMD_READ_RESULT, nullptr, 0) != ST_OK) return Status;
  if (Receive(Data, 2) != ST_OK) return Status;
  result = static_cast<uint16_t>(Data[0] | Data[1] << 8);
  return Status;
}

uint32_t TKARVOInterface::StartStream(uint8_t address) {
  Address = address;
  return Send(CMD_START_STREAM, nullptr, 0);
}

uint32_t TKARVOInterface::StopStream(uint8_t address) {
  Address = address;
  Data[0] = 0x00;
  Data[1] = 0x00;
  return Send(CMD_STOP_STREAM, Data, 2);
}

uint32_t TKARVOInterface::ReadStreamSample(uint8_t address, uint16_t& result) {
  Address = address;
  if (Receive(Data, 2) != ST_OK) return Status;
  result = static_cast<uint16_t>(Data[0] | Data[1] << 8);
  return Status;
}

uint32_t TKARVOInterface::ReadTablePage(uint8_t address, uint8_t page, uint16_t* words) {
  Address = address;
  if (Stopped()) return Status;
  Data[0] = page;
  if (Send(CMD_READ_TABLE_PAGE, Data, 1) != ST_OK) return Status;
  if (Receive(Data, 2 * TABLE_PAGE_WORDS) != ST_OK) return Status;
  for (size_t i = 0; i < TABLE_PAGE_WORDS; ++i) {
    words[i] = static_cast<uint16_t>(Data[2 * i] << 8 | Data[2 * i + 1]);
  }
  return Status;
}

uint32_t TKARVOInterface::WriteTablePage(uint8_t address, uint8_t page, const uint16_t* words) {
  Address = address;
  if (Stopped()) return Status;
  for (size_t i = 0; i < TABLE_PAGE_WORDS; ++i) {
    Data[2 * i] = static_cast<uint8_t>(words[i] >> 8);
    Data[2 * i + 1] = static_cast<uint8_t>(words[i]);
  }
  Data[2 * TABLE_PAGE_WORDS] = page;
  Data[2 * TABLE_PAGE_WORDS + 1] = 0xAA;
  if (Send(CMD_WRITE_TABLE_PAGE, Data, 2 * TABLE_PAGE_WORDS + 2) != ST_OK) return Status;
  Wait(1);
  if (Receive(Data, 1) != ST_OK) return Status;
  if (Data[0] != 0xAA) Status = ST_WRITE_FAILED;
  return Status;
}

uint32_t TKARVOInterface::ReadPulse(uint8_t address, uint8_t* record) {
  Address = address;
  if (Stopped()) return Status;
  if (Send(CMD_READ_PULSE, nullptr, 0) != ST_OK) return Status;
  if (Receive(Data, PULSE_RECORD_SIZE) != ST_OK) return Status;
  std::memcpy(Pulse, Data, PULSE_RECORD_SIZE);
  std::memcpy(record, Pulse, PULSE_RECORD_SIZE);
  return Status;
}

}  // namespace karvo
