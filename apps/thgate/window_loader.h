// Finding thgate's window: whether a display is there, and the window plugin loaded from the
// folder that holds thgate (or, installed, from lib/tarnhold beside that folder). Nothing of Qt is loaded unless the plugin is.
#pragma once

#include <string>

#include "engine/window_host.h"

namespace tarnhold {

inline constexpr const char* kWindowPluginName = "libthgate_window.so";

// A display is there when DISPLAY or WAYLAND_DISPLAY is set, or QT_QPA_PLATFORM names a
// platform (offscreen included).
[[nodiscard]] bool DisplayAvailable();

// The plugin's entry point, or nullptr with one line in `error` when the plugin cannot be
// loaded or lacks its entry point.
[[nodiscard]] RunWindowEntry LoadWindowPlugin(std::string& error);

}  // namespace tarnhold
