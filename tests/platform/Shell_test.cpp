// Starting programs: whether a start succeeds, how the program ended (learnt on a thread of its
// own, however late), the signals a started program gets, broken pipes, and the commands that
// open a text file or a document for the person.
#include "platform/Shell.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/ScopedEnvironment.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

using namespace quellor;
using quellor::test::WaitUntil;

namespace {

// Collects the end of a started program from the watching thread.
class EndCatcher {
 public:
  ProgramEndHandler Handler() {
    return [this](const TProgramEnd& end) {
      std::lock_guard lock(mutex_);
      end_ = end;
      done_.notify_all();
    };
  }
  bool Ended() {
    std::lock_guard lock(mutex_);
    return end_.has_value();
  }
  // Waits until the program has ended (a hung program fails the test after a minute instead of
  // hanging it).
  std::optional<TProgramEnd> Wait() {
    std::unique_lock lock(mutex_);
    done_.wait_for(lock, std::chrono::minutes(1), [this] { return end_.has_value(); });
    return end_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::optional<TProgramEnd> end_;
};

using Environment = quellor::test::ScopedEnvironment;

void MakeScript(const std::string& path, const std::string& body) {
  quellor::test::WriteFileBytes(path, "#!/bin/sh\n" + body);
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

TEST(Shell, StartsAndEndsOfPrograms) {
  quellor::test::TempDir dir;
  quellor::test::WriteFileBytes(dir.file("notes.txt"), "text\n");
  quellor::test::WriteFileBytes(dir.file("garbage"), std::string("\x01\x02\x03\x04", 4));
  ASSERT_EQ(::chmod(dir.file("garbage").c_str(), 0755), 0);
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    std::string whyNot;  // what StartProgram says; "" when it started
    TProgramEnd end;     // how it ended, when it started
  };
  const std::vector<Case> cases = {
      {"not on PATH", "quellor-no-such-program", {}, "not found", {}},
      {"not executable",
       dir.file("notes.txt"),
       {},
       "cannot be run: it is not an executable file",
       {}},
      {"executable but no program",
       dir.file("garbage"),
       {},
       "cannot be run: Exec format error",
       {}},
      {"ends well", "true", {}, "", {true, 0}},
      {"ends with an error", "false", {}, "", {true, 1}},
      {"ends with status 3", "sh", {"-c", "exit 3"}, "", {true, 3}},
      {"killed by a signal", "sh", {"-c", "kill -9 $$"}, "", {false, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EndCatcher catcher;
    EXPECT_EQ(StartProgram(c.program, c.args, catcher.Handler()), c.whyNot);
    if (!c.whyNot.empty()) continue;
    std::optional<TProgramEnd> end = catcher.Wait();
    ASSERT_TRUE(end);
    EXPECT_EQ(end->exited, c.end.exited);
    EXPECT_EQ(end->code, c.end.code);
    EXPECT_EQ(end->Succeeded(), c.end.exited && c.end.code == 0);
  }
  EXPECT_TRUE(StartDetached("true", {}));
  EXPECT_FALSE(StartDetached("quellor-no-such-program", {}));
}

// The caller never waits for the program: the start returns while it runs, and its exit status
// arrives whenever it ends.
TEST(Shell, TheEndOfAProgramArrivesHoweverLate) {
  quellor::test::TempDir dir;
  const std::string release = dir.file("release");
  const std::string marker = dir.file("args");
  EndCatcher catcher;
  ASSERT_EQ(
      StartProgram("sh",
                   {"-c",
                    "echo \"$1\" > \"$2\"; i=0; while [ ! -e \"$0\" ] && [ $i -lt 3000 ]; do sleep "
                    "0.02; i=$((i+1)); done; "
                    "exit 5",
                    release, "first word", marker},
                   catcher.Handler()),
      "");
  EXPECT_FALSE(catcher.Ended());
  // The shell creates the file before it writes the line into it: wait for the line.
  WaitUntil([&] {
    return ::access(marker.c_str(), F_OK) == 0 &&
           quellor::test::ReadFileBytes(marker) == "first word\n";
  });
  EXPECT_EQ(quellor::test::ReadFileBytes(marker), "first word\n");
  EXPECT_FALSE(catcher.Ended());
  quellor::test::WriteFileBytes(release, "");
  std::optional<TProgramEnd> end = catcher.Wait();
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->exited);
  EXPECT_EQ(end->code, 5);
}

// The program ignores SIGPIPE; a program it starts gets the signal's default back, so a tool
// writing into a closed pipe ends as it would from a shell.
TEST(Shell, StartedProgramsGetDefaultSignals) {
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &old), 0);
  IgnoreBrokenPipes();
  EndCatcher catcher;
  std::string whyNot = StartProgram("sh", {"-c", "kill -PIPE $$; exit 0"}, catcher.Handler());
  ::sigaction(SIGPIPE, &old, nullptr);  // this test program keeps its own disposition
  ASSERT_EQ(whyNot, "");
  std::optional<TProgramEnd> end = catcher.Wait();
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->exited);
  EXPECT_EQ(end->code, SIGPIPE);
}

// A write into a pipe whose reader has gone fails with EPIPE once IgnoreBrokenPipes ran; without
// it the signal ends the process (each case in a process of its own).
TEST(Shell, BrokenPipesDoNotEndTheProgram) {
  for (bool ignore : {false, true}) {
    SCOPED_TRACE(ignore ? "ignored" : "default");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (ignore) IgnoreBrokenPipes();
      int fds[2];
      if (::pipe(fds) != 0) ::_exit(2);
      ::close(fds[0]);
      ssize_t n = ::write(fds[1], "x", 1);
      ::_exit(n < 0 && errno == EPIPE ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (ignore) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status;
    }
  }
}

TEST(Shell, DescribeProgramEnd) {
  struct Case {
    const char* program;
    TProgramEnd end;
    const char* text;
  } cases[] = {
      {"gedit", {true, 1}, "gedit ended with exit status 1"},
      {"xdg-open", {true, 3}, "xdg-open ended with exit status 3: no program is set up to open it"},
      {"/usr/bin/xdg-open",
       {true, 4},
       "/usr/bin/xdg-open ended with exit status 4: the program set up to open it failed"},
      {"xdg-open", {true, 2}, "xdg-open ended with exit status 2: the file does not exist"},
      {"vi", {false, 9}, "vi was ended by signal 9 (Killed)"},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeProgramEnd(c.program, c.end), c.text);
}

std::vector<std::vector<std::string>> Argvs(const std::vector<TLaunchCommand>& commands) {
  std::vector<std::vector<std::string>> out;
  for (const TLaunchCommand& c : commands) out.push_back(c.argv);
  return out;
}

// What a Linux user expects, in order: $VISUAL; $EDITOR in a terminal only when one is
// configured; the desktop editors on PATH; the desktop's default through xdg-open.
TEST(Shell, TextEditorCommands) {
  quellor::test::TempDir bin;
  MakeScript(bin.file("mousepad"), "exit 0\n");
  MakeScript(bin.file("kate"), "exit 0\n");
  using Argv = std::vector<std::vector<std::string>>;
  struct Case {
    const char* what;
    std::optional<std::string> visual, editor, terminal;
    bool terminalEmulator;  // x-terminal-emulator on PATH
    std::string file;
    Argv commands;
    std::vector<std::string> names;  // as messages name them
  };
  const std::vector<Case> cases = {
      {"nothing set",
       {},
       {},
       {},
       false,
       "/tmp/n.txt",
       {{"kate", "/tmp/n.txt"}, {"mousepad", "/tmp/n.txt"}, {"xdg-open", "/tmp/n.txt"}},
       {"kate", "mousepad", "xdg-open"}},
      {"no file: no xdg-open",
       {},
       {},
       {},
       false,
       "",
       {{"kate"}, {"mousepad"}},
       {"kate", "mousepad"}},
      {"VISUAL in words",
       "  my-editor  --new-window\t-x ",
       {},
       {},
       false,
       "f",
       {{"my-editor", "--new-window", "-x", "f"},
        {"kate", "f"},
        {"mousepad", "f"},
        {"xdg-open", "f"}},
       {"my-editor", "kate", "mousepad", "xdg-open"}},
      {"EDITOR without a terminal is not tried",
       {},
       "vi",
       {},
       false,
       "f",
       {{"kate", "f"}, {"mousepad", "f"}, {"xdg-open", "f"}},
       {"kate", "mousepad", "xdg-open"}},
      {"EDITOR in TERMINAL",
       {},
       "nano -w",
       "xterm -fa Mono",
       true,
       "f",
       {{"xterm", "-fa", "Mono", "-e", "nano", "-w", "f"},
        {"kate", "f"},
        {"mousepad", "f"},
        {"xdg-open", "f"}},
       {"nano in xterm", "kate", "mousepad", "xdg-open"}},
      {"EDITOR in Debian's terminal",
       "gvim -f",
       "vi",
       {},
       true,
       "f",
       {{"gvim", "-f", "f"},
        {"x-terminal-emulator", "-e", "vi", "f"},
        {"kate", "f"},
        {"mousepad", "f"},
        {"xdg-open", "f"}},
       {"gvim", "vi in x-terminal-emulator", "kate", "mousepad", "xdg-open"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Environment env;
    quellor::test::TempDir more;
    if (c.terminalEmulator) MakeScript(more.file("x-terminal-emulator"), "exit 0\n");
    env.Set("PATH", bin.path() + ":" + more.path());
    env.Set("VISUAL", c.visual);
    env.Set("EDITOR", c.editor);
    env.Set("TERMINAL", c.terminal);
    // kDesktopEditors order: kate before mousepad.
    const std::vector<TLaunchCommand> commands = TextEditorCommands(c.file);
    EXPECT_EQ(Argvs(commands), c.commands);
    std::vector<std::string> names;
    for (const TLaunchCommand& command : commands) names.push_back(command.Name());
    EXPECT_EQ(names, c.names);
  }
}

TEST(Shell, ShellOpenCommands) {
  quellor::test::TempDir dir;
  MakeScript(dir.file("tool.sh"), "exit 0\n");
  quellor::test::WriteFileBytes(dir.file("page.html"), "<p>");
  using Argv = std::vector<std::vector<std::string>>;
  struct Case {
    std::string name;
    Argv commands;
  } cases[] = {
      {"http://crackz.test/", {{"xdg-open", "http://crackz.test/"}}},
      {"www.crackz.test", {{"xdg-open", "http://www.crackz.test"}}},
      {"mailto:abuse@isp.test", {{"xdg-open", "mailto:abuse@isp.test"}}},
      {"sh", {{"sh"}}},
      {dir.file("tool.sh"), {{dir.file("tool.sh")}}},
      {dir.file("page.html"), {{"xdg-open", dir.file("page.html")}}},
      {dir.file("missing.html"), {}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Argvs(ShellOpenCommands(c.name)), c.commands) << c.name;
}

// The first command that can be started is the one; a later failure of it is reported with its
// reason; when none can be started, every one tried is named with why not.
TEST(Shell, LaunchFirstStartsTheFirstThatRuns) {
  quellor::test::TempDir dir;
  const std::string notes = dir.file("notes.txt");
  quellor::test::WriteFileBytes(notes, "text\n");
  std::mutex mutex;
  std::condition_variable done;
  std::string failed;
  auto onFailure = [&](const std::string& program, const std::string& reason) {
    std::lock_guard lock(mutex);
    failed = program + "|" + reason;
    done.notify_all();
  };
  TLaunchStart start = LaunchFirst(
      {{{"quellor-no-such-editor", "f"}}, {{notes}}, {{"sh", "-c", "exit 4"}}}, onFailure);
  EXPECT_EQ(start.program, "sh");
  EXPECT_EQ(start.failure, "");
  {
    std::unique_lock lock(mutex);
    done.wait_for(lock, std::chrono::minutes(1), [&] { return !failed.empty(); });
  }
  EXPECT_EQ(failed, "sh|sh ended with exit status 4");

  start = LaunchFirst({{{"quellor-no-such-editor", "f"}}, {{notes}}}, onFailure);
  EXPECT_FALSE(start.Started());
  EXPECT_EQ(start.failure, "quellor-no-such-editor: not found\n" + notes +
                               ": cannot be run: it is not an executable file");
  EXPECT_FALSE(LaunchFirst({}, onFailure).Started());
}

}  // namespace
