// The simulated sensor through the program's own sensor link: what a connection, the
// parameter transfers, measurement, streaming and calibration see, faults included.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"

namespace karvo::sim {
namespace {

// First register and size of each of the 36 parameters, in table order.
const std::pair<uint8_t, uint8_t> PARAMETER_RUNS[36] = {
    {0, 1},   {1, 1},   {4, 1},   {3, 1},   {2, 1},    {2, 1},   {2, 1},   {5, 1},    {6, 1},
    {8, 2},   {10, 2},  {12, 2},  {14, 2},  {16, 1},   {23, 2},  {41, 1},  {32, 1},   {34, 2},
    {36, 4},  {40, 1},  {2, 1},   {129, 1}, {25, 2},   {27, 2},  {130, 2}, {132, 1},  {7, 1},
    {144, 1}, {146, 2}, {148, 2}, {150, 2}, {160, 32}, {192, 8}, {200, 8}, {208, 16}, {224, 16},
};

class SimLinkTest : public ::testing::Test {
 protected:
  void Begin(TSensorSimOptions options) {
    sim_ = std::make_unique<TSensorSim>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    ASSERT_EQ(OpenAt(options.Baud), ST_OK);
  }
  uint32_t OpenAt(uint32_t baud) {
    TLinkSettings settings;
    settings.Name = sim_->DevicePath();
    settings.BaudRate = baud;
    return link_.Open(settings);
  }
  // Time-outs far below the sensor's, for exchanges that are meant to fail.
  void ShortTimeouts() {
    link_.PortSettings.ReadTotal = 100;
    ASSERT_EQ(link_.Port.Open(link_.PortSettings), ST_OK);
  }
  static TSensorSimOptions Quick() {
    TSensorSimOptions options;
    options.Pace = false;
    options.Noise = 0;
    options.FlashWriteMs = 30;
    return options;
  }

  std::unique_ptr<TSensorSim> sim_;
  TKARVOInterface link_;
};

TEST_F(SimLinkTest, ConnectReadsIdentityAndEveryParameterRegister) {
  TSensorSimOptions options;
  options.Baud = 115200;
  options.Address = 17;
  options.SerialNumber = 4321;
  options.MeasuringRange = 250;
  Begin(options);
  IdentityRecord identity;
  ASSERT_EQ(link_.Identify(17, identity), ST_OK);
  EXPECT_EQ(identity.DeviceType, 7);
  EXPECT_EQ(identity.SerialNumber, 4321);
  EXPECT_EQ(identity.BaseDistance, 60);
  EXPECT_EQ(identity.MeasuringRange, 250);
  int registers = 0;
  for (auto [first, size] : PARAMETER_RUNS) {
    uint8_t bytes[32] = {};
    ASSERT_EQ(link_.ReadRegisters(17, first, size, bytes), ST_OK) << int(first);
    for (int k = 0; k < size; ++k) EXPECT_EQ(bytes[k], sim_->Register(first + k)) << first + k;
    registers += size;
  }
  EXPECT_EQ(registers, 126);
  char date[8];
  EXPECT_EQ(link_.ReadRegisters(17, 192, 8, reinterpret_cast<uint8_t*>(date)), ST_OK);
  EXPECT_EQ(std::string(date, 8), "01.02.26");
}

TEST_F(SimLinkTest, WrittenParametersLandHighRegisterFirstAndReadBack) {
  Begin(Quick());
  sim_->ClearRequests();
  const uint8_t value[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_EQ(link_.WriteRegisters(1, 36, 4, value), ST_OK);
  uint8_t back[4] = {};
  ASSERT_EQ(link_.ReadRegisters(1, 36, 4, back), ST_OK);
  EXPECT_EQ(std::vector<uint8_t>(back, back + 4), std::vector<uint8_t>(value, value + 4));
  auto requests = sim_->Requests();
  ASSERT_GE(requests.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    uint8_t reg = static_cast<uint8_t>((requests[k][2] & 0x0F) | ((requests[k][3] & 0x0F) << 4));
    EXPECT_EQ(reg, 39 - k);
  }
}

TEST_F(SimLinkTest, BaudRateParameterMovesTheSensorToTheNewRate) {
  TSensorSimOptions options = Quick();
  Begin(options);
  const uint8_t code = 48;  // 115200
  ASSERT_EQ(link_.WriteRegisters(1, 4, 1, &code), ST_OK);
  IdentityRecord identity;
  ShortTimeouts();
  EXPECT_EQ(link_.Identify(1, identity), ST_READ_SHORT);
  ASSERT_EQ(OpenAt(115200), ST_OK);
  EXPECT_EQ(link_.Identify(1, identity), ST_OK);
}

TEST_F(SimLinkTest, FlashStoreIsAcknowledgedAfterTheProgramsSecond) {
  TSensorSimOptions options;  // real flash time, paced line
  Begin(options);
  const uint8_t level = 9;
  ASSERT_EQ(link_.WriteRegisters(1, 5, 1, &level), ST_OK);
  EXPECT_EQ(link_.FlashControl(1, FLASH_STORE), ST_OK);
  EXPECT_EQ(sim_->FlashRegister(5), 9);
}

TEST_F(SimLinkTest, FaultsShowAsTheLinksStatuses) {
  struct Case {
    const char* name;
    std::function<void(TSensorSim&)> fault;
    uint32_t status;
  };
  const Case cases[] = {
      {"no fault", [](TSensorSim&) {}, ST_OK},
      {"inconsistent tags", [](TSensorSim& s) { s.CorruptNextTags(); }, ST_BAD_FRAME},
      {"three pieces", [](TSensorSim& s) { s.SplitNextAnswer(3, 30); }, ST_OK},
      {"four pieces", [](TSensorSim& s) { s.SplitNextAnswer(4, 30); }, ST_READ_SHORT},
      {"silent", [](TSensorSim& s) { s.FailSilent(); }, ST_READ_SHORT},
      {"silent after one", [](TSensorSim& s) { s.FailSilentAfter(0); }, ST_READ_SHORT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Begin(Quick());
    ShortTimeouts();
    c.fault(*sim_);
    IdentityRecord identity;
    EXPECT_EQ(link_.Identify(1, identity), c.status);
    sim_->ClearFaults();
    EXPECT_EQ(link_.Identify(1, identity), ST_OK);
  }
}

TEST_F(SimLinkTest, WrongAcknowledgesFailFlashAndTableWritesThatDidNotHappen) {
  Begin(Quick());
  link_.Pause = [](uint32_t) {};
  const uint8_t level = 9;
  ASSERT_EQ(link_.WriteRegisters(1, 5, 1, &level), ST_OK);
  sim_->WrongAckNext();
  EXPECT_EQ(link_.FlashControl(1, FLASH_FACTORY), ST_WRITE_FAILED);
  EXPECT_EQ(sim_->FactoryRegister(5), 20);
  EXPECT_EQ(link_.FlashControl(1, FLASH_FACTORY), ST_OK);  // only the next one
  EXPECT_EQ(sim_->FactoryRegister(5), 9);

  uint16_t words[512] = {};
  words[0] = 0x1234;
  sim_->WrongAckNext();
  EXPECT_EQ(link_.WriteTablePage(1, 7, words), ST_WRITE_FAILED);
  EXPECT_EQ(sim_->TablePage(7)[0], 0);
  EXPECT_EQ(link_.WriteTablePage(1, 7, words), ST_OK);
  EXPECT_EQ(sim_->TablePage(7)[0], 0x1234);
}

TEST_F(SimLinkTest, HangUpFailsTheExchangeAtOnce) {
  TSensorSimOptions options;
  options.Baud = 2400;  // a pulse record then takes over two seconds on the wire
  Begin(options);
  std::thread hangUp([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    sim_->HangUp();
  });
  auto start = std::chrono::steady_clock::now();
  uint8_t record[PULSE_RECORD_SIZE];
  EXPECT_EQ(link_.ReadPulse(1, record), ST_READ_FAILED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  hangUp.join();
  uint16_t result = 0;
  EXPECT_EQ(link_.ReadResult(1, result), ST_WRITE_FAILED);
}

TEST_F(SimLinkTest, CalibrationTableRoundTripsAndLinearisesLineResults) {
  TSensorSimOptions options = Quick();
  options.Baud = 115200;
  Begin(options);
  // Each raw position maps to the code of the distance it was seen at, as a calibration
  // sweep builds it; positions the sweep never saw stay 0.
  std::vector<uint16_t> table(41 * 512, 0);
  for (double mm = 0; mm <= 100.0; mm += 0.001) {
    auto raw = static_cast<size_t>(std::lround(sim_->RawPosition(mm)));
    table[raw] = static_cast<uint16_t>(std::lround(mm * 16384 / 100));
  }
  for (uint8_t page = 0; page < 41; ++page)
    ASSERT_EQ(link_.WriteTablePage(1, page, &table[page * 512]), ST_OK) << int(page);
  for (uint8_t page = 0; page < 41; ++page) {
    uint16_t words[512];
    ASSERT_EQ(link_.ReadTablePage(1, page, words), ST_OK);
    EXPECT_TRUE(std::equal(words, words + 512, &table[page * 512])) << int(page);
  }
  sim_->SetRegister(7, 1);  // the sensor's own raw output is still non-linear
  sim_->SetTargetDistance(50.0);
  uint16_t raw = 0;
  ASSERT_EQ(link_.ReadResult(1, raw), ST_OK);
  EXPECT_GT(std::abs(raw - (1500 + 20500) / 2), 1000);
  sim_->SetRegister(7, 0);
  for (double mm : {5.0, 33.3, 50.0, 91.0}) {
    uint16_t code = 0;
    sim_->SetTargetDistance(mm);
    ASSERT_EQ(link_.ReadResult(1, code), ST_OK);
    EXPECT_NEAR(static_cast<int16_t>(code) * 100.0 / 16384, mm, 0.02);
  }
}

TEST_F(SimLinkTest, StreamDeliversSamplesUntilStopped) {
  TSensorSimOptions options;
  options.Baud = 115200;
  options.Noise = 0;
  Begin(options);
  sim_->SetTargetDistance(75.0);
  ASSERT_EQ(link_.StartStream(1), ST_OK);
  for (int i = 0; i < 50; ++i) {
    uint16_t sample = 0;
    ASSERT_EQ(link_.ReadStreamSample(1, sample), ST_OK) << i;
    EXPECT_EQ(sample, 12288);
  }
  EXPECT_TRUE(sim_->Streaming());
  ASSERT_EQ(link_.StopStream(1), ST_OK);
  ASSERT_EQ(link_.StopStream(1), ST_OK);
  for (int i = 0; i < 100 && sim_->Streaming(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_FALSE(sim_->Streaming());
  uint16_t result = 0;
  EXPECT_EQ(link_.ReadResult(1, result), ST_OK);
  EXPECT_EQ(result, 12288);
}

TEST_F(SimLinkTest, PulseRecordDecodesThroughTheLink) {
  Begin(Quick());
  sim_->SetTargetDistance(40.0);
  uint8_t bytes[PULSE_RECORD_SIZE];
  ASSERT_EQ(link_.ReadPulse(1, bytes), ST_OK);
  PulseRecord record = PulseRecord::FromBytes(bytes);
  EXPECT_EQ(record.Position, std::lround(sim_->RawPosition(40.0) / 10));
  EXPECT_GT(record.Samples[42], record.Samples[0]);
  EXPECT_GT(record.Exposure, 0);
}

}  // namespace
}  // namespace karvo::sim
