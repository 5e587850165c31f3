#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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

// What stands at a name that is no regular file is never replaced, also when a link leads
// there, and nothing is left behind.
TEST(TextFile, WriterRefusesWhatIsNoRegularFileAndLeavesItAsItIs) {
  const test::TScratchDir dir;
  ASSERT_EQ(mkfifo(dir.Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(dir.Path("folder").c_str(), 0700), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, dir.Path("socket").c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(symlink("fifo", dir.Path("to-fifo").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", dir.Path("to-null").c_str()), 0);
  ASSERT_EQ(symlink("folder", dir.Path("to-folder").c_str()), 0);
  ASSERT_EQ(symlink("gone/x.txt", dir.Path("to-nowhere").c_str()), 0);
  const size_t entries = dir.Entries();

  const std::tuple<std::string, int> cases[] = {
      {dir.Path("fifo"), EEXIST},      {dir.Path("folder"), EISDIR},
      {dir.Path("folder/"), EISDIR},   {dir.Path("socket"), EEXIST},
      {dir.Path("to-fifo"), EEXIST},   {dir.Path("to-null"), EEXIST},
      {dir.Path("to-folder"), EISDIR}, {dir.Path("to-nowhere"), ENOENT},
      {"/dev/null", EEXIST},           {"", ENOENT},
  };
  for (const auto& [path, expected] : cases) {
    int error = 0;
    EXPECT_FALSE(WriteFileReplacing(path, "data", error)) << path;
    EXPECT_EQ(error, expected) << path;
    if (expected != ENOENT) {
      EXPECT_EQ(WriteTargetProblem(path), expected) << path;
    }
  }
  close(sock);
  struct stat info {};
  ASSERT_EQ(lstat(dir.Path("fifo").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  ASSERT_EQ(lstat(dir.Path("socket").c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  ASSERT_EQ(stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_TRUE(fs::is_symlink(dir.Path("to-null")));
  EXPECT_TRUE(fs::is_empty(dir.Path("folder")));
  EXPECT_EQ(dir.Entries(), entries) << "no temporary file is left";

  EXPECT_EQ(WriteTargetProblem(dir.Path("new.txt")), 0);
  test::PutFile(dir.Path("plain.txt"), "old");
  EXPECT_EQ(WriteTargetProblem(dir.Path("plain.txt")), 0);
}

TEST(TextFile, PrintableTextKeepsNoControlBytes) {
  const std::tuple<std::string, size_t, std::string> cases[] = {
      {"12a", 100, "12a"},
      {"\x1b[2J\x1b]0;owned\x07", 100, "\\x1B[2J\\x1B]0;owned\\x07"},
      {std::string("a\0\r\n\t", 5), 100, "a\\x00\\x0D\\x0A\\x09"},
      {"\xD1\xFF\x7F\\", 100, "\\xD1\\xFF\\x7F\\x5C"},
      {"abcdef", 3, "abc..."},
      {"abc", 3, "abc"},
  };
  for (const auto& [bytes, limit, shown] : cases) EXPECT_EQ(PrintableText(bytes, limit), shown);
}

}  // namespace
}  // namespace karvo
