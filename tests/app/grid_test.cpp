// The grid's events on a session without a sensor: what the cells show, what committing them
// does to the working set, the run mode and the buttons, and the range window exchange.
#include <gtest/gtest.h>

#include <string>

#include "app/Session.h"
#include "params/ParamGrid.h"
#include "support/ScriptedOperator.h"

namespace karvo {
namespace {

class Grid : public ::testing::Test {
 protected:
  test::TScriptedOperator person;
  TSession s{person};

  void SetUp() override {
    s.MeasuringRange = 100;
    s.FillParamGrid();
  }
  // The operator selects a row's cell, types `text` into it and clicks another row.
  void Type(int row, const std::string& text, int leaveTo = 0) {
    s.ValueListEditorParamSelectCell(row + 1);
    s.View.Grid[row].Value = text;
    s.ValueListEditorParamSelectCell(leaveTo + 1);
  }
  const std::string& Cell(int row) const { return s.View.Grid[row].Value; }
  void ShowConnected() {
    s.View.ButtonConnectTag = 1;
    s.View.ButtonMeasureEnabled = s.View.ButtonStreamEnabled = s.View.ButtonZeroEnabled = true;
  }
};

TEST_F(Grid, FirstFillBuildsTheRowsLaterFillsKeepThem) {
  ASSERT_EQ(s.View.Grid.size(), 36u);
  EXPECT_EQ(s.View.Grid[31].Key, "_\xD1ustomer");
  EXPECT_EQ(s.View.Grid[11].EditStyle, esEllipsis);
  EXPECT_EQ(s.View.Grid[26].MaxLength, 12);
  s.View.Grid[9].EditStyle = esEllipsis;
  s.View.Grid[2].PickList = {"stale"};
  s.ParamWrite[7].Value = 31;
  s.ParamWrite[31].Text = "  \xD1x";
  s.MeasuringRange = 300;
  s.FillParamGrid();
  ASSERT_EQ(s.View.Grid.size(), 36u);
  EXPECT_EQ(s.View.Grid[9].EditStyle, esEllipsis) << "styles stay after the first fill";
  EXPECT_EQ(s.View.Grid[2].PickList.size(), 10u) << "pick lists are rebuilt";
  EXPECT_EQ(s.View.Grid[7].PickList.back(), "31 ~5 mW");
  EXPECT_EQ(Cell(7), "31 ~5 mW");
  EXPECT_EQ(Cell(31), "  \xD1x");
  for (int i = 0; i < PARAM_COUNT; ++i) EXPECT_EQ(Cell(i), s.DisplayText(i)) << i;
}

TEST_F(Grid, FillTakesTheRunModeFromTheRegister) {
  s.ParamWrite[26].Value = 7;
  s.ParamRead[26].Value = 99;
  s.RunMode = RUN_POVERKA;
  s.FillParamGrid();
  EXPECT_EQ(Cell(26), "Temperature");
  EXPECT_EQ(s.RunMode, RUN_TEMPERATURE);
  EXPECT_EQ(s.ParamWrite[26].Value, 3u);
  EXPECT_EQ(s.ParamRead[26].Value, 3u);
  EXPECT_EQ(s.View.LabelRast, "0 cl");
}

TEST_F(Grid, ChoosingALoopModeUntilTheNextFill) {
  ShowConnected();
  s.View.ButtonMeasureCaption = "Stop?";
  Type(26, "Calibration");
  EXPECT_EQ(s.RunMode, RUN_CALIBRATION);
  EXPECT_EQ(s.ParamWrite[26].Value, 0u);
  EXPECT_EQ(s.View.LabelRast, " ");
  EXPECT_TRUE(s.View.ButtonMeasureEnabled);
  EXPECT_EQ(s.View.ButtonMeasureCaption, "Measure");
  EXPECT_FALSE(s.View.ButtonStreamEnabled);
  EXPECT_FALSE(s.View.ButtonZeroEnabled);

  Type(26, "NonLine");
  EXPECT_EQ(s.ParamWrite[26].Value, 1u);
  EXPECT_EQ(s.View.LabelRast, "0 px");
  EXPECT_TRUE(s.View.ButtonStreamEnabled);

  Type(26, "Pulse");
  s.FillParamGrid();
  EXPECT_EQ(Cell(26), "Line");
  EXPECT_EQ(s.RunMode, RUN_LINE);
}

TEST_F(Grid, ModeOfRunLeavesTheButtonsAloneOfflineAndWhileStreaming) {
  Type(26, "Temperature");
  EXPECT_EQ(s.RunMode, RUN_TEMPERATURE);
  EXPECT_FALSE(s.View.ButtonMeasureEnabled) << "nothing to measure without a sensor";

  ShowConnected();
  s.View.ButtonMeasureEnabled = s.View.ButtonZeroEnabled = false;
  s.StreamActive = true;
  Type(26, "Poverka");
  EXPECT_TRUE(s.View.ButtonStreamEnabled) << "the stream must stay stoppable";
  EXPECT_FALSE(s.View.ButtonMeasureEnabled) << "no run beside a stream";
  s.StreamActive = false;
}

TEST_F(Grid, LeavingUnchangedCellsChangesNothing) {
  s.ParamWrite[14].Value = 1234;  // after a zero-set request
  s.ParamWrite[0].Value = 5;
  s.ParamWrite[7].Value = 45;  // beyond the laser list
  ShowConnected();
  s.FillParamGrid();
  const TParamSet before = s.ParamWrite;
  s.View.LabelRast = "12.3456 mm";
  for (int row = 0; row < PARAM_COUNT; ++row) s.ValueListEditorParamSelectCell(row + 1);
  s.ValueListEditorParamExit();
  EXPECT_EQ(s.ParamWrite, before);
  EXPECT_EQ(Cell(7), "45");
  EXPECT_EQ(s.View.LabelRast, "12.3456 mm");
  EXPECT_TRUE(person.Messages.empty());
}

TEST_F(Grid, EditsThroughTheEvents) {
  Type(14, "1");
  EXPECT_EQ(s.ParamWrite[14].Value, 16u);
  EXPECT_EQ(Cell(14), "1") << "until the next fill";

  Type(4, "Trigger");
  Type(5, "Mutual_Synch");
  for (int row : {4, 5, 6, 20}) EXPECT_EQ(s.ParamWrite[row].Value, 13u) << row;
  Type(20, "Cotinuous");
  EXPECT_EQ(Cell(4), "Time");

  Type(9, "99999");
  EXPECT_EQ(Cell(9), "0");
  EXPECT_TRUE(person.Messages.empty()) << "refusals come without a message";

  s.FillParamGrid();
  EXPECT_EQ(Cell(14), "0");
}

TEST_F(Grid, ConversionErrorKeepsTheRowTheTextAndTheValue) {
  s.ParamWrite[2].Value = 4;
  s.FillParamGrid();
  Type(2, "", 9);
  ASSERT_EQ(person.Messages.size(), 1u);
  EXPECT_EQ(person.Messages[0].Text, "'' is not a valid integer value");
  EXPECT_EQ(person.Messages[0].Caption, "KARVO-SP");
  EXPECT_EQ(person.Messages[0].Icon, TIcon::Stop);
  EXPECT_EQ(s.SelParam, 2);
  EXPECT_EQ(Cell(2), "");
  EXPECT_EQ(s.ParamWrite[2].Value, 4u);

  // The menu and the range window meet the same refusal and go no further.
  s.ValueListEditorParamContextPopup();
  s.ValueListEditorParamEditButtonClick(12);
  EXPECT_EQ(person.Messages.size(), 3u);
  EXPECT_TRUE(person.RangeShown.empty());

  s.View.Grid[2].Value = "19200";
  s.ValueListEditorParamExit();
  EXPECT_EQ(s.ParamWrite[2].Value, 8u);
}

TEST_F(Grid, RangeWindowExchange) {
  s.ParamWrite[11].Value = 1638;   // 10 %
  s.ParamWrite[12].Value = 40000;  // from a file, beyond the scale
  s.FillParamGrid();
  person.RangeAnswers.push_back({25, 75});
  s.ValueListEditorParamSelectCell(12);
  s.View.Grid[11].Value = "50";  // typed, and not used
  s.ValueListEditorParamEditButtonClick(12);
  ASSERT_EQ(person.RangeShown.size(), 1u);
  EXPECT_EQ(person.RangeShown[0], (std::pair<int32_t, int32_t>{10, 244}));
  EXPECT_EQ(Cell(11), "25");
  EXPECT_EQ(Cell(12), "75");
  EXPECT_EQ(s.ParamWrite[11].Value, 4096u);
  EXPECT_EQ(s.ParamWrite[12].Value, 12288u);

  s.View.Grid[12].Value = "junk";
  s.ValueListEditorParamEditButtonClick(13);  // the window gives back what it got
  EXPECT_EQ(person.RangeShown.at(1).second, 75) << "a cell without a number: the stored value";
  s.ParamWrite[12].Value = 40000;
  s.View.Grid[12].Value = "244";
  s.ValueListEditorParamEditButtonClick(13);
  EXPECT_EQ(s.ParamWrite[12].Value, 16384u) << "held to the scale";
  EXPECT_EQ(Cell(12), "100");

  s.ValueListEditorParamEditButtonClick(10);
  EXPECT_EQ(person.RangeShown.size(), 3u);
}

TEST_F(Grid, KeyFilterBeepsForWhatItDiscards) {
  s.SelParam = 32;
  s.View.Grid[32].Value = "12345678";
  EXPECT_FALSE(s.ValueListEditorParamKeyPress('x'));
  EXPECT_TRUE(s.ValueListEditorParamKeyPress(KEY_BACKSPACE));
  EXPECT_EQ(person.Beeps, 1);
}

TEST(GridBeforeFill, EventsWithoutRowsDoNothing) {
  test::TScriptedOperator person;
  TSession s{person};
  s.ValueListEditorParamSelectCell(3);
  s.ValueListEditorParamExit();
  s.ValueListEditorParamEditButtonClick(12);
  EXPECT_TRUE(s.ValueListEditorParamKeyPress('x'));
  EXPECT_TRUE(s.View.Grid.empty());
  EXPECT_TRUE(person.RangeShown.empty());
  s.FillParamGrid();
  s.ValueListEditorParamSelectCell(0);  // the title row: nothing selected
  EXPECT_EQ(s.SelParam, 0xFF);
  s.ValueListEditorParamExit();
  EXPECT_TRUE(person.Messages.empty());
}

}  // namespace
}  // namespace karvo
