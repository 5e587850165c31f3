// The grid's events on a session without a sensor: what committing cells does to the working
// set, the run mode and the buttons, and the range window exchange. The rules of single cells
// are tested with params/ParamGrid.
#include "ConnectionFixture.h"
#include "params/ParamGrid.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::string_literals;

class Grid : public ::testing::Test {
 protected:
  void SetUp() override {
    s.Device->SetMeasuringRange(100);
    s.FillParamGrid();
  }
  // The operator selects a row's cell, types `text` into it and clicks another row.
  void Type(int row, const std::string& text, int leaveTo = 0) {
    s.ValueListEditorParamSelectCell(row + 1);
    s.View.Grid[row].Value = text;
    s.ValueListEditorParamSelectCell(leaveTo + 1);
  }
  const std::string& Cell(int row) const { return s.View.Grid[row].Value; }

  TScriptedOperator person;
  TSession s{person};
};

// The buttons follow a committed "Mode of Run" only when connected and not streaming; a fill
// takes the mode back from the register.
TEST_F(Grid, ModeOfRunSetsTheRunModeAndTheButtonsUntilTheNextFill) {
  const struct {
    const char* Cell;
    bool Connected, Streaming;
    uint32_t RunMode;
    const char* Shown;  // register, label, measure/stream/zero enabled, measure caption
  } cases[] = {
      {"Calibration", true, false, RUN_CALIBRATION, "0 ' ' 100 Measure"},
      {"Temperature", false, false, RUN_TEMPERATURE, "3 '0 cl' 000 Stop?"},
      {"Poverka", true, true, RUN_POVERKA, "0 ' ' 010 Stop?"},
  };
  for (const auto& c : cases) {
    TMainView& v = s.View;
    v.ButtonConnectTag = c.Connected;
    s.StreamActive = c.Streaming;
    v.ButtonMeasureEnabled = v.ButtonZeroEnabled = false;
    v.ButtonStreamEnabled = c.Streaming;
    v.ButtonMeasureCaption = "Stop?";
    Type(ROW_MODE_OF_RUN, c.Cell);
    EXPECT_EQ(s.RunMode, c.RunMode) << c.Cell;
    EXPECT_EQ(std::to_string(s.ParamWrite[ROW_MODE_OF_RUN].Value) + " '" + v.LabelRast + "' " +
                  std::to_string(v.ButtonMeasureEnabled) + std::to_string(v.ButtonStreamEnabled) +
                  std::to_string(v.ButtonZeroEnabled) + " " + v.ButtonMeasureCaption,
              c.Shown);
  }
  s.ParamWrite[ROW_MODE_OF_RUN].Value = 7;
  s.FillParamGrid();
  EXPECT_EQ(Cell(ROW_MODE_OF_RUN) + "|" + s.View.LabelRast, "Temperature|0 cl");
  EXPECT_EQ(s.RunMode, RUN_TEMPERATURE);
  EXPECT_EQ(s.ParamRead[ROW_MODE_OF_RUN].Value, 3u);
}

// Leaving cells as filled changes nothing, not even through the coarser units they show.
TEST_F(Grid, CommitsOfUnchangedCellsChangeNothing) {
  const TParamSet before = s.ParamWrite;
  s.View.LabelRast = "12.3456 mm";
  for (int row = 0; row < PARAM_COUNT; ++row) s.ValueListEditorParamSelectCell(row + 1);
  s.ValueListEditorParamExit();
  EXPECT_EQ(s.ParamWrite, before);
  EXPECT_EQ(s.View.LabelRast, "12.3456 mm");
}

TEST_F(Grid, ConversionErrorKeepsTheRowTheTextAndTheValueAndStopsTheMenuAndTheWindow) {
  s.ParamWrite[2].Value = 4;
  s.FillParamGrid();
  Type(2, "", 9);
  const std::string refusal = "KARVO-SP Stop: '' is not a valid integer value";
  EXPECT_EQ(s.SelParam, 2);
  EXPECT_EQ(s.ParamWrite[2].Value, 4u);
  s.ValueListEditorParamContextPopup();
  s.ValueListEditorParamEditButtonClick(12);
  EXPECT_THAT(Boxes(person), ElementsAre(refusal, refusal, refusal));
  EXPECT_TRUE(person.RangeShown.empty());
}

// A refused value shows the stored one again and the row says why until a value is taken.
TEST_F(Grid, ValuesOutsideTheirRowsNeverReachTheSet) {
  const struct {
    int row;
    const char* typed;
    const char* shown;
    uint32_t value;
    const char* refusal;
  } cases[] = {
      {2, "7200", "0", 0,
       "'7200' is not one of 2400, 4800, 9600, 14400, 19200, 38400, 57600, "
       "115200, 230400, 460800."},
      {2, "19200", "19200", 8, ""},
      {17, "1zz", "000", 0, "'1zz' is not a hex number."},
      {14, "4000", "0", 0, "'4000' is outside 0 to 3999."},
  };
  for (const auto& c : cases) {
    Type(c.row, c.typed);
    EXPECT_EQ(Cell(c.row) + "|" + s.View.Grid[c.row].Refusal, c.shown + "|"s + c.refusal);
    EXPECT_EQ(s.ParamWrite[c.row].Value, c.value) << c.typed;
  }
  EXPECT_EQ(s.View.Grid[7].Hint, "0 ~0,2 mW to 31 ~3 mW");
  EXPECT_TRUE(person.Messages.empty());
}

TEST_F(Grid, RangeWindowExchange) {
  s.ParamWrite[11].Value = 1638;   // 10 %
  s.ParamWrite[12].Value = 40000;  // from a file, beyond the scale
  s.FillParamGrid();
  person.RangeAnswers.push_back({25, 75});
  s.ValueListEditorParamSelectCell(12);
  s.View.Grid[11].Value = "50";  // typed, and not used
  s.ValueListEditorParamEditButtonClick(12);
  EXPECT_THAT(person.RangeShown, ElementsAre(std::pair<int32_t, int32_t>{10, 244}));
  EXPECT_EQ(Cell(11) + " " + Cell(12), "25 75");
  EXPECT_EQ(s.ParamWrite[11].Value, 4096u);
  EXPECT_EQ(s.ParamWrite[12].Value, 12288u);

  s.View.Grid[12].Value = "244";
  s.ValueListEditorParamEditButtonClick(13);  // the window gives back what it got
  EXPECT_EQ(s.ParamWrite[12].Value, 16384u) << "held to the scale";
  s.ValueListEditorParamEditButtonClick(10);
  EXPECT_EQ(person.RangeShown.size(), 2u) << "only the two window rows open it";
}

TEST(GridBeforeFill, EventsWithoutRowsDoNothingAndTheKeyFilterBeepsForWhatItDiscards) {
  TScriptedOperator person;
  TSession s{person};
  s.ValueListEditorParamSelectCell(3);
  s.ValueListEditorParamExit();
  s.ValueListEditorParamEditButtonClick(12);
  EXPECT_TRUE(s.ValueListEditorParamKeyPress('x'));
  EXPECT_TRUE(s.View.Grid.empty() && person.RangeShown.empty());
  s.FillParamGrid();
  s.SelParam = 32;
  s.View.Grid[32].Value = "12345678";
  EXPECT_FALSE(s.ValueListEditorParamKeyPress('x'));
  EXPECT_EQ(person.Beeps, 1);
}

}  // namespace
}  // namespace karvo::test
