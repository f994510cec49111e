// thgate's window commands: its buttons and tray menu items in their order, the command each
// carries, and the program each launching command starts. The Qt window only shows these
// tables and forwards the operator's choice here or to the engine.
#pragma once

#include <cstdio>
#include <filesystem>

#include "desktop/program_launcher.h"

namespace tarnhold {

inline constexpr const char* kGateWindowTitle = "Velgrant Tarnhold";
inline constexpr const char* kTrayMenuTitle = "Options";

enum class WindowCommand {
  Administrator,      // start thadmin
  QueueManager,       // start thqueue
  QueueLevelMonitor,  // start thmon
  Status,             // show the window
  Hide,               // hide the window
  Exit,               // the exit routine
  Reload,             // reload the configuration (no control carries it; SIGHUP does)
};

// One button or menu item; a null text in the tray menu is a separator.
struct CommandControl {
  const char* text;
  WindowCommand command;
};

// The buttons, top to bottom. "Hide" is the default button.
inline constexpr CommandControl kGateButtons[] = {
    {"Administrator", WindowCommand::Administrator},
    {"Queue Manager", WindowCommand::QueueManager},
    {"Queue Level Monitor", WindowCommand::QueueLevelMonitor},
    {"Exit", WindowCommand::Exit},
    {"Hide", WindowCommand::Hide},
};
inline constexpr WindowCommand kDefaultButton = WindowCommand::Hide;

// The tray icon's "Options" menu, top to bottom; its first item is the default item, which a
// double click on the icon runs.
inline constexpr CommandControl kTrayMenu[] = {
    {"Status", WindowCommand::Status},
    {nullptr, WindowCommand::Status},
    {"Message Area  Manager", WindowCommand::QueueManager},  // two blanks
    {"Administer", WindowCommand::Administrator},
    {"Queue Level Status Monitor", WindowCommand::QueueLevelMonitor},
    {nullptr, WindowCommand::Status},
    {"Exit", WindowCommand::Exit},
};

// The sibling program a command starts (thadmin, thqueue, thmon); nullptr for the window's
// own commands.
[[nodiscard]] const char* ProgramOf(WindowCommand command);

// Starts the program of a launching command from `folder` with `--root <root>`, and forgets
// it. Failed (or a command that starts nothing): nothing else happens, as the window ignores a
// failure to start; the reason is written to `errors` as one line.
LaunchResult StartCommandProgram(ProgramLauncher& launcher, WindowCommand command,
                                 const std::filesystem::path& folder,
                                 const std::filesystem::path& root, std::FILE* errors);

}  // namespace tarnhold
