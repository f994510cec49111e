#include "desktop/program_launcher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

extern char** environ;

namespace tarnhold {

namespace {

// Owns the attributes and file actions of one posix_spawn call.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
    // A session of its own, so that the started program outlives its caller's terminal.
    posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    // Listening sockets and spool files of the caller must not live on in the child.
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int Spawn(pid_t& pid, const std::string& program, std::vector<char*>& argv) {
    return posix_spawnp(&pid, program.c_str(), &actions_, &attr_, argv.data(), environ);
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

}  // namespace

LaunchResult DetachedLauncher::Start(const std::string& program,
                                     const std::vector<std::string>& args, std::string& error) {
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  SpawnSetup setup;
  pid_t pid = -1;
  const int rc = setup.Spawn(pid, program, argv);
  if (rc != 0) {
    error = "cannot start " + program + ": " + std::strerror(rc);
    return LaunchResult::Failed;
  }
  // Reaped in the background, so that a program that ends leaves no zombie behind.
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return LaunchResult::Started;
}

LaunchResult RecordingLauncher::Start(const std::string& program,
                                      const std::vector<std::string>& args, std::string& error) {
  calls.push_back({program, args});
  if (fail) {
    error = "cannot start " + program;
    return LaunchResult::Failed;
  }
  return LaunchResult::Started;
}

std::filesystem::path OwnProgramFolder() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self.parent_path();
}

LaunchResult StartSibling(ProgramLauncher& launcher, const std::filesystem::path& folder,
                          const std::string& name, const std::filesystem::path& root,
                          std::string& error) {
  return launcher.Start((folder / name).string(), {"--root", root.string()}, error);
}

LaunchResult OpenWithDesktop(ProgramLauncher& launcher, const std::filesystem::path& path,
                             std::string& error) {
  return launcher.Start("xdg-open", {path.string()}, error);
}

}  // namespace tarnhold
