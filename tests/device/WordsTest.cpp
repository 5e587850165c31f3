// The words and argument checks the command line and Python share, and the identity-row rules.
// Their refusals' texts are checked where scripts meet them, in Python.
#include <gtest/gtest.h>

#include <set>

#include "device/Arguments.h"
#include "device/IdentityRows.h"
#include "device/Statuses.h"
#include "device/Words.h"
#include "params/ParamGrid.h"

namespace karvo::device {
namespace {

// Words are taken in any letter case, as typed; nothing else near them is.
TEST(Words, EveryWordNamesItsOwnKindInAnyCaseAndNothingElseIsTaken) {
  const struct {
    SweepKind Kind;
    const char* File;  // only the sweeps that measure have one
  } sweeps[] = {{SweepKind::Calibrate, "65535.klb"},
                {SweepKind::Verify, "65535.pvk"},
                {SweepKind::Home, ""},
                {SweepKind::End, ""}};
  for (const auto& c : sweeps) {
    EXPECT_EQ(SweepKindNamed(SweepWord(c.Kind)), c.Kind);
    EXPECT_EQ(DefaultSweepFile(c.Kind, 65535), c.File);
    EXPECT_EQ(SweepExtension(c.Kind) != nullptr, *c.File != '\0');
  }
  for (FlashOperation op :
       {FlashOperation::Store, FlashOperation::Restore, FlashOperation::Factory})
    EXPECT_EQ(FlashOperationNamed(FlashWord(op)), op);
  for (const char* word : {"", "verify ", "calib", "homes", "flash", "store"})
    EXPECT_FALSE(SweepKindNamed(word)) << word;
  for (const char* word : {"", "restore\n", "factor", "calibrate"})
    EXPECT_FALSE(FlashOperationNamed(word)) << word;
  for (const char* word : {"", "Pulse ", "Non Line", "Lin"}) EXPECT_FALSE(RunModeNamed(word));
  EXPECT_EQ(SweepKindNamed("Calibrate"), SweepKind::Calibrate);
  EXPECT_EQ(FlashOperationNamed("STORE"), FlashOperation::Store);
  EXPECT_EQ(RunModeNamed("nonline"), RUN_NONLINE);
  EXPECT_EQ(RunModeNamed("Pulse"), RUN_PULSE);
  EXPECT_EQ(RunModeNamed("Lin", {RUN_LINE, RUN_NONLINE}), std::nullopt);
  EXPECT_EQ(PickListSpelling(ROW_WINDOW_CONTROL, "Ful", 100), "Ful");
  EXPECT_EQ(PickListSpelling(ROW_AVERAGED, "abc", 100), "abc");
}

TEST(Arguments, PortNamesTakeKnownNamesPathsAndUrlsOnly) {
  const struct {
    const char* Given;
    const char* Taken;  // "" when refused
  } cases[] = {
      // clang-format off
      {"COM1", "COM1"}, {"com8", "COM8"}, {"Usb", "USB"}, {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"tcp://127.0.0.1:2000", "tcp://127.0.0.1:2000"}, {"COM9", ""}, {"com0", ""},
      {"ttyUSB0", ""}, {"", ""}, {"dev/ttyS0", ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    std::string problem;
    EXPECT_EQ(PortNameOf(c.Given, problem), c.Taken) << c.Given;
    EXPECT_EQ(problem.empty(), *c.Taken != '\0') << c.Given;
  }
}

TEST(IdentityRowsTest, OnlyTheFourIdentityRowsAreComparedAndKept) {
  TParamSet held, loaded;
  held[ROW_SERIAL].Value = 4321;
  held[ROW_RANGE].Value = 100;
  loaded = held;
  loaded[ROW_AVERAGED].Value = 32;  // not identity
  EXPECT_TRUE(DifferingIdentityRows(loaded, held).empty());
  loaded[ROW_SERIAL].Value = 1111;
  loaded[ROW_RANGE].Value = 50;
  EXPECT_EQ(DifferingIdentityRows(loaded, held), (std::vector<int>{ROW_SERIAL, ROW_RANGE}));
  KeepIdentityRows(loaded, held);
  EXPECT_TRUE(DifferingIdentityRows(loaded, held).empty());
  EXPECT_EQ(loaded[ROW_AVERAGED].Value, 32u);
}

TEST(Statuses, EveryStatusHasOneUniqueName) {
  std::set<std::string> names;
  for (const StatusEntry& e : StatusTable()) {
    EXPECT_TRUE(names.insert(e.Name).second) << e.Name;
    EXPECT_STREQ(StatusName(e.Status), e.Name);
    EXPECT_STRNE(e.Text, "unknown status") << e.Status;
  }
  EXPECT_STREQ(StatusName(7), "unknown");
}

}  // namespace
}  // namespace karvo::device
