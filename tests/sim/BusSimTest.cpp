// Several simulated sensors on one pseudo-terminal, as on RS-485: each its own registers,
// serial number and target, and only the addressed one answering.
#include <gtest/gtest.h>

#include <set>

#include "protocol/Karvointerface.h"
#include "sim/SensorSim.h"
#include "sim/SimArguments.h"
#include "support/FastSensor.h"

namespace karvo::sim {
namespace {

// Every sensor answers with its own identity, registers and target; only the addressed one
// answers, once.
TEST(BusSim, OnlyTheAddressedSensorAnswersFromItsOwnIdentityRegistersAndTarget) {
  TSensorSimOptions options = test::FastSensor(100, 0);
  options.Addresses = {3, 1, 7};
  options.Motion = TTargetMotion::Sine;
  TSensorSim sim(options);
  ASSERT_TRUE(sim.Start());
  TKARVOInterface link;
  ASSERT_EQ(link.Open({.Name = sim.DevicePath(), .BaudRate = 115200}), ST_OK);
  const struct {
    uint8_t Address;
    uint16_t Serial;
  } cases[] = {{3, 1234}, {1, 1235}, {7, 1236}, {1, 1235}, {3, 1234}};
  for (const auto& c : cases) {
    const uint32_t before = sim.AnswerCount();
    IdentityRecord id;
    ASSERT_EQ(link.Identify(c.Address, id), ST_OK) << int(c.Address);
    EXPECT_EQ(id.SerialNumber, c.Serial) << int(c.Address);
    // Two answers at once would garble on a real line.
    EXPECT_EQ(sim.AnswerCount(), before + 1);
  }
  const uint8_t averaged = 40;
  ASSERT_EQ(link.WriteRegisters(1, 6, 1, &averaged), ST_OK);
  std::set<uint16_t> results;
  for (uint8_t address : {3, 1, 7}) {
    uint8_t value = 0;
    ASSERT_EQ(link.ReadRegisters(address, 6, 1, &value), ST_OK);
    EXPECT_EQ(value == averaged, address == 1) << int(address);
    uint16_t result = 0;
    ASSERT_EQ(link.ReadResult(address, result), ST_OK);
    results.insert(result);
  }
  // A third of a swing apart, the three targets are never at one place at once.
  EXPECT_EQ(results.size(), 3u);

  link.SetReadTimeouts(5, 60, 1);
  IdentityRecord id;
  EXPECT_EQ(link.Identify(2, id), ST_READ_SHORT);
  // A sensor silenced on its own hears again once the faults are cleared.
  sim.FailSilentAt(7);
  EXPECT_EQ(link.Identify(7, id), ST_READ_SHORT);
  sim.ClearFaults();
  EXPECT_EQ(link.Identify(7, id), ST_OK);
}

TEST(BusSim, AddressListsAreDistinctAddressesInTheirOrder) {
  const std::pair<const char*, std::vector<uint8_t>> good[] = {
      {"1,2,3", {1, 2, 3}}, {"127,1", {127, 1}}, {"5", {5}}};
  for (const auto& [text, expected] : good) {
    std::vector<uint8_t> parsed = {99};  // replaced, not added to
    EXPECT_TRUE(ParseAddressList(text, parsed)) << text;
    EXPECT_EQ(parsed, expected) << text;
  }
  for (const char* text :
       {"1,,2", "0,1", "1,128", "1,1", "1,2,", ",1", "", "a", "1 ,2", "1;2", "2-3"}) {
    std::vector<uint8_t> parsed = {99};
    EXPECT_FALSE(ParseAddressList(text, parsed)) << text;
    EXPECT_EQ(parsed, std::vector<uint8_t>{99}) << text;
  }
}

}  // namespace
}  // namespace karvo::sim
