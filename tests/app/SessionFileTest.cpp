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

TEST_F(ParamFileOps, ReadFailuresKeepWhatWasReadAndAGoodFileRefillsTheGrid) {
  TParamSet file;
  for (int i = 0; i < 31; ++i) file[i].Value = 3u * i + 1;
  for (int row : {4, 5, 6, 20}) file[row].Value = 13;
  file[26].Value = 1;
  file[31].Text = "A b\xD1";
  const std::string bytes = ParamFileBytes(file);
  // The first record, then one whose over-long bad token is cut: the message has to stay
  // readable.
  PutFile(dir.Path("bad.prm"),
          bytes.substr(0, bytes.find('\n') + 1) + "8\t" + std::string(100000, 'x') + "\n");
  PutFile(dir.Path("set.prm"), bytes);
  person.OpenAnswers = {dir.Path("absent.prm"), dir.Path("bad.prm"), dir.Path("set.prm")};
  s.ParamWrite[9].Value = 5;
  s.ParamWrite[34].Text = "x";

  s.LoadParamFile();
  EXPECT_EQ(s.ParamWrite[9].Value, 5u);
  s.LoadParamFile();  // the records read keep their values; the grid is not refreshed
  EXPECT_EQ(s.ParamWrite[0].Value, file[0].Value);
  EXPECT_TRUE(s.View.Grid.empty());
  EXPECT_THAT(
      Boxes(person),
      ElementsAre(
          StartsWith("KARVO-SP Exclamation: Error reading " + dir.Path("absent.prm")),
          "KARVO-SP Stop: '" + std::string(100, 'x') + "...' is not a valid integer value"));
  s.LoadParamFile();
  EXPECT_EQ(s.ParamWrite, file);
  ASSERT_EQ(s.View.Grid.size(), 36u);
  EXPECT_EQ(s.View.Grid[31].Value + "|" + s.View.Grid[26].Value, "A b\xD1|NonLine");
}

}  // namespace
}  // namespace karvo::test
