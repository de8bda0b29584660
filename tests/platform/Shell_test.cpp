// Starting programs: whether a start counts as a success, with and without watching the program.
#include "platform/Shell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/TempDir.h"

using namespace quellor;

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
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StartWatched(c.program, c.args, 500), c.watched);
    // A program that runs on is not waited for beyond the watch.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
}

TEST(Shell, AWatchedProgramGetsItsArgumentsAndRunsInTheBackground) {
  quellor::test::TempDir dir;
  const std::string marker = dir.file("ran");
  ASSERT_TRUE(StartWatched("sh", {"-c", "echo \"$0\" > \"$1\"", "first word", marker}, 2000));
  for (int i = 0; i < 200 && access(marker.c_str(), F_OK) != 0; ++i) usleep(10000);
  EXPECT_EQ(quellor::test::ReadFileBytes(marker), "first word\n");
}

}  // namespace
