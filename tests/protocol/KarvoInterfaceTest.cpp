// The sensor link against a scripted peer on a pseudo-terminal: request frames byte for
// byte, answer decoding, every failure status, register series, acknowledges, table pages.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <numeric>

#include "protocol/Karvointerface.h"
#include "support/PtyPeer.h"

namespace karvo {
namespace {

using test::Bytes;
using test::TPtyStep;
using Log = std::vector<std::string>;

// An answer as the sensor puts it on the wire: low nibble, then high nibble, all with one tag
// in bits 4 to 6 (and bit 7 set, which the link ignores).
Bytes Wire(const Bytes& data, uint8_t tag = 0xB0) {
  Bytes wire;
  for (uint8_t byte : data) {
    wire.push_back(static_cast<uint8_t>(tag | (byte & 0x0F)));
    wire.push_back(static_cast<uint8_t>(tag | byte >> 4));
  }
  return wire;
}

Bytes PayloadOf(const Bytes& frame) {
  Bytes payload;
  for (size_t i = 2; i + 1 < frame.size(); i += 2) {
    payload.push_back(static_cast<uint8_t>((frame[i] & 0x0F) | (frame[i + 1] & 0x0F) << 4));
  }
  return payload;
}

class LinkOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok()) << Peer.Error();
    TLinkSettings settings;
    settings.PortKind = 0x100;  // only the low byte counts: a COM port
    settings.Name = Peer.SlavePath();
    settings.BaudRate = 38400;
    ASSERT_EQ(Link.Open(settings), ST_OK) << Link.Port.LastReason;
    Link.Pause = [this](uint32_t ms) { Events.push_back("pause " + std::to_string(ms)); };
    Link.Trace = [this](char direction, const uint8_t*, size_t count) {
      Events.push_back(direction + std::to_string(count));
    };
  }
  // Far below the sensor's time-outs, for answers that never come.
  void UseShortTimeouts() {
    Link.PortSettings.ReadInterval = 5;
    Link.PortSettings.ReadTotal = 60;
    ASSERT_EQ(Link.Port.Open(Link.PortSettings), ST_OK);
  }
  // Runs `call` against a peer that answers after `request` bytes.
  uint32_t Exchange(size_t request, const Bytes& answer, const std::function<uint32_t()>& call) {
    Peer.ClearReceived();
    Events.clear();
    Peer.Play({TPtyStep::After(request).Reply({answer})});
    const uint32_t status = call();
    EXPECT_EQ(Link.Status, status);
    EXPECT_TRUE(Peer.Finish());
    return status;
  }

  test::TPtyPeer Peer;
  TKARVOInterface Link;
  Log Events;
};

TEST_F(LinkOnPty, OpenSetsTheSensorLine) {
  const TPortSettings& port = Link.PortSettings;
  EXPECT_EQ(port.PortKind, PORT_COM);
  EXPECT_EQ(port.Parity, 2);
  EXPECT_EQ(port.StopBits, 0);
  EXPECT_EQ(port.InQueue + port.OutQueue, 2 * 2096u);
  EXPECT_EQ(port.ReadInterval, 10u);
  EXPECT_EQ(port.ReadTotal, 1000u);
  EXPECT_EQ(Peer.Line().Baud, 38400u);
  EXPECT_EQ(Link.Close(), ST_OK);
  EXPECT_FALSE(Link.IsOpen());
}

TEST_F(LinkOnPty, EveryCommandSendsItsFrameAndDecodesItsAnswer) {
  IdentityRecord identity;
  uint16_t word = 0;
  uint8_t reg = 0;
  Bytes pulse(PULSE_RECORD_SIZE), record(PULSE_RECORD_SIZE);
  std::iota(pulse.begin(), pulse.end(), 3);
  std::vector<uint16_t> words(TABLE_PAGE_WORDS);
  const uint8_t payload = 0xA5;
  const struct {
    std::function<uint32_t()> call;
    uint8_t address;
    Bytes request, answer;
  } cases[] = {
      // Address and code wider than their fields lose their top bits.
      {[&] { return Link.Identify(0x85, identity); },
       0x85,
       {0x05, 0x81},
       Wire({7, 4, 0xD2, 0x04, 0x3C, 0x00, 0x9C, 0xFF})},
      {[&] { return Link.Send(0x1F, &payload, 1); }, 0x85, {0x05, 0x8F, 0x85, 0x8A}, {}},
      {[&] { return Link.ReadResult(1, word); }, 1, {0x01, 0x86}, Wire({0x10, 0x27})},
      {[&] { return Link.ReadRegisters(3, 0x24, 1, &reg); },
       3,
       {0x03, 0x82, 0x84, 0x82},
       Wire({0xA5})},
      {[&] { return Link.WriteRegisters(3, 0x24, 1, &payload); },
       3,
       {0x03, 0x83, 0x84, 0x82, 0x85, 0x8A},
       {}},
      {[&] { return Link.FlashControl(0x7F, FLASH_RESTORE); },
       0x7F,
       {0x7F, 0x84, 0x89, 0x86},
       Wire({FLASH_RESTORE})},
      {[&] { return Link.StartStream(0x7F); }, 0x7F, {0x7F, 0x87}, {}},
      {[&] { return Link.StopStream(1); }, 1, {0x01, 0x88, 0x80, 0x80, 0x80, 0x80}, {}},
      {[&] { return Link.ReadTablePage(2, 0xFF, words.data()); },
       2,
       {0x02, 0x89, 0x8F, 0x8F},
       Wire(Bytes(2 * TABLE_PAGE_WORDS, 0))},
      {[&] { return Link.ReadPulse(2, record.data()); }, 2, {0x02, 0x8F}, Wire(pulse)},
      {[&] { return Link.ReadStreamSample(9, word); }, 9, {}, Wire({0x11, 0x22})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    Link.Port.ReadCalls = 99;  // stays so when nothing is read
    EXPECT_EQ(Exchange(c.request.size(), c.answer, c.call), ST_OK);
    EXPECT_EQ(Link.Address, c.address);
    EXPECT_EQ(Peer.Received(), c.request);
    EXPECT_EQ(Link.Port.ReadCalls == 99u, c.answer.empty());
  }
  EXPECT_EQ(identity.SerialNumber, 1234);
  EXPECT_EQ(identity.BaseDistance, 60);
  EXPECT_EQ(identity.MeasuringRange, -100);
  EXPECT_EQ(Bytes(Link.Identity, Link.Identity + 8),
            (Bytes{7, 4, 0xD2, 0x04, 0x3C, 0, 0x9C, 0xFF}));
  EXPECT_EQ(reg, 0xA5);
  EXPECT_EQ(word, 0x2211);
  EXPECT_EQ(record, pulse);
  EXPECT_EQ(Bytes(Link.Pulse, Link.Pulse + PULSE_RECORD_SIZE), pulse);
}

TEST_F(LinkOnPty, AnswersAreDecodedOnlyWhenAllTagBitsAgree) {
  const struct {
    Bytes wire;
    uint32_t status;
    uint16_t result;
  } cases[] = {
      {{0x95, 0x9A, 0x90, 0x90}, ST_OK, 0x00A5},
      {{0x05, 0x0A, 0x07, 0x08}, ST_OK, 0x87A5},
      {{0x95, 0x1A, 0x10, 0x9F}, ST_OK, 0xF0A5},  // bit 7 differs
      {{0x95, 0xAA, 0x90, 0x90}, ST_BAD_FRAME, 0xBEEF},
      {{0x85, 0x9A, 0x90, 0x90}, ST_BAD_FRAME, 0xBEEF},
      {{0x95, 0x9A, 0x90, 0xA0}, ST_BAD_FRAME, 0xBEEF},  // only the last byte
  };
  for (const auto& c : cases) {
    uint16_t result = 0xBEEF;
    EXPECT_EQ(Exchange(2, c.wire, [&] { return Link.ReadResult(1, result); }), c.status);
    EXPECT_EQ(result, c.result) << std::hex << int(c.wire[0]) << " " << int(c.wire[3]);
  }
}

TEST(ClosedLink, EveryCommandReturnsTwoWithoutAPortCall) {
  TKARVOInterface link;
  Bytes bytes(PULSE_RECORD_SIZE, 0x5A);
  std::vector<uint16_t> words(TABLE_PAGE_WORDS, 0x5A5A);
  uint16_t word = 0x5A5A;
  IdentityRecord identity;
  const std::function<uint32_t(uint8_t)> commands[] = {
      [&](uint8_t a) { return link.Identify(a, identity); },
      [&](uint8_t a) { return link.ReadRegisters(a, 0, 4, bytes.data()); },
      [&](uint8_t a) { return link.WriteRegisters(a, 0, 4, bytes.data()); },
      [&](uint8_t a) { return link.FlashControl(a, FLASH_STORE); },
      [&](uint8_t a) { return link.ReadResult(a, word); },
      [&](uint8_t a) { return link.StartStream(a); },
      [&](uint8_t a) { return link.StopStream(a); },
      [&](uint8_t a) { return link.ReadStreamSample(a, word); },
      [&](uint8_t a) { return link.ReadTablePage(a, 0, words.data()); },
      [&](uint8_t a) { return link.WriteTablePage(a, 0, words.data()); },
      [&](uint8_t a) { return link.ReadPulse(a, bytes.data()); }};
  size_t calls = 0;
  link.Pause = [&](uint32_t) { ++calls; };
  link.Trace = [&](char, const uint8_t*, size_t) { ++calls; };
  uint8_t address = 10;
  for (const auto& command : commands) {
    EXPECT_EQ(command(++address), ST_NOT_OPEN);
    EXPECT_EQ(link.Status, ST_NOT_OPEN);
    EXPECT_EQ(link.Address, address);
  }
  EXPECT_EQ(calls, 0u);
  EXPECT_EQ(link.Port.ReadCalls, 0u);
  EXPECT_EQ(word, 0x5A5A);
  EXPECT_EQ(bytes, Bytes(PULSE_RECORD_SIZE, 0x5A));
}

TEST_F(LinkOnPty, RegisterSeriesGoLowestFirstForReadsAndHighestFirstForWrites) {
  std::vector<TPtyStep> script;
  for (uint8_t k = 0; k < 3; ++k) script.push_back(TPtyStep::After(4).Reply({Wire({k})}));
  Peer.Play(script);
  Bytes values(3, 0xEE);
  EXPECT_EQ(Link.ReadRegisters(1, 0xFE, 3, values.data()), ST_OK);  // wraps past 0xFF
  ASSERT_TRUE(Peer.Finish());
  EXPECT_EQ(values, (Bytes{0, 1, 2}));
  EXPECT_EQ(Peer.Received(),
            (Bytes{0x01, 0x82, 0x8E, 0x8F, 0x01, 0x82, 0x8F, 0x8F, 0x01, 0x82, 0x80, 0x80}));

  const uint8_t value[] = {0x34, 0x12};
  EXPECT_EQ(Exchange(12, {}, [&] { return Link.WriteRegisters(1, 0x24, 2, value); }), ST_OK);
  EXPECT_EQ(Peer.Received(), (Bytes{0x01, 0x83, 0x85, 0x82, 0x82, 0x81,  //
                                    0x01, 0x83, 0x84, 0x82, 0x84, 0x83}));
  EXPECT_EQ(Events, (Log{">6", ">6", "pause 5"}));
}

TEST_F(LinkOnPty, RegisterSeriesStopAtTheFirstFailure) {
  UseShortTimeouts();
  Peer.Play({TPtyStep::After(4).Reply({Wire({0x11})}), TPtyStep::After(4)});
  Bytes values(4, 0xEE);
  EXPECT_EQ(Link.ReadRegisters(1, 0x10, 4, values.data()), ST_READ_SHORT);
  ASSERT_TRUE(Peer.Finish());
  EXPECT_EQ(values, (Bytes{0x11, 0xEE, 0xEE, 0xEE}));
  Peer.Drain();
  EXPECT_EQ(Peer.Received().size(), 8u);  // no third request

  Events.clear();
  Link.Trace = [this](char direction, const uint8_t*, size_t count) {
    Events.push_back(direction + std::to_string(count));
    Peer.HangUp();  // the adapter is pulled once the first frame is out
  };
  const uint8_t value[] = {1, 2, 3};
  EXPECT_EQ(Link.WriteRegisters(1, 0x30, 3, value), ST_WRITE_FAILED);
  EXPECT_EQ(Events, (Log{">6", ">6"}));  // no third frame, no pause
}

TEST_F(LinkOnPty, FlashAndTablePageAcknowledgesMustMatch) {
  UseShortTimeouts();
  std::vector<uint16_t> words(TABLE_PAGE_WORDS);
  const auto flash = [&] { return Link.FlashControl(1, FLASH_STORE); };
  const auto page = [&] { return Link.WriteTablePage(1, 3, words.data()); };
  const struct {
    std::function<uint32_t()> call;
    size_t request;
    Bytes answer;
    uint32_t status;
    Log events;
  } cases[] = {
      {flash, 4, Wire({0xAA}), ST_OK, {">4", "pause 1000", "<2"}},
      {flash, 4, Wire({0x55}), ST_WRITE_FAILED, {">4", "pause 1000", "<2"}},
      {flash, 4, {}, ST_READ_SHORT, {">4", "pause 1000", "<0"}},
      {page, 2054, Wire({0xAA}), ST_OK, {">2054", "pause 1", "<2"}},
      {page, 2054, Wire({0x55}), ST_WRITE_FAILED, {">2054", "pause 1", "<2"}},
      {page, 2054, {0xBA, 0xCA}, ST_BAD_FRAME, {">2054", "pause 1", "<2"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Exchange(c.request, c.answer, c.call), c.status);
    EXPECT_EQ(Events, c.events);
  }
}

TEST_F(LinkOnPty, TablePagesTravelHighByteFirst) {
  std::vector<uint16_t> words(TABLE_PAGE_WORDS);
  for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(0x1234 + i * 0x0301);
  ASSERT_EQ(Exchange(2054, Wire({0xAA}), [&] { return Link.WriteTablePage(4, 7, words.data()); }),
            ST_OK);
  const Bytes frame = Peer.Received();
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 6), (Bytes{0x04, 0x8A, 0x82, 0x81, 0x84, 0x83}));
  Bytes expected;
  for (uint16_t w : words) expected.insert(expected.end(), {uint8_t(w >> 8), uint8_t(w)});
  expected.insert(expected.end(), {7, 0xAA});
  EXPECT_EQ(PayloadOf(frame), expected);

  std::vector<uint16_t> read(TABLE_PAGE_WORDS);
  expected.resize(2 * TABLE_PAGE_WORDS);
  ASSERT_EQ(
      Exchange(4, Wire(expected, 0x80), [&] { return Link.ReadTablePage(4, 7, read.data()); }),
      ST_OK);
  EXPECT_EQ(Peer.Received(), (Bytes{0x04, 0x89, 0x87, 0x80}));
  EXPECT_EQ(read, words);
}

TEST_F(LinkOnPty, AFailingCommandLeavesItsDestinationAsItWas) {
  UseShortTimeouts();
  IdentityRecord identity;
  identity.SerialNumber = 0x5A5A;
  std::memset(Link.Identity, 0x5A, sizeof Link.Identity);
  std::memset(Link.Pulse, 0x5A, sizeof Link.Pulse);
  uint16_t word = 0x5A5A;
  std::vector<uint16_t> words(TABLE_PAGE_WORDS, 0x5A5A);
  Bytes record(PULSE_RECORD_SIZE, 0x5A);
  Bytes identityAnswer = Wire({1, 2, 3, 4, 5, 6, 7, 8}), pulse = Wire(record),
        page = Wire(Bytes(2 * TABLE_PAGE_WORDS));
  identityAnswer.back() ^= 0x10;
  pulse[300] ^= 0x40;
  page[1000] ^= 0x20;
  Bytes received;
  Link.Trace = [&](char direction, const uint8_t* bytes, size_t count) {
    if (direction == '<') received.assign(bytes, bytes + count);
  };
  const struct {
    std::function<uint32_t()> call;
    size_t request;
    Bytes answer;
    uint32_t status;
  } cases[] = {
      {[&] { return Link.Identify(1, identity); }, 2, identityAnswer, ST_BAD_FRAME},
      {[&] { return Link.Identify(1, identity); }, 2, {}, ST_READ_SHORT},
      {[&] { return Link.ReadResult(1, word); }, 2, {0x91, 0x92}, ST_READ_SHORT},
      {[&] { return Link.ReadTablePage(1, 0, words.data()); }, 4, page, ST_BAD_FRAME},
      {[&] { return Link.ReadPulse(1, record.data()); }, 2, pulse, ST_BAD_FRAME},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Exchange(c.request, c.answer, c.call), c.status);
    EXPECT_EQ(received, c.answer);  // traced as it came, also when too little did
  }
  EXPECT_EQ(identity.SerialNumber, 0x5A5A);
  EXPECT_EQ(Bytes(Link.Identity, Link.Identity + 8), Bytes(8, 0x5A));
  EXPECT_EQ(Bytes(Link.Pulse, Link.Pulse + PULSE_RECORD_SIZE), Bytes(PULSE_RECORD_SIZE, 0x5A));
  EXPECT_EQ(record, Bytes(PULSE_RECORD_SIZE, 0x5A));
  EXPECT_EQ(word, 0x5A5A);
  EXPECT_EQ(words, std::vector<uint16_t>(TABLE_PAGE_WORDS, 0x5A5A));
}

TEST_F(LinkOnPty, FramesAndAnswersBeyondTheSixteenBitAndBufferLimitsAreSafe) {
  // 40000 payload bytes make an 80002-byte frame, more than a 16-bit length counts.
  Bytes payload(40000);
  std::iota(payload.begin(), payload.end(), 0);
  ASSERT_EQ(Exchange(80002, {}, [&] { return Link.Send(CMD_READ_PULSE, payload.data(), 40000); }),
            ST_OK);
  EXPECT_EQ(PayloadOf(Peer.Received()), payload);

  // An answer twice as long as Data would overrun it: refused without reading.
  Link.Port.ReadCalls = 99;
  Link.Data[0] = 0x5A;
  EXPECT_EQ(Link.Receive(Link.Data, LINK_DATA_SIZE / 2 + 1), ST_READ_FAILED);
  EXPECT_EQ(Link.Port.ReadCalls, 99u);
  EXPECT_EQ(Link.Data[0], 0x5A);
  Bytes largest(LINK_DATA_SIZE / 2);
  std::iota(largest.begin(), largest.end(), 1);
  ASSERT_TRUE(Peer.Write(Wire(largest)));
  EXPECT_EQ(Link.Receive(Link.Data, LINK_DATA_SIZE / 2), ST_OK);
  EXPECT_EQ(Bytes(Link.Data, Link.Data + largest.size()), largest);
}

TEST(Records, IdentityAndPulseAreLowByteFirst) {
  const uint8_t bytes[8] = {0xFE, 0x01, 0x34, 0x12, 0x18, 0xFC, 0x00, 0x80};
  const IdentityRecord identity = IdentityRecord::FromBytes(bytes);
  EXPECT_EQ(identity.SerialNumber, 0x1234);
  EXPECT_EQ(identity.BaseDistance, -1000);
  EXPECT_EQ(identity.MeasuringRange, -32768);
  uint8_t back[8] = {};
  identity.ToBytes(back);
  EXPECT_EQ(Bytes(back, back + 8), Bytes(bytes, bytes + 8));

  Bytes raw(PULSE_RECORD_SIZE);
  std::iota(raw.begin(), raw.end(), 0);
  const PulseRecord pulse = PulseRecord::FromBytes(raw.data());
  EXPECT_EQ(pulse.Samples[0], 0x0100);
  EXPECT_EQ(pulse.Samples[127], 0xFFFE);
  EXPECT_EQ(pulse.Position, 0x0100);
  EXPECT_EQ(pulse.Exposure, 0x0302);
}

// The one test that waits out the sensor's own time-outs (about 3.5 s) and pause (1 s).
TEST_F(LinkOnPty, TheSensorsOwnTimeoutsAndPauseHold) {
  using Clock = std::chrono::steady_clock;
  IdentityRecord identity;
  auto start = Clock::now();
  EXPECT_EQ(Link.Identify(1, identity), ST_READ_SHORT);
  EXPECT_EQ(Link.Port.ReadCalls, 3u);
  // Three read calls of 10 ms for each of the 16 bytes asked, plus 1000 ms.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(3 * (10 * 16 + 1000)));

  Link.Pause = nullptr;
  start = Clock::now();
  EXPECT_EQ(Exchange(4, Wire({FLASH_STORE}), [&] { return Link.FlashControl(1, FLASH_STORE); }),
            ST_OK);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace karvo
