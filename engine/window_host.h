// What thgate's window sees of the engine, and what the engine sees of the window. The window
// lives in a plugin that thgate loads only when a window is wanted; it reaches the engine only
// through these virtual calls, so the plugin links no engine code and a headless gateway loads
// no window library at all. Engine threads only post to the window; they never wait for it.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>
#include <utility>

#include "gateway/activity_log.h"
#include "gateway/engine_notices.h"

namespace tarnhold {

// Started: every engine thread the configuration wants runs. Refused: the start stopped
// before any thread was started (its reason is in load.log and on stderr).
enum class StartResult { Started, Refused };

// The four logs the window shows, top to bottom.
enum class WindowLog { Pop3, SmtpIn, Sweep, SmtpOut };
inline constexpr int kWindowLogCount = 4;

// What a signal asks of the window: SIGHUP the reload, SIGTERM and SIGINT the exit routine.
enum class EngineCommand { Reload, Exit };

// The window's side. Every call comes on an engine thread and must only post to the window's
// own thread: never block, never call back into the engine or a log.
class EngineEvents : public NoticeSink {
 public:
  // A line was added to `log` (called under that log's lock).
  virtual void LinesAdded(WindowLog log) = 0;
  // A signal asked for `command`.
  virtual void CommandRequested(EngineCommand command) = 0;
};

// The engine's side.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  [[nodiscard]] virtual LogHistory& Log(WindowLog log) = 0;
  [[nodiscard]] virtual std::filesystem::path DataRoot() const = 0;
  // Installs the window's events (log lines, notices, signal commands); nullptr removes them.
  // Once this returns, the old events are no longer called.
  virtual void SetEvents(EngineEvents* events) = 0;
  // The start-up sequence (the logs should have their views by then).
  [[nodiscard]] virtual StartResult Start() = 0;
  // Reloads the configuration file; the engine logs what became of it.
  virtual void Reload() = 0;
  // The exit routine; returns the process's exit code.
  [[nodiscard]] virtual int Exit() = 0;
};

// Points the line sink of each window log (`log_of` gives the log behind each) at `events`
// (nullptr: no sink), so every line added is announced as LinesAdded of its log. A sink is
// replaced under its log's lock, so once this returns no line is announced to the old events.
inline void AttachLogEvents(const std::function<CUH_Control&(WindowLog)>& log_of,
                            EngineEvents* events) {
  for (int i = 0; i < kWindowLogCount; ++i) {
    const auto which = static_cast<WindowLog>(i);
    CUH_Control::LineSink sink;
    if (events != nullptr) {
      sink = [events, which](std::string_view, std::string_view) { events->LinesAdded(which); };
    }
    log_of(which).SetLineSink(std::move(sink));
  }
}

// The plugin's one entry point: builds the window, runs the start-up sequence and the window's
// event loop until the exit routine, and returns the exit code.
using RunWindowEntry = int (*)(WindowHost* host, int argc, char** argv);
inline constexpr const char* kRunWindowSymbol = "tarnhold_run_window";

}  // namespace tarnhold
