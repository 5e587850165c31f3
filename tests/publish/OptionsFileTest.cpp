// The service's option file turned into karvo-cli's arguments, seen through a stand-in
// program that prints each argument it gets on a line of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "MqttFixture.h"

namespace karvo::test {
namespace {

TEST(OptionsFile, OneOptionALineBecomesTheArguments) {
  TScratchDir dir;
  const std::string echo = dir.Path("echo.sh");
  PutFile(echo, "#!/bin/sh\nprintf '[%s]\\n' \"$@\"\n");
  chmod(echo.c_str(), 0755);
  struct {
    const char* Conf;
    int Code;
    const char* Args;
  } cases[] = {
      {"--port /dev/ttyUSB0\n--broker mqtt://b:1884\n", 0,
       "[publish]\n[--port]\n[/dev/ttyUSB0]\n[--broker]\n[mqtt://b:1884]\n"},
      // Layout around options, comments and blank lines are not arguments.
      {"  --every   50  \n\n# the plant's broker\n\t--stream\n", 0,
       "[publish]\n[--every]\n[50]\n[--stream]\n"},
      // A value keeps its inner blanks; "=" stays with its option; no final line end needed.
      {"--topic plant/line 3\n--address=1,2,3", 0,
       "[publish]\n[--topic]\n[plant/line 3]\n[--address=1,2,3]\n"},
      {"", 0, "[publish]\n"},
      // A password must not end up on a command line others can read.
      {"--password secret\n", 2, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Conf);
    PutFile(dir.Path("station.conf"), c.Conf);
    TChild run({"/bin/sh", KARVO_PUBLISH_RUN, dir.Path("station.conf")}, dir.Path("out"),
               dir.Path("err"), {"KARVO_CLI=" + echo});
    EXPECT_EQ(run.Wait(), c.Code) << FileBytes(dir.Path("err"));
    EXPECT_EQ(FileBytes(dir.Path("out")), c.Args);
  }
  TChild missing({"/bin/sh", KARVO_PUBLISH_RUN, dir.Path("nonexistent.conf")}, dir.Path("out"),
                 dir.Path("err"));
  EXPECT_EQ(missing.Wait(), 2);
}

}  // namespace
}  // namespace karvo::test
