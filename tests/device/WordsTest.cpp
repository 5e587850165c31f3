// The words the command line and Python share, and the two shared operations: a whole set
// written with or without force, and the run mode the sensor holds.
#include <gtest/gtest.h>

#include "device/Words.h"
#include "sim/SensorSim.h"
#include "support/FastSensor.h"

namespace karvo::device {
namespace {

constexpr uint8_t REG_MODE = 7;

// Words are taken in any letter case, as typed; nothing else near them is.
TEST(Words, EveryWordNamesItsOwnKindInAnyCaseAndNothingElseIsTaken) {
  for (SweepKind kind : {SweepKind::Calibrate, SweepKind::Verify, SweepKind::Home, SweepKind::End})
    EXPECT_EQ(SweepKindNamed(SweepWord(kind)), kind);
  for (FlashOperation op :
       {FlashOperation::Store, FlashOperation::Restore, FlashOperation::Factory})
    EXPECT_EQ(FlashOperationNamed(FlashWord(op)), op);
  for (const char* word : {"", "verify ", "calib", "homes", "flash", "store"})
    EXPECT_FALSE(SweepKindNamed(word)) << word;
  for (const char* word : {"", "restore\n", "factor", "calibrate"})
    EXPECT_FALSE(FlashOperationNamed(word)) << word;
  for (const char* word : {"", "Pulse ", "Non Line"}) EXPECT_FALSE(RunModeNamed(word));
  EXPECT_EQ(SweepKindNamed("Calibrate"), SweepKind::Calibrate);
  EXPECT_EQ(FlashOperationNamed("STORE"), FlashOperation::Store);
  EXPECT_EQ(RunModeNamed("nonline"), RUN_NONLINE);
  EXPECT_EQ(RunModeNamed("Pulse"), RUN_PULSE);
}

TEST(Words, OnlyTheSweepsThatMeasureHaveAResultFile) {
  const struct {
    SweepKind Kind;
    const char* File;
  } cases[] = {{SweepKind::Calibrate, "1234.klb"},
               {SweepKind::Verify, "1234.pvk"},
               {SweepKind::Home, ""},
               {SweepKind::End, ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(DefaultSweepFile(c.Kind, 1234), c.File);
    EXPECT_EQ(SweepExtension(c.Kind) != nullptr, *c.File != '\0');
  }
  EXPECT_EQ(DefaultSweepFile(SweepKind::Verify, 65535), "65535.pvk");
}

class WordsOnSensor : public ::testing::Test {
 protected:
  WordsOnSensor() : Sim(test::FastSensor(300, 0)) {}
  void SetUp() override {
    ASSERT_TRUE(Sim.Start());
    ASSERT_TRUE(Dev.Open({.Port = Sim.DevicePath(), .Baud = 115200, .Address = 5}));
    IdentityRecord id;
    ASSERT_TRUE(Dev.Identify(id));
    ASSERT_TRUE(Dev.ReadParameters(Read));
  }
  size_t Writes() const {
    size_t n = 0;
    for (const auto& frame : Sim.Requests()) n += frame.size() > 1 && (frame[1] & 0x0F) == 3;
    return n;
  }

  sim::TSensorSim Sim;
  Sensor Dev;
  TParamSet Read;
};

TEST_F(WordsOnSensor, AnUnforcedSetWithARefusedValueSendsNothingAForcedOneSendsEveryRow) {
  TParamSet values = Read;
  values[ROW_CAN_STD_ID].Value = 4096;  // beyond 11 bits
  for (bool force : {false, true}) {
    Sim.ClearRequests();
    std::vector<int> failed;
    const Result r = WriteParameterSet(Dev, values, force, nullptr, &failed);
    if (force) {
      EXPECT_TRUE(r) << r.Describe();
      EXPECT_TRUE(failed.empty());
      // The refused value went out as it is.
      const std::vector<uint8_t> image = RegisterImage(ROW_CAN_STD_ID, values[ROW_CAN_STD_ID]);
      for (size_t i = 0; i < image.size(); ++i) {
        EXPECT_EQ(Sim.Register(static_cast<uint8_t>(ParamTable[ROW_CAN_STD_ID].Address + i)),
                  image[i]);
      }
    } else {
      EXPECT_EQ(r.Status, ST_BAD_VALUE);
      EXPECT_EQ(failed, std::vector<int>{ROW_CAN_STD_ID});
      EXPECT_EQ(Writes(), 0u);
    }
  }
}

TEST_F(WordsOnSensor, ACancelledForcedWriteStopsBeforeTheFirstRow) {
  CancelToken cancel;
  cancel.Cancel();
  Sim.ClearRequests();
  EXPECT_EQ(WriteParameterSet(Dev, Read, true, &cancel).Status, ST_CANCELLED);
  EXPECT_EQ(Writes(), 0u);
}

TEST_F(WordsOnSensor, TheHeldRunModeFollowsTheRegistersLowBits) {
  const struct {
    uint8_t Register;
    uint32_t Mode;
  } cases[] = {
      {0, RUN_LINE}, {1, RUN_NONLINE}, {2, RUN_LINE}, {3, RUN_TEMPERATURE}, {0xF1, RUN_NONLINE}};
  for (const auto& c : cases) {
    Sim.SetRegister(REG_MODE, c.Register);
    uint32_t mode = 99;
    ASSERT_TRUE(ReadHeldRunMode(Dev, mode));
    EXPECT_EQ(mode, c.Mode) << int(c.Register);
  }
}

}  // namespace
}  // namespace karvo::device
