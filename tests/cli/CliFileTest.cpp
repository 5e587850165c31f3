// Files the command line writes and reads: what is no regular file is refused and left as it
// is, before the sensor is touched where that can be known; texts keep their leading blanks;
// a bad parameter file is named with its line and never echoed raw.
#include <sys/stat.h>

#include "CliFixture.h"

namespace karvo::cli {
namespace {

using CliFiles = SimCli;

TEST_F(CliFiles, WhatIsNoRegularFileIsRefusedAndLeftAsItIs) {
  ASSERT_EQ(mkfifo(Dir.Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(Dir.Path("adir").c_str(), 0700), 0);
  struct Case {
    std::vector<std::string> Args;
    std::string Said;
    bool SensorTouched;
  };
  const Case cases[] = {
      {{"save-params", Dir.Path("fifo")}, "Error writing '" + Dir.Path("fifo") + "'. ", false},
      {{"save-params", Dir.Path("fifo"), "--force"}, "File exists.", false},
      {{"save-params", Dir.Path("adir")}, "'. Is a directory.", false},
      {{"save-params", ""}, "Error writing ''. No such file or directory.", false},
      {{"measure", "--count", "3", "--data", Dir.Path("fifo")}, Dir.Path("fifo") + "'", false},
      {{"stream", "--data", Dir.Path("fifo"), "--force"}, Dir.Path("fifo") + "'", false},
  };
  for (const Case& c : cases) {
    Sensor.ClearRequests();
    EXPECT_EQ(Cli(c.Args), EXIT_FILE) << c.Args[0] << " " << c.Args[1];
    EXPECT_NE(Err.find(c.Said), std::string::npos) << Err;
    EXPECT_EQ(!Sensor.Requests().empty(), c.SensorTouched) << Err;
  }
  struct stat info {};
  ASSERT_EQ(stat(Dir.Path("fifo").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(Dir.Entries(), 2u);

  // An existing data file is replaced only with --force, as every other file.
  const std::string old = Dir.Path("old.dat");
  test::PutFile(old, "kept\r\n");
  Sensor.ClearRequests();
  EXPECT_EQ(Cli({"measure", "--count", "2", "--data", old}), EXIT_FILE);
  EXPECT_NE(Err.find("exists; --force replaces it"), std::string::npos) << Err;
  EXPECT_TRUE(Sensor.Requests().empty());
  EXPECT_EQ(test::FileBytes(old), "kept\r\n");
  EXPECT_EQ(Cli({"measure", "--count", "2", "--data", old, "--force"}), EXIT_OK) << Err;
  EXPECT_NE(test::FileBytes(old), "kept\r\n");
}

TEST_F(CliFiles, ATextKeepsItsLeadingBlanksAndABadFileIsNamedWithItsLine) {
  const std::string file = Dir.Path("s.prm");
  ASSERT_EQ(Cli({"load-param", "31", "  ACME"}), EXIT_OK) << Err;
  ASSERT_EQ(Cli({"save-params", file}), EXIT_OK) << Err;
  EXPECT_NE(test::FileBytes(file).find("\n160\t  ACME\n"), std::string::npos);
  EXPECT_EQ(Cli({"compare-params", file}), EXIT_OK) << Out << Err;

  std::string bytes = test::FileBytes(file);
  const size_t line10 = [&] {
    size_t at = 0;
    for (int i = 0; i < 9; ++i) at = bytes.find('\n', at) + 1;
    return at;
  }();
  bytes.replace(line10, bytes.find('\n', line10) - line10, "8\t\x1b]0;owned\x07");
  test::PutFile(file, bytes);
  EXPECT_EQ(Cli({"load-params", file}), EXIT_FILE);
  EXPECT_NE(Err.find(file + ", line 10: '\\x1B]0;owned\\x07' is not a valid integer value"),
            std::string::npos)
      << Err;
  EXPECT_EQ(Err.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace karvo::cli
