// Starting other programs from a desktop program: the sibling programs (thadmin, thqueue, thmon)
// from the folder that holds the running program, with the same data root, and xdg-open on a
// file or folder. Start and forget: the started program runs in a session of its own, keeps
// none of the caller's files open, and is reaped in the background; only a failure to start it
// is reported. Tests put a RecordingLauncher in place of the real one.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarnhold {

enum class LaunchResult { Started, Failed };

class ProgramLauncher {
 public:
  virtual ~ProgramLauncher() = default;
  // Starts `program` (a path, or a name looked up in PATH) with `args`. Failed when it could not
  // be started; `error` then holds one line.
  [[nodiscard]] virtual LaunchResult Start(const std::string& program,
                                           const std::vector<std::string>& args,
                                           std::string& error) = 0;
};

class DetachedLauncher : public ProgramLauncher {
 public:
  [[nodiscard]] LaunchResult Start(const std::string& program,
                                   const std::vector<std::string>& args,
                                   std::string& error) override;
};

// Records each start and answers as told (Started unless `fail` is set).
class RecordingLauncher : public ProgramLauncher {
 public:
  struct Call {
    std::string program;
    std::vector<std::string> args;
  };
  [[nodiscard]] LaunchResult Start(const std::string& program,
                                   const std::vector<std::string>& args,
                                   std::string& error) override;

  std::vector<Call> calls;
  bool fail = false;
};

// The folder that holds the running program (from /proc/self/exe); empty when unknown.
[[nodiscard]] std::filesystem::path OwnProgramFolder();

// Starts the sibling program `name` (thadmin, thqueue, thmon) of `folder` with "--root <root>".
[[nodiscard]] LaunchResult StartSibling(ProgramLauncher& launcher,
                                        const std::filesystem::path& folder,
                                        const std::string& name,
                                        const std::filesystem::path& root, std::string& error);

// Opens a file or folder with the desktop's default application (xdg-open).
[[nodiscard]] LaunchResult OpenWithDesktop(ProgramLauncher& launcher,
                                           const std::filesystem::path& path, std::string& error);

}  // namespace tarnhold
