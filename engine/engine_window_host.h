// The engine behind thgate's window: the WindowHost calls turned into the engine's own entry
// points, and the window's events attached to the four windowed logs and the notices.
#pragma once

#include <mutex>
#include <optional>

#include "engine/engine.h"
#include "engine/window_host.h"

namespace tarnhold {

class EngineWindowHost : public WindowHost {
 public:
  explicit EngineWindowHost(Engine& engine) : engine_(engine) {}
  ~EngineWindowHost() override { SetEvents(nullptr); }
  EngineWindowHost(const EngineWindowHost&) = delete;
  EngineWindowHost& operator=(const EngineWindowHost&) = delete;

  [[nodiscard]] LogHistory& Log(WindowLog log) override { return engine_.Log(log); }
  [[nodiscard]] std::filesystem::path DataRoot() const override { return engine_.Root(); }
  void SetEvents(EngineEvents* events) override;
  [[nodiscard]] StartResult Start() override { return engine_.Start(); }
  void Reload() override { (void)engine_.ReloadConfiguration(); }
  [[nodiscard]] int Exit() override { return engine_.Exit(); }

  // From the signal thread: hands `command` to the window's events. Before the window has
  // installed them, the command waits (an exit before a reload) and is handed over then.
  void Request(EngineCommand command);

 private:
  Engine& engine_;
  std::mutex events_lock_;
  EngineEvents* events_ = nullptr;
  std::optional<EngineCommand> waiting_;
};

}  // namespace tarnhold
