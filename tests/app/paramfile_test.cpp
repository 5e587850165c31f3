// "Write to file" and "Read from file" with a scripted operator and a scratch folder.
#include "params/ParamFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/Session.h"
#include "support/ScriptedOperator.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;

class ParamFileOps : public ::testing::Test {
 protected:
  test::TScriptedOperator person;
  TSession s{person};
  fs::path folder;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "karvo-prm-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
  }
  void TearDown() override { fs::remove_all(folder); }

  std::string Path(const char* name) const { return (folder / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  size_t FilesInFolder() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
  }
};

TEST_F(ParamFileOps, SaveOffersTheSerialNumberAndAsksBeforeReplacing) {
  s.SaveParamFile();  // cancelled
  EXPECT_EQ(person.SaveSuggestions.at(0), "none.prm");

  s.View.LabelSerNum = "1234";
  s.ParamWrite[31].Text = "\xD1ustomer";
  const std::string path = Path("1234.prm");
  person.SaveAnswers.push_back(path);
  s.SaveParamFile();
  EXPECT_EQ(person.SaveSuggestions.at(1), "1234.prm");
  EXPECT_TRUE(person.Questions.empty()) << "a new file needs no question";
  EXPECT_EQ(Contents(path), ParamFileBytes(s.ParamWrite));

  Put(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  person.SaveAnswers.push_back(path);
  person.ConfirmAnswers.push_back(false);
  s.SaveParamFile();
  ASSERT_EQ(person.Questions.size(), 1u);
  EXPECT_EQ(person.Questions[0].Text, "Rewrite file?");
  EXPECT_EQ(person.Questions[0].Caption, "KARVO-SP.");
  EXPECT_EQ(Contents(path), "old");

  person.SaveAnswers.push_back(path);
  s.SaveParamFile();
  EXPECT_EQ(Contents(path), ParamFileBytes(s.ParamWrite));
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u) << "the replaced file keeps its permissions";
  EXPECT_EQ(FilesInFolder(), 1u) << "no temporary file is left behind";
  EXPECT_TRUE(person.Messages.empty());
}

TEST_F(ParamFileOps, AFailedWriteIsShownAndLeavesNothingBehind) {
  person.SaveAnswers.push_back(Path("missing/x.prm"));
  s.SaveParamFile();
  ASSERT_EQ(person.Messages.size(), 1u);
  EXPECT_EQ(person.Messages[0].Text.rfind("Error writing " + Path("missing/x.prm") + ".\r", 0), 0u);
  EXPECT_EQ(person.Messages[0].Caption, "KARVO-SP");

  // A folder in the way: the rename fails after the temporary file was written.
  fs::create_directory(folder / "dir.prm");
  person.SaveAnswers.push_back(Path("dir.prm"));
  s.SaveParamFile();
  EXPECT_EQ(person.Messages.size(), 2u);
  EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(ParamFileOps, SavedSetLoadsBackAndRefillsTheGrid) {
  for (int i = 0; i < 31; ++i) s.ParamWrite[i].Value = 3u * i + 1;
  for (int row : {4, 5, 6, 20}) s.ParamWrite[row].Value = 13;
  s.ParamWrite[26].Value = 1;
  s.ParamWrite[31].Text = "A b\xD1";
  const TParamSet saved = s.ParamWrite;
  person.SaveAnswers.push_back(Path("set.prm"));
  s.SaveParamFile();

  s.FillParamGrid();
  for (int i = 0; i < PARAM_COUNT; ++i) s.ParamWrite[i] = TPARAMVALUE{i >= 31 ? "x" : "", 0};
  person.OpenAnswers.push_back(Path("set.prm"));
  s.LoadParamFile();
  EXPECT_TRUE(person.Messages.empty());
  EXPECT_EQ(s.ParamWrite, saved);
  EXPECT_EQ(s.View.Grid[31].Value, "A b\xD1");
  EXPECT_EQ(s.View.Grid[26].Value, "NonLine");
}

TEST_F(ParamFileOps, ReadFailures) {
  s.ParamWrite[9].Value = 5;
  s.LoadParamFile();  // cancelled
  EXPECT_TRUE(person.Messages.empty());

  person.OpenAnswers.push_back(Path("absent.prm"));
  s.LoadParamFile();
  ASSERT_EQ(person.Messages.size(), 1u);
  EXPECT_EQ(person.Messages[0].Text.rfind("Error reading " + Path("absent.prm") + ".\r", 0), 0u);
  person.OpenAnswers.push_back(folder.string());
  s.LoadParamFile();
  EXPECT_EQ(person.Messages.size(), 2u);

  // 35 records: those read keep their values, the grid is not refreshed.
  TParamSet file;
  for (auto& v : file) v.Value = 7;
  const std::string bytes = ParamFileBytes(file);
  Put(Path("short.prm"), bytes.substr(0, bytes.rfind("224\t")));
  person.OpenAnswers.push_back(Path("short.prm"));
  s.LoadParamFile();
  ASSERT_EQ(person.Messages.size(), 3u);
  EXPECT_EQ(person.Messages[2].Text, "'' is not a valid integer value");
  EXPECT_EQ(person.Messages[2].Icon, TIcon::Stop);
  EXPECT_EQ(s.ParamWrite[9].Value, 7u);
  EXPECT_TRUE(s.View.Grid.empty());

  // An over-long bad token is cut in the message, which has to stay readable.
  Put(Path("long.prm"), "8\t" + std::string(100000, 'x') + "\n");
  person.OpenAnswers.push_back(Path("long.prm"));
  s.LoadParamFile();
  EXPECT_EQ(person.LastMessage(),
            "'" + std::string(100, 'x') + "...' is not a valid integer value");
}

}  // namespace
}  // namespace karvo
