#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "files/TextFile.h"
#include "support/ScratchDir.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using test::FileBytes;

class TextFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.Path(name); }
  size_t Entries() const { return dir_.Entries(); }
  test::TScratchDir dir_;
};

TEST_F(TextFileTest, ReplacesThroughLinksAndKeepsPermissions) {
  const std::string real = Path("real.txt");
  { std::ofstream(real) << "old"; }
  chmod(real.c_str(), 0640);
  ASSERT_EQ(symlink("real.txt", Path("link.txt").c_str()), 0);
  ASSERT_EQ(symlink("later.txt", Path("dangling.txt").c_str()), 0);

  int error = 0;
  ASSERT_TRUE(WriteFileReplacing(Path("link.txt"), "new\r\n", error)) << error;
  ASSERT_TRUE(WriteFileReplacing(Path("dangling.txt"), "made", error)) << error;

  EXPECT_TRUE(fs::is_symlink(Path("link.txt")));
  EXPECT_TRUE(fs::is_symlink(Path("dangling.txt")));
  EXPECT_EQ(FileBytes(real), "new\r\n");
  EXPECT_EQ(FileBytes(Path("later.txt")), "made");
  struct stat info {};
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(Entries(), 4u);
}

TEST_F(TextFileTest, FailedWriteKeepsThePreviousFileAndSaysWhy) {
  int error = 0;
  EXPECT_FALSE(WriteFileReplacing(Path("no/such/folder/x.txt"), "x", error));
  EXPECT_EQ(error, ENOENT);
  ASSERT_EQ(symlink("loop.txt", Path("loop.txt").c_str()), 0);
  EXPECT_FALSE(WriteFileReplacing(Path("loop.txt"), "x", error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(TextFileTest, ReaderRefusesWhatIsNoPlainFileWithoutBlocking) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  { std::ofstream(Path("big")) << std::string(100, 'x'); }
  struct Case {
    std::string Path;
    size_t Max;
    const char* Reason;
  } cases[] = {
      {Path("fifo"), 1000, "Not a regular file."},
      {dir_.Root, 1000, "Is a directory."},
      {Path("absent"), 1000, "No such file or directory."},
      {Path("big"), 99, "The file is too large (100 bytes)."},
  };
  for (const Case& c : cases) {
    std::string bytes = "stale", reason;
    EXPECT_FALSE(ReadRegularFile(c.Path, c.Max, bytes, reason)) << c.Path;
    EXPECT_EQ(reason, c.Reason) << c.Path;
    EXPECT_TRUE(bytes.empty());
  }
  std::string bytes, reason;
  EXPECT_TRUE(ReadRegularFile(Path("big"), 100, bytes, reason));
  EXPECT_EQ(bytes, std::string(100, 'x'));
}

}  // namespace
}  // namespace karvo
