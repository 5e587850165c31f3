// "Write to file" and "Read from file" with a scripted operator and a scratch folder.
#include "ConnectionFixture.h"
#include "params/ParamFile.h"
#include "support/ScratchDir.h"

namespace karvo::test {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

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
