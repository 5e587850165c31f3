// The simulated sensor through the program's own sensor link: when it answers and when it keeps
// silent, its register sets, results, stream, pulse record and faults. What the session's tests
// already see through it (addresses, rates, table pages, hang-ups) is not repeated here.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"

namespace karvo::sim {
namespace {

using std::chrono::milliseconds;

class SimLinkTest : public ::testing::Test {
 protected:
  void Begin(uint32_t baud = 9600, uint8_t address = 1, bool pace = false) {
    TSensorSimOptions options;
    options.Pace = pace;
    options.Noise = 0;
    options.FlashWriteMs = pace ? options.FlashWriteMs : 30;
    options.Baud = baud;
    options.Address = address;
    sim_ = std::make_unique<TSensorSim>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    link_.Pause = [](uint32_t) {};  // the echo's timing is the program's business
    link_.Trace = [this](char direction, const uint8_t* bytes, size_t count) {
      if (direction == '<') answers_.emplace_back(bytes, bytes + count);
    };
    ASSERT_EQ(Reopen(baud), ST_OK);
  }
  // Short time-outs: an unpaced sensor answers at once, and a silent one should cost little.
  uint32_t Reopen(uint32_t baud, uint8_t parity = 2) {
    link_.Open({.Name = sim_->DevicePath(), .BaudRate = baud});
    link_.PortSettings.Parity = parity;
    link_.PortSettings.ReadTotal = 100;
    return link_.Port.Open(link_.PortSettings);
  }
  bool Answers(uint8_t address) {
    uint8_t value;
    return link_.ReadRegisters(address, 0, 1, &value) == ST_OK;
  }
  uint16_t Result() {
    uint16_t result = 0;
    EXPECT_EQ(link_.ReadResult(1, result), ST_OK);
    return result;
  }

  std::unique_ptr<TSensorSim> sim_;
  TKARVOInterface link_;
  std::vector<std::vector<uint8_t>> answers_;  // raw, as they arrived
};

TEST_F(SimLinkTest, HearsOnlyItsRateAndEvenParityAndTakesLinkAndIdentityFromItsWorkingRegisters) {
  Begin();
  EXPECT_TRUE(Reopen(19200) == ST_OK && !Answers(1)) << "another rate";
  EXPECT_TRUE(Reopen(9600, 1) == ST_OK && !Answers(1)) << "odd parity";
  ASSERT_EQ(Reopen(9600), ST_OK);
  const uint8_t address = 9, range[2] = {0x2C, 0x01};
  ASSERT_EQ(link_.WriteRegisters(1, 3, 1, &address), ST_OK);
  EXPECT_TRUE(Answers(9) && !Answers(1));
  EXPECT_EQ(sim_->FlashRegister(3), 1) << "nothing was stored";
  ASSERT_EQ(link_.WriteRegisters(9, 150, 2, range), ST_OK);
  IdentityRecord identity;
  ASSERT_EQ(link_.Identify(9, identity), ST_OK);
  EXPECT_EQ(identity.MeasuringRange, 300);
}

// Register 5 is 20 in the factory set, 7 in FLASH and 9 in the working set before the command.
// The sensor starts at 115200 baud, address 5: a restore moves it to 9600, address 1. A wrong
// acknowledge means the command was not carried out.
TEST_F(SimLinkTest, FlashCommandsMoveTheRegisterSets) {
  const struct {
    uint8_t code;
    bool wrongAck;
    uint32_t status;
    int working, flash, factory;
    uint32_t baud, address;
  } cases[] = {
      {FLASH_STORE, false, ST_OK, 9, 9, 20, 115200, 5},
      {FLASH_STORE, true, ST_WRITE_FAILED, 9, 7, 20, 115200, 5},
      {FLASH_FACTORY, false, ST_OK, 9, 7, 9, 115200, 5},
      {FLASH_RESTORE, false, ST_OK, 20, 20, 20, 9600, 1},
      {FLASH_RESTORE, true, ST_WRITE_FAILED, 9, 7, 20, 115200, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + (c.wrongAck ? " wrong ack" : ""));
    Begin(115200, 5);
    const uint8_t levels[2] = {7, 9};
    ASSERT_EQ(link_.WriteRegisters(5, 5, 1, &levels[0]), ST_OK);
    ASSERT_EQ(link_.FlashControl(5, FLASH_STORE), ST_OK);
    ASSERT_EQ(link_.WriteRegisters(5, 5, 1, &levels[1]), ST_OK);
    if (c.wrongAck) sim_->WrongAckNext();
    EXPECT_EQ(link_.FlashControl(5, c.code), c.status);
    EXPECT_EQ(
        std::vector<int>({sim_->Register(5), sim_->FlashRegister(5), sim_->FactoryRegister(5)}),
        std::vector<int>({c.working, c.flash, c.factory}));
    ASSERT_EQ(Reopen(c.baud), ST_OK);
    EXPECT_TRUE(Answers(c.address));
  }
}

// The program reads the echo 1000 ms after its request; until the flash is written, the
// sensor hears nothing.
TEST_F(SimLinkTest, FlashEchoIsOnTheLineWhenTheProgramReadsIt) {
  Begin(9600, 1, true);
  link_.Pause = [this](uint32_t ms) {
    EXPECT_FALSE(Answers(1)) << "busy";  // takes 3 reads of 120 ms
    std::this_thread::sleep_for(milliseconds(ms - 360));
  };
  EXPECT_EQ(link_.FlashControl(1, FLASH_STORE), ST_OK);
}

TEST_F(SimLinkTest, ResultFollowsTheModeOfRunTheZeroPointAndTheCalibrationTable) {
  Begin();
  const struct {
    const char* name;
    uint8_t mode;
    int16_t zero;
    double mm;
    int expected;  // -1: the raw position of mm
  } cases[] = {
      {"Line at a quarter", 0, 0, 25.0, 4096},
      {"2 reads as Line", 2, 0, 50.0, 8192},
      {"Line less the zero point", 0, 1000, 25.0, 3096},
      {"Line less a negative zero point", 0, -200, 25.0, 4296},
      {"Line beyond the zero point", 0, 5000, 25.0, 65536 - 904},
      {"NonLine ignores the zero point", 1, 1000, 60.0, -1},
      {"Line, no target in view", 0, 0, 120.0, 0},
      {"NonLine, no target in view", 1, 0, -10.0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim_->SetRegister(7, c.mode);
    sim_->SetRegister(23, static_cast<uint8_t>(c.zero));
    sim_->SetRegister(24, static_cast<uint8_t>(static_cast<uint16_t>(c.zero) >> 8));
    sim_->SetTargetDistance(c.mm);
    EXPECT_EQ(Result(), c.expected >= 0 ? c.expected : std::lround(sim_->RawPosition(c.mm)));
  }

  // Each raw position maps to the code of the distance it was seen at, as a calibration sweep
  // builds the table; positions the sweep never saw stay 0. Pages travel in the table tests.
  std::vector<uint16_t> table(42 * 512, 0);
  for (double mm = 0; mm <= 100.0; mm += 0.001)
    table[std::lround(sim_->RawPosition(mm))] = static_cast<uint16_t>(std::lround(mm * 163.84));
  EXPECT_EQ(link_.WriteTablePage(1, 41, &table[0]), ST_WRITE_FAILED) << "no such page";
  for (uint8_t page = 0; page < 41; ++page)
    sim_->SetTablePage(page, {&table[page * 512], &table[page * 512 + 512]});
  sim_->SetRegister(23, 0);
  sim_->SetRegister(24, 0);
  sim_->SetRegister(7, 1);  // the sensor's own raw output is still non-linear
  sim_->SetTargetDistance(50.0);
  EXPECT_GT(std::abs(Result() - (1500 + 20500) / 2), 1000);
  sim_->SetRegister(7, 0);
  for (double mm : {5.0, 33.3, 91.0}) {
    sim_->SetTargetDistance(mm);
    EXPECT_NEAR(static_cast<int16_t>(Result()) * 100.0 / 16384, mm, 0.02) << mm;
  }
  sim_->SetRegister(23, 100);
  sim_->SetTargetDistance(-2.0);  // in view, but not calibrated
  EXPECT_EQ(Result(), 0);
  sim_->ClearTable();  // the plain scale again, less the zero point
  EXPECT_EQ(Result(), static_cast<uint16_t>(-328 - 100));

  sim_->SetRegister(7, 3);  // a thermistor reading that warms up slowly
  for (int i = 0, last = Result(), t = last; i < 50; ++i, last = t) {
    t = Result();
    EXPECT_TRUE(t > 2000 && t < 3000 && std::abs(t - last) <= 4) << t << " after " << last;
  }
}

TEST_F(SimLinkTest, StreamsAtTheSamplingPeriodUntilStoppedWithFreshTagsOnEveryAnswer) {
  Begin();
  sim_->SetTargetDistance(75.0);
  sim_->SetRegister(8, 0x10);  // sampling period 10000 us
  sim_->SetRegister(9, 0x27);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(link_.StartStream(1), ST_OK);
  for (int i = 0; i < 15; ++i) {
    uint16_t sample = 0;
    ASSERT_EQ(link_.ReadStreamSample(1, sample), ST_OK) << i;
    EXPECT_EQ(sample, 12288);
    // Busy streaming: a request gets no answer of its own, only more samples.
    if (i == 10) {
      ASSERT_EQ(link_.Send(CMD_IDENTIFY, nullptr, 0), ST_OK);
    }
  }
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(140));
  ASSERT_TRUE(link_.StopStream(1) == ST_OK && link_.StopStream(1) == ST_OK) << "as the program";
  for (int i = 0; i < 100 && sim_->Streaming(); ++i) std::this_thread::sleep_for(milliseconds(2));
  EXPECT_FALSE(sim_->Streaming());
  EXPECT_EQ(Result(), 12288);

  // Bits 4..6 are the same in all bytes of an answer and change from one answer to the next.
  int previous = -1;
  for (const auto& wire : answers_) {
    ASSERT_FALSE(wire.empty());
    for (uint8_t b : wire) EXPECT_EQ(b & 0xF0, 0x80 | (wire[0] & 0x70));
    EXPECT_NE(wire[0] & 0x70, previous);
    previous = wire[0] & 0x70;
  }
}

TEST_F(SimLinkTest, PulseRecordPeaksAtThePositionThatFollowsTheDistance) {
  Begin();
  for (double mm : {10.0, 50.0, 90.0}) {
    SCOPED_TRACE(mm);
    sim_->SetTargetDistance(mm);
    uint8_t bytes[PULSE_RECORD_SIZE];
    ASSERT_EQ(link_.ReadPulse(1, bytes), ST_OK);
    const PulseRecord record = PulseRecord::FromBytes(bytes);
    EXPECT_EQ(record.Position, std::lround(sim_->RawPosition(mm) / 10));
    const auto peak = std::max_element(record.Samples, record.Samples + PULSE_SAMPLES);
    EXPECT_NEAR(peak - record.Samples, 42, 2);
    EXPECT_GT(*peak, 4 * record.Samples[0]);
    // Up to the max integration time, 400 us, in tenths.
    EXPECT_TRUE(record.Exposure > 0 && record.Exposure <= 4000) << record.Exposure;
  }
}

TEST_F(SimLinkTest, FaultsShowAsTheLinksStatuses) {
  Begin();
  const uint8_t level = 3;
  const struct {
    const char* name;
    std::function<void()> fault;
    uint32_t status;
    bool once;
  } cases[] = {
      {"inconsistent tags", [&] { sim_->CorruptNextTags(); }, ST_BAD_FRAME, true},
      {"three pieces", [&] { sim_->SplitNextAnswer(3, 50); }, ST_OK, true},
      {"four pieces", [&] { sim_->SplitNextAnswer(4, 50); }, ST_READ_SHORT, true},
      // A silent sensor does not carry out what it hears either.
      {"silent",
       [&] {
         sim_->FailSilent();
         link_.WriteRegisters(1, 5, 1, &level);
       },
       ST_READ_SHORT, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uint16_t result = 0;
    c.fault();
    EXPECT_EQ(link_.ReadResult(1, result), c.status);
    EXPECT_TRUE(c.status != ST_OK || result == 8192) << "pieces put together";
    if (!c.once) sim_->ClearFaults();
    EXPECT_EQ(Result(), 8192);
  }
  EXPECT_EQ(sim_->Register(5), 20);
}

}  // namespace
}  // namespace karvo::sim
