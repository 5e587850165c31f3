// The sensor link against a scripted peer on a pseudo-terminal: request frames byte for
// byte, answer decoding, every failure status, register series, acknowledges, table pages.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <numeric>
#include <tuple>

#include "protocol/Karvointerface.h"
#include "support/PtyPeer.h"

namespace karvo {
namespace {

using test::Bytes;
using Log = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

using test::SensorWire;

class LinkOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok()) << Peer.Error();
    // Only the low byte of the kind counts: a COM port.
    ASSERT_EQ(Link.Open({.PortKind = 0x100, .Name = Peer.SlavePath(), .BaudRate = 38400}), ST_OK)
        << Link.Port.LastReason;
    Link.Pause = [this](uint32_t ms) { Events.push_back("pause " + std::to_string(ms)); };
    Link.Trace = [this](char direction, const uint8_t* bytes, size_t count) {
      Events.push_back(direction + std::to_string(count));
      if (direction == '<') Answer.assign(bytes, bytes + count);
    };
  }
  // Runs `call` against a peer that answers after `request` bytes.
  uint32_t Exchange(size_t request, const Bytes& answer, const std::function<uint32_t()>& call) {
    Events.clear();
    Peer.Play({{.Expect = request, .Answer = {answer}}});
    const uint32_t status = call();
    EXPECT_EQ(Link.Status, status);
    EXPECT_TRUE(Peer.Finish());
    return status;
  }

  test::TPtyPeer Peer;
  TKARVOInterface Link;
  Log Events;
  Bytes Answer;  // the last one, raw, as traced
};

TEST_F(LinkOnPty, EveryCommandSendsItsFrameAndDecodesItsAnswerButNotWhenClosed) {
  IdentityRecord identity;
  uint16_t result = 0, sample = 0;
  uint8_t reg = 0;
  Bytes pulse(PULSE_RECORD_SIZE), record(PULSE_RECORD_SIZE), page;
  std::iota(pulse.begin(), pulse.end(), 3);
  // Table pages travel high byte first; the write adds the page number and 0xAA.
  std::vector<uint16_t> words(TABLE_PAGE_WORDS), read(TABLE_PAGE_WORDS, 1);
  for (size_t i = 0; i < words.size(); ++i) {
    words[i] = static_cast<uint16_t>(0x1234 + i * 0x0301);
    page.insert(page.end(), {uint8_t(words[i] >> 8), uint8_t(words[i])});
  }
  Bytes writePage = page;
  writePage.insert(writePage.end(), {7, 0xAA});
  writePage = SensorWire(writePage, 0x80);  // requests are tagged 000, with bit 7 set
  writePage.insert(writePage.begin(), {0x0B, 0x8A});
  const uint8_t payload = 0xA5;
  const Bytes id = {7, 4, 0xD2, 0x04, 0x3C, 0x00, 0x9C, 0xFF};
  const struct {
    std::function<uint32_t()> call;
    Bytes request, answer;
  } cases[] = {
      // clang-format off
      // Address and code wider than their fields lose their top bits.
      {[&] { return Link.Identify(0x85, identity); }, {0x05, 0x81}, SensorWire(id)},
      {[&] { return Link.Send(0x1F, &payload, 1); }, {0x05, 0x8F, 0x85, 0x8A}, {}},
      // One tag (001) in bits 4 to 6; bit 7 varies.
      {[&] { return Link.ReadResult(1, result); }, {0x01, 0x86}, {0x10, 0x91, 0x17, 0x92}},
      {[&] { return Link.ReadRegisters(3, 0x24, 1, &reg); }, {0x03, 0x82, 0x84, 0x82}, SensorWire({0xA5})},
      {[&] { return Link.WriteRegisters(4, 0x24, 1, &payload); }, {0x04, 0x83, 0x84, 0x82, 0x85, 0x8A}, {}},
      {[&] { return Link.FlashControl(0x7F, FLASH_RESTORE); }, {0x7F, 0x84, 0x89, 0x86}, SensorWire({FLASH_RESTORE})},
      {[&] { return Link.StartStream(0x7E); }, {0x7E, 0x87}, {}},
      {[&] { return Link.StopStream(1); }, {0x01, 0x88, 0x80, 0x80, 0x80, 0x80}, {}},
      {[&] { return Link.ReadTablePage(2, 0xFF, read.data()); }, {0x02, 0x89, 0x8F, 0x8F}, SensorWire(page, 0x80)},
      {[&] { return Link.WriteTablePage(0x0B, 7, words.data()); }, writePage, SensorWire({0xAA})},
      {[&] { return Link.ReadPulse(6, record.data()); }, {0x06, 0x8F}, SensorWire(pulse)},
      {[&] { return Link.ReadStreamSample(9, sample); }, {}, SensorWire({0x11, 0x22})},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.request));
    Link.Port.ReadCalls = 99;  // stays so when nothing is read
    EXPECT_EQ(Exchange(c.request.size(), c.answer, c.call), ST_OK);
    EXPECT_EQ(Peer.Received(), c.request);
    EXPECT_EQ(Link.Port.ReadCalls == 99u, c.answer.empty());
  }
  EXPECT_EQ(std::tuple(identity.SerialNumber, identity.BaseDistance, identity.MeasuringRange),
            std::tuple(1234, 60, -100));  // low byte first, signed
  EXPECT_EQ(Bytes(Link.Identity, Link.Identity + 8), id);
  EXPECT_EQ(result, 10000);
  EXPECT_EQ(reg, 0xA5);
  EXPECT_EQ(read, words);
  EXPECT_EQ(sample, 0x2211);
  EXPECT_EQ(record, pulse);
  EXPECT_EQ(Bytes(Link.Pulse, Link.Pulse + PULSE_RECORD_SIZE), pulse);

  // Closed, every command still stores its address, then returns 2 without a port call.
  // Neighbouring cases use different addresses, so a command that stores none shows.
  EXPECT_EQ(Link.Close(), ST_OK);
  const auto before = std::tuple(identity.SerialNumber, result, reg, read, record, sample);
  Events.clear();
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), ST_NOT_OPEN);
    EXPECT_EQ(Link.Status, ST_NOT_OPEN);
    // Stored first: the frame's address, or 9 for the stream sample, which sends no frame.
    EXPECT_EQ(Link.Address & 0x7F, c.request.empty() ? 9 : c.request[0]);
  }
  EXPECT_TRUE(Events.empty());  // neither traced nor paused
  EXPECT_EQ(std::tuple(identity.SerialNumber, result, reg, read, record, sample), before);
}

TEST_F(LinkOnPty, RegisterSeriesGoLowestFirstForReadsHighestFirstForWritesAndStopAtAFailure) {
  std::vector<test::TPtyStep> script;
  for (uint8_t k = 0; k < 3; ++k) script.push_back({.Expect = 4, .Answer = {SensorWire({k})}});
  Peer.Play(script);
  Bytes values(4, 0xEE);
  EXPECT_EQ(Link.ReadRegisters(1, 0xFE, 3, values.data()), ST_OK);  // wraps past 0xFF
  ASSERT_TRUE(Peer.Finish());
  EXPECT_EQ(values, (Bytes{0, 1, 2, 0xEE}));
  EXPECT_EQ(Peer.Received(),
            (Bytes{0x01, 0x82, 0x8E, 0x8F, 0x01, 0x82, 0x8F, 0x8F, 0x01, 0x82, 0x80, 0x80}));

  const uint8_t value[] = {0x34, 0x12, 0x56};
  EXPECT_EQ(Exchange(12, {}, [&] { return Link.WriteRegisters(1, 0x24, 2, value); }), ST_OK);
  EXPECT_EQ(Peer.Received(), (Bytes{0x01, 0x83, 0x85, 0x82, 0x82, 0x81,  //
                                    0x01, 0x83, 0x84, 0x82, 0x84, 0x83}));
  EXPECT_EQ(Events, (Log{">6", ">6", "pause 5"}));

  // A series stops at the first failure.
  Link.SetReadTimeouts(5, 60, 0);  // far below the sensor's, for answers that never come
  values.assign(4, 0xEE);
  EXPECT_EQ(Exchange(4, SensorWire({0x11}),
                     [&] { return Link.ReadRegisters(1, 0x10, 4, values.data()); }),
            ST_READ_SHORT);
  EXPECT_EQ(values, (Bytes{0x11, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(Events, (Log{">4", "<2", ">4", "<0"}));  // no third request

  Events.clear();
  Link.Trace = [this](char direction, const uint8_t*, size_t count) {
    Events.push_back(direction + std::to_string(count));
    Peer.HangUp();  // the adapter is pulled once the first frame is out
  };
  EXPECT_EQ(Link.WriteRegisters(1, 0x30, 3, value), ST_WRITE_FAILED);
  EXPECT_EQ(Events, (Log{">6", ">6"}));  // no third frame, no pause
}

// Wrong tags (8), missing answers (3) and wrong acknowledges (6); a failing command leaves
// its destination as it was. Acknowledges are read after the pause.
TEST_F(LinkOnPty, FailingAnswersLeaveEveryDestinationAsItWas) {
  Link.SetReadTimeouts(5, 60, 0);  // far below the sensor's, for answers that never come
  IdentityRecord identity;
  uint16_t word = 0;
  // Not what an all-zero page or record would decode to.
  std::vector<uint16_t> words(TABLE_PAGE_WORDS, 0x5A5A);
  Bytes record(PULSE_RECORD_SIZE, 0x5A);
  const auto destinations = [&] {
    return std::tuple(identity.SerialNumber, Bytes(Link.Identity, Link.Identity + 8), word, words,
                      record, Bytes(Link.Pulse, Link.Pulse + PULSE_RECORD_SIZE));
  };
  const auto before = destinations();
  Bytes identityAnswer = SensorWire({1, 2, 3, 4, 5, 6, 7, 8}), pulse = SensorWire(record),
        page = SensorWire(Bytes(2 * TABLE_PAGE_WORDS));
  identityAnswer.back() ^= 0x10;
  pulse[300] ^= 0x40;
  page[1000] ^= 0x20;
  const auto identify = [&] { return Link.Identify(1, identity); };
  const auto result = [&] { return Link.ReadResult(1, word); };
  const auto flash = [&] { return Link.FlashControl(1, FLASH_STORE); };
  const auto writePage = [&] { return Link.WriteTablePage(1, 3, words.data()); };
  const auto readPage = [&] { return Link.ReadTablePage(1, 0, words.data()); };
  const struct {
    std::function<uint32_t()> call;
    size_t request;
    Bytes answer;
    uint32_t status;
    Log events;
  } cases[] = {
      {identify, 2, identityAnswer, ST_BAD_FRAME, {">2", "<16"}},
      {result, 2, {0x91, 0x92}, ST_READ_SHORT, {">2", "<2"}},
      {result, 2, {0x85, 0x9A, 0x90, 0x90}, ST_BAD_FRAME, {">2", "<4"}},
      {readPage, 4, page, ST_BAD_FRAME, {">4", "<2048"}},
      {[&] { return Link.ReadPulse(1, record.data()); }, 2, pulse, ST_BAD_FRAME, {">2", "<520"}},
      {flash, 4, SensorWire({0x55}), ST_WRITE_FAILED, {">4", "pause 1000", "<2"}},
      {flash, 4, {}, ST_READ_SHORT, {">4", "pause 1000", "<0"}},
      {writePage, 2054, SensorWire({0x55}), ST_WRITE_FAILED, {">2054", "pause 1", "<2"}},
      {writePage, 2054, {0xBA, 0xCA}, ST_BAD_FRAME, {">2054", "pause 1", "<2"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Exchange(c.request, c.answer, c.call), c.status) << testing::PrintToString(c.answer);
    EXPECT_EQ(Events, c.events);
    EXPECT_EQ(Answer, c.answer);  // traced as it came, also when too little did
  }
  EXPECT_EQ(destinations(), before);
}

TEST_F(LinkOnPty, FramesAndAnswersBeyondTheSixteenBitAndBufferLimitsAreSafe) {
  // 40000 payload bytes make an 80002-byte frame, more than a 16-bit length counts.
  Bytes payload(40000);
  std::iota(payload.begin(), payload.end(), 0);
  ASSERT_EQ(Exchange(80002, {}, [&] { return Link.Send(CMD_READ_PULSE, payload.data(), 40000); }),
            ST_OK);
  const Bytes frame = Peer.Received();
  EXPECT_EQ(Bytes(frame.begin() + 2, frame.end()), SensorWire(payload, 0x80));

  // An answer twice as long as Data would overrun it: refused without reading.
  Link.Port.ReadCalls = 99;
  Link.Data[0] = 0x5A;
  EXPECT_EQ(Link.Receive(Link.Data, LINK_DATA_SIZE / 2 + 1), ST_READ_FAILED);
  EXPECT_EQ(Link.Port.ReadCalls, 99u);
  EXPECT_EQ(Link.Data[0], 0x5A);
  Bytes largest(LINK_DATA_SIZE / 2);
  std::iota(largest.begin(), largest.end(), 1);
  ASSERT_TRUE(Peer.Write(SensorWire(largest)));
  EXPECT_EQ(Link.Receive(Link.Data, LINK_DATA_SIZE / 2), ST_OK);
  EXPECT_EQ(Bytes(Link.Data, Link.Data + largest.size()), largest);
}

// The one test that waits out the sensor's own time-outs (about 3.5 s) and pause (1 s).
TEST_F(LinkOnPty, TheSensorsOwnLineTimeoutsAndPauseHold) {
  EXPECT_EQ(Link.PortSettings.Parity, 2);  // even
  EXPECT_EQ(Peer.Line().Baud, 38400u);
  EXPECT_EQ(Peer.Line().StopBits, 1);
  IdentityRecord identity;
  auto start = Clock::now();
  EXPECT_EQ(Link.Identify(1, identity), ST_READ_SHORT);
  EXPECT_EQ(Link.Port.ReadCalls, 3u);
  // Three read calls of 10 ms for each of the 16 bytes asked, plus 1000 ms.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(3 * (10 * 16 + 1000)));

  Link.Pause = nullptr;
  start = Clock::now();
  EXPECT_EQ(
      Exchange(4, SensorWire({FLASH_STORE}), [&] { return Link.FlashControl(1, FLASH_STORE); }),
      ST_OK);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace karvo
