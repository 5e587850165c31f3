#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "files/TextFile.h"
#include "support/ScratchDir.h"

namespace karvo {
namespace {

namespace fs = std::filesystem;
using test::FileBytes;

TEST(TextFile, WriterReplacesThroughLinksAndKeepsPermissionsReaderTakesPlainFilesOnly) {
  const test::TScratchDir dir;
  const std::string real = dir.Path("real.txt");
  test::PutFile(real, "old");
  chmod(real.c_str(), 0640);
  ASSERT_EQ(symlink("real.txt", dir.Path("link.txt").c_str()), 0);
  ASSERT_EQ(symlink("later.txt", dir.Path("dangling.txt").c_str()), 0);
  ASSERT_EQ(symlink("loop.txt", dir.Path("loop.txt").c_str()), 0);

  int error = 0;
  ASSERT_TRUE(WriteFileReplacing(dir.Path("link.txt"), "new\r\n", error)) << error;
  ASSERT_TRUE(WriteFileReplacing(dir.Path("dangling.txt"), "made", error)) << error;
  EXPECT_FALSE(WriteFileReplacing(dir.Path("loop.txt"), "x", error));
  EXPECT_EQ(error, ELOOP);

  EXPECT_TRUE(fs::is_symlink(dir.Path("link.txt")));
  EXPECT_TRUE(fs::is_symlink(dir.Path("dangling.txt")));
  EXPECT_EQ(FileBytes(real), "new\r\n");
  EXPECT_EQ(FileBytes(dir.Path("later.txt")), "made");
  struct stat info {};
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(dir.Entries(), 5u) << "no temporary file is left";

  // The reader refuses what is no plain file, without blocking on a pipe.
  ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
  const std::tuple<std::string, size_t, const char*> cases[] = {
      {dir.Path("fifo"), 1000, "Not a regular file."},
      {dir.Root, 1000, "Is a directory."},
      {dir.Path("absent"), 1000, "No such file or directory."},
      {real, 4, "The file is too large (5 bytes)."},
  };
  for (const auto& [path, max, why] : cases) {
    std::string bytes = "stale", reason;
    EXPECT_FALSE(ReadRegularFile(path, max, bytes, reason)) << path;
    EXPECT_EQ(reason, why) << path;
    EXPECT_TRUE(bytes.empty());
  }
  std::string bytes, reason;
  EXPECT_TRUE(ReadRegularFile(real, 5, bytes, reason));
  EXPECT_EQ(bytes, "new\r\n");
}

}  // namespace
}  // namespace karvo
