#include "platform/child_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace tarnhold {
namespace {

using namespace std::chrono_literals;

TEST(RunCommand, OutcomesAndOutput) {
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    CommandOutcome want;
    int want_code;
    std::string want_output;
    std::chrono::milliseconds limit = 500ms;
  } cases[] = {
      {"exit status", {"/bin/sh", "-c", "exit 3"}, CommandOutcome::Exited, 3, ""},
      {"output and errors", {"/bin/sh", "-c", "echo out; echo err >&2"}, CommandOutcome::Exited,
       0, "out\nerr\n"},
      {"found in PATH", {"true"}, CommandOutcome::Exited, 0, ""},
      {"killed by a signal", {"/bin/sh", "-c", "kill -9 $$"}, CommandOutcome::Exited, 137, ""},
      {"no such program", {"/nonexistent/program"}, CommandOutcome::NotStarted, -1, ""},
      {"time limit", {"/bin/sh", "-c", "sleep 60"}, CommandOutcome::TimedOut, -1, ""},
      // The command's end counts, though what it left behind still holds the output open.
      {"background child keeps the output", {"/bin/sh", "-c", "(sleep 1; echo late) & exit 0"},
       CommandOutcome::Exited, 0, ""},
      {"output is bounded", {"/bin/sh", "-c", "head -c 1000000 /dev/zero"}, CommandOutcome::Exited,
       0, std::string(ChildProcess::kMaxCapturedOutput, '\0'), 10s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CommandResult r = RunCommand(c.argv, c.limit);
    EXPECT_EQ(r.outcome, c.want);
    if (c.want == CommandOutcome::Exited) {
      EXPECT_EQ(r.exit_code, c.want_code);
    }
    EXPECT_EQ(r.output, c.want_output);
    EXPECT_EQ(r.error.empty(), c.want != CommandOutcome::NotStarted);
  }
}

TEST(RunCommand, TimeLimitKillsTheWholeGroup) {
  CommandResult r = RunCommand({"/bin/sh", "-c", "sleep 60 & echo $!; wait"}, 300ms);
  ASSERT_EQ(r.outcome, CommandOutcome::TimedOut);
  const std::string stat = "/proc/" + std::to_string(std::stoi(r.output)) + "/stat";
  // The orphaned sleep is gone once its new parent reaps it (or a zombie until then).
  auto gone = [&] {
    std::string line;
    std::getline(std::ifstream(stat), line);
    return line.empty() || line.find(") Z ") != std::string::npos;
  };
  for (int i = 0; i < 500 && !gone(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(gone());
}

}  // namespace
}  // namespace tarnhold
