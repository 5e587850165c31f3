// The grid's events on a session without a sensor: what committing cells does to the working
// set, the run mode and the buttons, and the range window exchange; "Write to file" and "Read
// from file" with a scripted operator and a scratch folder. The rules of single cells are
// tested with params/ParamGrid.
#include "ConnectionFixture.h"
#include "params/ParamFile.h"
#include "params/ParamGrid.h"
#include "support/ScratchDir.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
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

class ParamFileOps : public ::testing::Test {
 protected:
  TScratchDir dir;
  TScriptedOperator person;
  TSession s{person};
};

// How a file is replaced, and what a failed write leaves, is the file helper's test.
TEST_F(ParamFileOps, SaveOffersTheSerialNumberAsksBeforeReplacingAndShowsFailures) {
  s.View.LabelSerNum = "1234";
  s.ParamWrite[31].Text = "\xD1ustomer";
  const std::string path = dir.Path("1234.prm");
  person.SaveAnswers = {path, path, path, dir.Path("missing/x.prm")};
  person.ConfirmAnswers = {false};
  s.SaveParamFile();
  EXPECT_EQ(person.SaveSuggestions.at(0), "1234.prm");
  EXPECT_TRUE(person.Questions.empty()) << "a new file needs no question";
  EXPECT_EQ(FileBytes(path), ParamFileBytes(s.ParamWrite));

  PutFile(path, "old");
  s.SaveParamFile();  // the question is answered with Cancel
  EXPECT_THAT(person.Questions, ElementsAre("Rewrite file?|KARVO-SP."));
  EXPECT_EQ(FileBytes(path), "old");
  s.SaveParamFile();
  EXPECT_EQ(FileBytes(path), ParamFileBytes(s.ParamWrite));

  s.SaveParamFile();
  EXPECT_THAT(Boxes(person),
              ElementsAre("KARVO-SP Exclamation: Error writing " + dir.Path("missing/x.prm") +
                          ".\rNo such file or directory."));
}

// A file is taken whole or not at all; values outside their rows are taken and listed.
TEST_F(ParamFileOps, AFailedReadTakesNothingAndAGoodFileRefillsTheGridAndListsStrayValues) {
  TParamSet file;
  for (int i = 0; i < 31; ++i) file[i].Value = 1;
  for (int row : {4, 5, 6, 20}) file[row].Value = 13;
  file[2].Value = 4;
  file[16].Value = 100;
  file[8].Value = 200;
  file[17].Value = 0x800;
  file[31].Text = "A b\xD1";
  const std::string bytes = ParamFileBytes(file);
  // 35 records, and an over-long bad token that is cut: the message has to stay readable.
  const std::string cut = bytes.substr(0, bytes.rfind('\n', bytes.size() - 2) + 1);
  PutFile(dir.Path("short.prm"), cut);
  PutFile(dir.Path("bad.prm"),
          bytes.substr(0, bytes.find('\n') + 1) + "8\t" + std::string(100000, 'x') + "\n");
  PutFile(dir.Path("set.prm"), bytes);
  person.OpenAnswers = {dir.Path("absent.prm"), dir.Path("short.prm"), dir.Path("bad.prm"),
                        dir.Path("set.prm")};
  s.ParamWrite[9].Value = 5;
  s.ParamWrite[34].Text = "x";
  const TParamSet before = s.ParamWrite;

  for (int k = 0; k < 3; ++k) s.LoadParamFile();
  EXPECT_EQ(s.ParamWrite, before);
  EXPECT_TRUE(s.View.Grid.empty());
  s.LoadParamFile();
  EXPECT_EQ(s.ParamWrite, file);
  ASSERT_EQ(s.View.Grid.size(), 36u);
  EXPECT_EQ(s.View.Grid[31].Value + "|" + s.View.Grid[8].Value, "A b\xD1|200");
  EXPECT_THAT(
      Boxes(person),
      ElementsAre(StartsWith("KARVO-SP Exclamation: Error reading " + dir.Path("absent.prm")),
                  "KARVO-SP Stop: '' is not a valid integer value",
                  "KARVO-SP Stop: '" + std::string(100, 'x') + "...' is not a valid integer value",
                  "KARVO-SP Warning: Values outside their rows:\r"
                  "row 8 'Number of Averaged Values': 200: '200' is outside 1 to 128.\r"
                  "row 17 'CAN Standard Identifier': 2048: '800' is outside hex 0 to 7FF."));
}

}  // namespace
}  // namespace karvo::test
