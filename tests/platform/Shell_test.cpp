// Starting programs: whether a start counts as a success, with and without watching the program.
#include "platform/Shell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/WaitUntil.h"

using namespace quellor;
using quellor::test::WaitUntil;

namespace {

struct TStartCase {
  const char* name;
  std::string program;
  std::vector<std::string> args;
  bool detached;  // what StartDetached says
  bool watched;   // what StartWatched with 500 ms says
};

TEST(Shell, StartsCountAsSuccessesOnlyWhenTheProgramRunsOrEndsWell) {
  const std::vector<TStartCase> cases = {
      {"not on PATH", "quellor-no-such-program", {}, false, false},
      {"not executable", "/etc/hostname", {}, false, false},
      {"ends well", "true", {}, true, true},
      {"ends with an error", "false", {}, true, false},
      {"ends with status 3", "sh", {"-c", "exit 3"}, true, false},
      {"killed by a signal", "sh", {"-c", "kill -9 $$"}, true, false},
      {"still running when the time is up", "sleep", {"3"}, true, true},
  };
  for (const TStartCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StartDetached(c.program, c.args), c.detached);
    EXPECT_EQ(StartWatched(c.program, c.args, 500), c.watched);
  }
}

// A program that runs on is not waited for beyond the watch: StartWatched returns while it still
// runs. The program ends only once the test lets it (or after half a minute), and marks its end.
TEST(Shell, AProgramThatRunsOnIsNotWaitedForBeyondTheWatch) {
  quellor::test::TempDir dir;
  const std::string release = dir.file("release"), ended = dir.file("ended");
  const std::string script =
      "i=0; while [ ! -e \"$0\" ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done; "
      "touch \"$1\"";
  ASSERT_TRUE(StartWatched("sh", {"-c", script, release, ended}, 500));
  EXPECT_NE(access(ended.c_str(), F_OK), 0) << "StartWatched waited for the program's end";
  quellor::test::WriteFileBytes(release, "");
  EXPECT_TRUE(WaitUntil([&] { return access(ended.c_str(), F_OK) == 0; }));
}

TEST(Shell, AWatchedProgramGetsItsArgumentsAndRunsInTheBackground) {
  quellor::test::TempDir dir;
  const std::string marker = dir.file("ran");
  ASSERT_TRUE(StartWatched("sh", {"-c", "echo \"$0\" > \"$1\"", "first word", marker}, 2000));
  WaitUntil([&] { return quellor::test::ReadFileBytes(marker) == "first word\n"; });
  EXPECT_EQ(quellor::test::ReadFileBytes(marker), "first word\n");
}

}  // namespace
