#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace tarnhold {
namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks at a child that writes nothing.
constexpr std::chrono::milliseconds kPollStep{10};

int StatusToCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// posix_spawn's attributes and file actions, released on every path.
struct SpawnSetup {
  posix_spawnattr_t attr{};
  posix_spawn_file_actions_t actions{};
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

ChildProcess::~ChildProcess() {
  if (Running()) KillGroup();
}

bool ChildProcess::Start(const std::vector<std::string>& argv, ChildOutput output,
                         std::string& error) {
  if (argv.empty() || Running()) {
    error = argv.empty() ? "no command" : "a command is already running";
    return false;
  }
  SpawnSetup setup;
  // A group of its own: a time limit kills the command and everything it started.
  posix_spawnattr_setpgroup(&setup.attr, 0);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);
  posix_spawnattr_setsigmask(&setup.attr, &none);
  posix_spawnattr_setflags(&setup.attr, static_cast<short>(
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
  posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  UniqueFd read_end;
  UniqueFd write_end;
  if (output == ChildOutput::Capture) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return false;
    }
    read_end.Reset(fds[0]);
    write_end.Reset(fds[1]);
    posix_spawn_file_actions_adddup2(&setup.actions, write_end.Get(), 1);
    posix_spawn_file_actions_adddup2(&setup.actions, write_end.Get(), 2);
  } else {
    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
  if (rc != 0) {
    error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  output_.clear();
  output_fd_ = std::move(read_end);
  if (output_fd_) ::fcntl(output_fd_.Get(), F_SETFL, O_NONBLOCK);
  return true;
}

void ChildProcess::DrainOutput() {
  if (!output_fd_) return;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(output_fd_.Get(), buffer, sizeof buffer);
    if (n > 0) {
      std::size_t room = kMaxCapturedOutput - output_.size();
      output_.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) output_fd_.Reset();  // every writer has gone
    return;
  }
}

std::optional<int> ChildProcess::Reap(int options) {
  if (!Running()) return std::nullopt;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, options);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return std::nullopt;
  pid_ = -1;
  if (r < 0) return -1;
  return StatusToCode(status);
}

std::optional<int> ChildProcess::Poll() {
  DrainOutput();
  // What the command left running on purpose (a dialler that went into the background) is not
  // touched once the command has ended; only a time limit or the owner kills the group.
  auto code = Reap(WNOHANG);
  if (code) DrainOutput();
  return code;
}

std::optional<int> ChildProcess::WaitFor(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (auto code = Poll()) return code;
    if (!Running()) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) return std::nullopt;
    auto step = std::min(left, kPollStep);
    if (output_fd_) {
      pollfd pfd{output_fd_.Get(), POLLIN, 0};
      ::poll(&pfd, 1, static_cast<int>(step.count()));
    } else {
      std::this_thread::sleep_for(step);
    }
  }
}

void ChildProcess::KillGroup() {
  if (!Running()) return;
  ::kill(-pid_, SIGKILL);
  (void)Reap(0);
  output_fd_.Reset();
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  CommandResult result;
  ChildProcess child;
  if (!child.Start(argv, ChildOutput::Capture, result.error)) return result;
  if (auto code = child.WaitFor(timeout)) {
    result.outcome = CommandOutcome::Exited;
    result.exit_code = *code;
  } else {
    child.KillGroup();
    result.outcome = CommandOutcome::TimedOut;
  }
  result.output = child.Output();
  return result;
}

}  // namespace tarnhold
