// Child processes: a command started in a process group of its own, with no input and its
// output discarded or captured up to a bound. The owner polls or waits with a deadline and can
// kill the whole group, so a hung command and whatever it started end with it; what a command
// that ended by itself left in the background is its own affair. A ChildProcess is reaped by
// its owner (or its destructor), never by anybody else.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tarnhold {

enum class ChildOutput { Discard, Capture };

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills the group and reaps the child when it still runs.
  ~ChildProcess();

  // Starts `argv` (argv[0] a path or a name looked up in PATH) as the leader of a new process
  // group. False when it could not be started; `error` says why.
  [[nodiscard]] bool Start(const std::vector<std::string>& argv, ChildOutput output,
                           std::string& error);
  // The exit status once the child has ended (128 + signal for a killed one), reaping it;
  // nullopt while it runs.
  [[nodiscard]] std::optional<int> Poll();
  // Waits until the child ends or `timeout` passes; the exit status, or nullopt at the time
  // limit (the child still runs). Captured output is read while waiting.
  [[nodiscard]] std::optional<int> WaitFor(std::chrono::milliseconds timeout);
  // Kills every process of the group and reaps the leader.
  void KillGroup();
  [[nodiscard]] bool Running() const { return pid_ > 0; }
  // Output read so far (ChildOutput::Capture), at most kMaxCapturedOutput bytes.
  [[nodiscard]] const std::string& Output() const { return output_; }

  static constexpr std::size_t kMaxCapturedOutput = 64 * 1024;

 private:
  void DrainOutput();
  [[nodiscard]] std::optional<int> Reap(int options);

  int pid_ = -1;
  UniqueFd output_fd_;
  std::string output_;
};

enum class CommandOutcome { Exited, TimedOut, NotStarted };

struct CommandResult {
  CommandOutcome outcome = CommandOutcome::NotStarted;
  int exit_code = -1;  // with Exited
  std::string output;  // standard output and error, bounded
  std::string error;   // with NotStarted
};

// Runs `argv` to its end or to `timeout`, when its process group is killed.
[[nodiscard]] CommandResult RunCommand(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds timeout);

}  // namespace tarnhold
