// The simulated sensor seen from the line, with a hand-made port: what a real sensor does
// and does not answer.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "SimTestPort.h"
#include "sim/SensorSim.h"

namespace karvo::sim {
namespace {

using test::Decode;
using test::MonotonicMs;
using test::Request;
using test::TagsUniform;
using test::TRawPort;
using Bytes = std::vector<uint8_t>;

TSensorSimOptions Quick() {
  TSensorSimOptions options;
  options.Pace = false;
  options.Noise = 0;
  options.FlashWriteMs = 30;
  return options;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 1000) {
  int64_t end = MonotonicMs() + timeoutMs;
  while (!condition()) {
    if (MonotonicMs() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Decoded answer of m bytes, or nullopt when it is missing, short or has mixed tags.
std::optional<Bytes> Ask(TRawPort& port, uint8_t address, uint8_t command, const Bytes& payload,
                         size_t m, int timeoutMs = 300) {
  auto wire = port.Exchange(Request(address, command, payload), m, timeoutMs);
  if (!wire || !TagsUniform(*wire)) return std::nullopt;
  return Decode(*wire);
}

std::optional<int> ReadRegister(TRawPort& port, uint8_t reg, uint8_t address = 1) {
  auto answer = Ask(port, address, 2, {reg}, 1);
  return answer ? std::optional<int>((*answer)[0]) : std::nullopt;
}

void WriteRegister(TRawPort& port, uint8_t reg, uint8_t value, uint8_t address = 1) {
  port.Send(Request(address, 3, {reg, value}));
}

std::optional<int> ReadResult(TRawPort& port, uint8_t address = 1) {
  auto answer = Ask(port, address, 6, {}, 2);
  return answer ? std::optional<int>((*answer)[0] | ((*answer)[1] << 8)) : std::nullopt;
}

class SensorSimTest : public ::testing::Test {
 protected:
  void Begin(const TSensorSimOptions& options = Quick()) {
    sim_ = std::make_unique<TSensorSim>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    port_ = std::make_unique<TRawPort>(sim_->DevicePath(), options.Baud);
    ASSERT_TRUE(port_->Ok());
  }
  void SetUp() override { Begin(); }

  std::unique_ptr<TSensorSim> sim_;
  std::unique_ptr<TRawPort> port_;
};

TEST_F(SensorSimTest, IdentityComesFromTheIdentityRegisters) {
  TSensorSimOptions options = Quick();
  options.DeviceType = 9;
  options.Release = 5;
  options.SerialNumber = 0xBEEF;
  options.BaseDistance = 35;
  options.MeasuringRange = 250;
  Begin(options);
  EXPECT_EQ(Ask(*port_, 1, 1, {}, 8), (Bytes{9, 5, 0xEF, 0xBE, 35, 0, 250, 0}));
  // A new range written by the program is what the sensor then reports.
  WriteRegister(*port_, 151, 0x01);
  WriteRegister(*port_, 150, 0x2C);
  EXPECT_EQ(Ask(*port_, 1, 1, {}, 8), (Bytes{9, 5, 0xEF, 0xBE, 35, 0, 0x2C, 0x01}));
}

TEST_F(SensorSimTest, AnswersOnlyAtItsAddressRateAndParity) {
  struct Case {
    const char* name;
    uint8_t address;
    uint32_t baud;
    char parity;
    bool answers;
  };
  const Case cases[] = {
      {"own settings", 1, 9600, 'E', true},       {"other address", 2, 9600, 'E', false},
      {"address 0", 0, 9600, 'E', false},         {"faster line", 1, 19200, 'E', false},
      {"slower line", 1, 4800, 'E', false},       {"odd parity", 1, 9600, 'O', false},
      {"own settings again", 1, 9600, 'E', true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port_->Configure(c.baud, c.parity);
    EXPECT_EQ(Ask(*port_, c.address, 1, {}, 8, 150).has_value(), c.answers);
  }
}

TEST_F(SensorSimTest, NewRateAndAddressApplyFromTheRequestAfterTheirWrite) {
  WriteRegister(*port_, 4, 48);  // 115200
  EXPECT_FALSE(ReadRegister(*port_, 4).has_value());
  port_->Configure(115200, 'E');
  EXPECT_EQ(ReadRegister(*port_, 4), 48);
  EXPECT_EQ(sim_->LineBaud(), 115200u);

  WriteRegister(*port_, 3, 9);
  EXPECT_FALSE(ReadRegister(*port_, 3, 1).has_value());
  EXPECT_EQ(ReadRegister(*port_, 3, 9), 9);
  EXPECT_EQ(sim_->Register(3), 9);
  // Still in FLASH as it was: nothing was stored.
  EXPECT_EQ(sim_->FlashRegister(3), 1);
  EXPECT_EQ(sim_->FlashRegister(4), 4);
}

TEST_F(SensorSimTest, FlashCommandsMoveTheRegisterSets) {
  struct Case {
    uint8_t code;
    int working, flash, factory;  // register 5 afterwards; it was 7 / 20 / 20 before
  };
  const Case cases[] = {{0xAA, 7, 7, 20}, {0x96, 7, 20, 7}, {0x69, 20, 20, 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.code));
    Begin();
    ASSERT_EQ(sim_->Register(5), 20);
    WriteRegister(*port_, 5, 7);
    EXPECT_EQ(Ask(*port_, 1, 4, {c.code}, 1, 1000), (Bytes{c.code}));
    EXPECT_EQ(sim_->Register(5), c.working);
    EXPECT_EQ(sim_->FlashRegister(5), c.flash);
    EXPECT_EQ(sim_->FactoryRegister(5), c.factory);
  }
}

TEST_F(SensorSimTest, RestoreEchoesAtTheOldLinkThenListensAtTheFactoryLink) {
  TSensorSimOptions options = Quick();
  options.Address = 5;
  options.Baud = 115200;
  Begin(options);
  EXPECT_EQ(sim_->FactoryRegister(3), 1);
  EXPECT_EQ(sim_->FactoryRegister(4), 4);
  EXPECT_EQ(Ask(*port_, 5, 4, {0x69}, 1, 1000), (Bytes{0x69}));
  EXPECT_FALSE(Ask(*port_, 5, 1, {}, 8, 150).has_value());
  port_->Configure(9600, 'E');
  EXPECT_TRUE(Ask(*port_, 1, 1, {}, 8).has_value());
}

TEST_F(SensorSimTest, FlashEchoIsReadyWhenTheProgramReadsAfterItsSecond) {
  TSensorSimOptions options;  // paced, real flash time
  options.Noise = 0;
  Begin(options);
  int64_t sent = MonotonicMs();
  port_->Send(Request(1, 4, {0xAA}));
  // Busy writing: the early part of the second brings neither the echo nor other answers.
  EXPECT_TRUE(port_->Read(2, 200).empty());
  EXPECT_FALSE(Ask(*port_, 1, 1, {}, 8, 200).has_value());
  std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                std::chrono::milliseconds(1000 - (MonotonicMs() - sent)));
  Bytes echo = port_->Read(2, 50);
  ASSERT_EQ(echo.size(), 2u);
  EXPECT_EQ(Decode(echo), (Bytes{0xAA}));
}

TEST_F(SensorSimTest, TagCounterIsUniformWithinAnAnswerAndChangesBetweenAnswers) {
  int previous = -1;
  for (int i = 0; i < 12; ++i) {
    auto wire = port_->Exchange(Request(1, 1, {}), 8);
    ASSERT_TRUE(wire.has_value());
    EXPECT_TRUE(TagsUniform(*wire));
    for (uint8_t b : *wire) EXPECT_TRUE(b & 0x80);
    int tag = (*wire)[0] & 0x70;
    EXPECT_NE(tag, previous);
    previous = tag;
  }
}

TEST_F(SensorSimTest, ResultFollowsTheModeOfRunAndTheZeroPoint) {
  struct Case {
    const char* name;
    uint8_t mode;
    int16_t zero;
    double mm;
    int expected;  // -1: the raw position of mm
  };
  const Case cases[] = {
      {"Line at a quarter", 0, 0, 25.0, 4096},
      {"Line at the base", 0, 0, 0.0, 0},
      {"Line at full range", 0, 0, 100.0, 16384},
      {"Line, 2 reads as Line", 2, 0, 50.0, 8192},
      {"Line less the zero point", 0, 1000, 25.0, 3096},
      {"Line less a negative zero point", 0, -200, 25.0, 4296},
      {"Line beyond the zero point", 0, 5000, 25.0, static_cast<uint16_t>(-904)},
      {"NonLine", 1, 0, 25.0, -1},
      {"NonLine ignores the zero point", 1, 1000, 60.0, -1},
      {"Line, no target in view", 0, 0, 120.0, 0},
      {"NonLine, no target in view", 1, 0, -10.0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim_->SetRegister(7, c.mode);
    sim_->SetRegister(23, static_cast<uint8_t>(c.zero));
    sim_->SetRegister(24, static_cast<uint8_t>(static_cast<uint16_t>(c.zero) >> 8));
    sim_->SetTargetDistance(c.mm);
    int expected =
        c.expected >= 0 ? c.expected : static_cast<int>(std::lround(sim_->RawPosition(c.mm)));
    EXPECT_EQ(ReadResult(*port_), expected);
  }
}

TEST_F(SensorSimTest, RawPositionIsMonotonicNonLinearAndInsideTheRawSpan) {
  double previous = 0.0;
  for (double mm = -2.0; mm <= 102.0; mm += 0.5) {
    double raw = sim_->RawPosition(mm);
    EXPECT_GT(raw, previous) << mm;
    EXPECT_LE(raw, 21999.0) << mm;
    previous = raw;
  }
  double near = sim_->RawPosition(0), mid = sim_->RawPosition(50), far = sim_->RawPosition(100);
  // Far enough from the chord that a calibration table has something to correct.
  EXPECT_GT(std::abs(mid - (near + far) / 2) / (far - near), 0.05);
  EXPECT_EQ(sim_->RawPosition(110), 0.0);
}

TEST_F(SensorSimTest, TemperatureIsPlausibleAndDriftsSlowly) {
  sim_->SetRegister(7, 3);
  sim_->SetTargetDistance(150.0);  // no target needed
  std::optional<int> first = ReadResult(*port_);
  ASSERT_TRUE(first.has_value());
  int last = *first;
  for (int i = 0; i < 50; ++i) {
    std::optional<int> t = ReadResult(*port_);
    ASSERT_TRUE(t.has_value());
    EXPECT_NEAR(*t, last, 4);
    EXPECT_GT(*t, 2000);
    EXPECT_LT(*t, 3000);
    last = *t;
  }
}

TEST_F(SensorSimTest, NoiseIsSmallAndRepeatsWithTheSeed) {
  auto run = [](uint64_t seed) {
    TSensorSimOptions options = Quick();
    options.Noise = 4;
    options.Seed = seed;
    TSensorSim sim(options);
    EXPECT_TRUE(sim.Start());
    sim.SetRegister(6, 1);
    sim.SetTargetDistance(25.0);
    TRawPort port(sim.DevicePath(), 9600);
    std::vector<int> results;
    for (int i = 0; i < 20; ++i) results.push_back(ReadResult(port).value_or(-1));
    return results;
  };
  std::vector<int> a = run(7), b = run(7);
  EXPECT_EQ(a, b);
  bool varies = false;
  for (int r : a) {
    EXPECT_NEAR(r, 4096, 4);
    varies = varies || r != a[0];
  }
  EXPECT_TRUE(varies);
}

Bytes PagePayload(const std::vector<uint16_t>& words, uint8_t page, uint8_t marker = 0xAA) {
  Bytes payload;
  for (uint16_t w : words) {
    payload.push_back(static_cast<uint8_t>(w >> 8));
    payload.push_back(static_cast<uint8_t>(w));
  }
  payload.push_back(page);
  payload.push_back(marker);
  return payload;
}

TEST_F(SensorSimTest, TablePagesRoundTripHighByteFirst) {
  std::vector<uint16_t> words(512);
  for (size_t i = 0; i < words.size(); ++i) words[i] = static_cast<uint16_t>(0x1234 + 97 * i);
  EXPECT_EQ(Ask(*port_, 1, 10, PagePayload(words, 7), 1), (Bytes{0xAA}));
  EXPECT_EQ(sim_->TablePage(7), words);
  EXPECT_EQ(sim_->TablePage(6), std::vector<uint16_t>(512, 0));

  auto page = Ask(*port_, 1, 9, {7}, 1024);
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ((*page)[0], 0x12);
  EXPECT_EQ((*page)[1], 0x34);
  std::vector<uint16_t> back(512);
  for (size_t i = 0; i < back.size(); ++i)
    back[i] = static_cast<uint16_t>(((*page)[2 * i] << 8) | (*page)[2 * i + 1]);
  EXPECT_EQ(back, words);

  // Refused: a page beyond the table, a missing 0xAA at the end.
  std::vector<uint16_t> other(512, 0x5555);
  EXPECT_NE(Ask(*port_, 1, 10, PagePayload(other, 41), 1), (Bytes{0xAA}));
  EXPECT_NE(Ask(*port_, 1, 10, PagePayload(other, 7, 0x55), 1), (Bytes{0xAA}));
  EXPECT_EQ(sim_->TablePage(7), words);
  EXPECT_FALSE(Ask(*port_, 1, 9, {41}, 1024, 150).has_value());
}

TEST_F(SensorSimTest, LineResultsGoThroughALoadedTable) {
  // A table that maps each raw position to a third of it, as if calibrated that way; entries
  // below 3000 stay 0, i.e. not calibrated.
  for (int page = 0; page < 41; ++page) {
    std::vector<uint16_t> words(512);
    for (int i = 0; i < 512; ++i) {
      int raw = page * 512 + i;
      words[i] = raw < 3000 ? 0 : static_cast<uint16_t>(raw / 3);
    }
    sim_->SetTablePage(static_cast<uint8_t>(page), words);
  }
  sim_->SetRegister(23, 100);  // zero point applies to the table's code too
  for (double mm : {20.0, 55.5, 99.0}) {
    SCOPED_TRACE(mm);
    sim_->SetTargetDistance(mm);
    EXPECT_EQ(ReadResult(*port_), std::lround(sim_->RawPosition(mm)) / 3 - 100);
  }
  sim_->SetTargetDistance(0.0);  // raw 1500: outside the calibrated stretch
  EXPECT_EQ(ReadResult(*port_), 0);
  sim_->ClearTable();
  sim_->SetTargetDistance(50.0);
  EXPECT_EQ(ReadResult(*port_), 8192 - 100);
}

TEST_F(SensorSimTest, StreamsSamplesUntilStopped) {
  sim_->SetTargetDistance(25.0);
  sim_->SetRegister(8, 0x10);  // sampling period 10000 us
  sim_->SetRegister(9, 0x27);
  int64_t started = MonotonicMs();
  port_->Send(Request(1, 7));
  Bytes samples = port_->Read(40, 2000);
  int64_t took = MonotonicMs() - started;
  ASSERT_EQ(samples.size(), 40u);
  EXPECT_GE(took, 90);  // ten samples, 10 ms apart
  EXPECT_TRUE(sim_->Streaming());
  int previousTag = -1;
  for (size_t i = 0; i < samples.size(); i += 4) {
    Bytes one(samples.begin() + static_cast<long>(i), samples.begin() + static_cast<long>(i) + 4);
    EXPECT_TRUE(TagsUniform(one));
    EXPECT_NE(one[0] & 0x70, previousTag);
    previousTag = one[0] & 0x70;
    EXPECT_EQ(Decode(one), (Bytes{0x00, 0x10}));  // 4096
  }

  // Busy streaming: other requests get no answer of their own, only more samples.
  port_->Send(Request(1, 1));
  Bytes more = port_->Read(16, 500);
  ASSERT_EQ(more.size(), 16u);
  for (size_t i = 0; i < more.size(); i += 4)
    EXPECT_EQ(
        Decode(Bytes(more.begin() + static_cast<long>(i), more.begin() + static_cast<long>(i) + 4)),
        (Bytes{0x00, 0x10}));

  port_->Send(Request(1, 8, {0, 0}));
  EXPECT_TRUE(WaitUntil([&] { return !sim_->Streaming(); }));
  port_->Read(4, 30);
  tcflush(port_->Fd(), TCIFLUSH);
  EXPECT_TRUE(port_->Read(4, 100).empty());
  EXPECT_TRUE(Ask(*port_, 1, 1, {}, 8).has_value());
}

TEST_F(SensorSimTest, PulseRecordPeaksAtThePositionThatFollowsTheDistance) {
  int previousPosition = 0;
  for (double mm : {10.0, 50.0, 90.0}) {
    SCOPED_TRACE(mm);
    sim_->SetTargetDistance(mm);
    auto record = Ask(*port_, 1, 15, {}, 260);
    ASSERT_TRUE(record.has_value());
    auto word = [&](size_t i) { return (*record)[2 * i] | ((*record)[2 * i + 1] << 8); };
    int position = word(128);
    EXPECT_EQ(position, std::lround(sim_->RawPosition(mm) / 10));
    EXPECT_GT(position, previousPosition);
    previousPosition = position;
    size_t peak = 0;
    for (size_t i = 1; i < 128; ++i)
      if (word(i) > word(peak)) peak = i;
    EXPECT_NEAR(static_cast<int>(peak), 42, 2);
    EXPECT_GT(word(peak), 4 * word(0));
    int exposure = word(129);
    EXPECT_GT(exposure, 0);
    EXPECT_LE(exposure, 4000);  // max integration time 400 us, in tenths
  }
}

TEST_F(SensorSimTest, SilenceFaults) {
  sim_->FailSilent();
  EXPECT_FALSE(Ask(*port_, 1, 1, {}, 8, 150).has_value());
  WriteRegister(*port_, 5, 3);  // a silent sensor hears nothing either
  ASSERT_TRUE(WaitUntil([&] { return sim_->Requests().size() == 2; }));
  sim_->FailSilent(false);
  EXPECT_TRUE(Ask(*port_, 1, 1, {}, 8).has_value());
  EXPECT_EQ(sim_->Register(5), 20);

  sim_->FailSilentAfter(2);
  EXPECT_TRUE(Ask(*port_, 1, 1, {}, 8).has_value());
  EXPECT_TRUE(ReadResult(*port_).has_value());
  EXPECT_FALSE(Ask(*port_, 1, 1, {}, 8, 150).has_value());
  EXPECT_FALSE(Ask(*port_, 1, 1, {}, 8, 150).has_value());
  sim_->ClearFaults();
  EXPECT_TRUE(Ask(*port_, 1, 1, {}, 8).has_value());
}

TEST_F(SensorSimTest, CorruptNextTagsSpoilsExactlyOneAnswer) {
  sim_->CorruptNextTags();
  auto bad = port_->Exchange(Request(1, 6), 2);
  ASSERT_TRUE(bad.has_value());
  EXPECT_FALSE(TagsUniform(*bad));
  auto good = port_->Exchange(Request(1, 6), 2);
  ASSERT_TRUE(good.has_value());
  EXPECT_TRUE(TagsUniform(*good));
}

TEST_F(SensorSimTest, SplitAnswerArrivesInPiecesWithGaps) {
  Bytes whole = Decode(port_->Exchange(Request(1, 1), 8).value_or(Bytes{}));
  ASSERT_EQ(whole.size(), 8u);
  sim_->SplitNextAnswer(3, 40);
  port_->Send(Request(1, 1));
  auto pieces = port_->ReadPieces(16, 15, 1000);
  ASSERT_EQ(pieces.size(), 3u);
  Bytes wire;
  for (const Bytes& piece : pieces) wire.insert(wire.end(), piece.begin(), piece.end());
  EXPECT_TRUE(TagsUniform(wire));
  EXPECT_EQ(Decode(wire), whole);
  // The next answer comes whole again.
  port_->Send(Request(1, 1));
  EXPECT_EQ(port_->ReadPieces(16, 15, 1000).size(), 1u);
}

TEST_F(SensorSimTest, HangUpIsSeenOnTheSlave) {
  sim_->HangUp();
  pollfd p{port_->Fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 500), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  uint8_t byte;
  EXPECT_LE(::read(port_->Fd(), &byte, 1), 0);
  sim_->Stop();  // and it still stops cleanly
}

TEST_F(SensorSimTest, SurvivesThePortBeingClosedAndReopened) {
  for (int i = 0; i < 3; ++i) {
    port_ = std::make_unique<TRawPort>(sim_->DevicePath(), 9600);
    ASSERT_TRUE(port_->Ok());
    EXPECT_TRUE(Ask(*port_, 1, 1, {}, 8).has_value());
    port_.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
}

TEST_F(SensorSimTest, ResynchronisesOnTheNextAddressByte) {
  Bytes noise = {0x85, 0xF3, 0x01, 0x82, 0x81};  // stray bytes, then a frame broken off
  Bytes frame = Request(1, 1);
  noise.insert(noise.end(), frame.begin(), frame.end());
  auto wire = port_->Exchange(noise, 8);
  ASSERT_TRUE(wire.has_value());
  EXPECT_EQ(Decode(*wire)[0], 7);
  // Codes the sensor does not know get no answer.
  EXPECT_FALSE(Ask(*port_, 1, 5, {}, 1, 150).has_value());
}

TEST_F(SensorSimTest, LogsEveryRequestFrame) {
  sim_->ClearRequests();
  WriteRegister(*port_, 0x24, 0x12);
  ReadRegister(*port_, 0x24);
  ReadRegister(*port_, 0x24, 3);  // not its address: seen, not answered
  ASSERT_TRUE(WaitUntil([&] { return sim_->Requests().size() == 3; }));
  EXPECT_EQ(sim_->Requests(), (std::vector<Bytes>{{0x01, 0x83, 0x84, 0x82, 0x82, 0x81},
                                                  {0x01, 0x82, 0x84, 0x82},
                                                  {0x03, 0x82, 0x84, 0x82}}));
}

TEST_F(SensorSimTest, PacedAnswersTakeAtLeastTheirWireTime) {
  TSensorSimOptions options;
  options.Baud = 2400;
  Begin(options);
  uint32_t before = sim_->AnswerCount();
  int64_t start = MonotonicMs();
  ASSERT_TRUE(Ask(*port_, 1, 1, {}, 8, 1000).has_value());
  // 2 request and 16 answer bytes of 11 bits at 2400 baud.
  EXPECT_GE(MonotonicMs() - start, 18 * 11 * 1000 / 2400 - 1);
  EXPECT_EQ(sim_->AnswerCount(), before + 1);
}

}  // namespace
}  // namespace karvo::sim
