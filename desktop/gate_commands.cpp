#include "desktop/gate_commands.h"

#include <string>

namespace tarnhold {

const char* ProgramOf(WindowCommand command) {
  switch (command) {
    case WindowCommand::Administrator:
      return "thadmin";
    case WindowCommand::QueueManager:
      return "thqueue";
    case WindowCommand::QueueLevelMonitor:
      return "thmon";
    case WindowCommand::Status:
    case WindowCommand::Hide:
    case WindowCommand::Exit:
    case WindowCommand::Reload:
      break;
  }
  return nullptr;
}

LaunchResult StartCommandProgram(ProgramLauncher& launcher, WindowCommand command,
                                 const std::filesystem::path& folder,
                                 const std::filesystem::path& root, std::FILE* errors) {
  const char* program = ProgramOf(command);
  if (program == nullptr) return LaunchResult::Failed;
  std::string error;
  const LaunchResult result = StartSibling(launcher, folder, program, root, error);
  if (result != LaunchResult::Started && errors != nullptr) {
    std::fprintf(errors, "thgate: cannot start %s: %s\n", program, error.c_str());
  }
  return result;
}

}  // namespace tarnhold
