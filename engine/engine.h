// thgate's engine: owns every engine component, runs the start-up sequence with its load.log
// lines, reloads the configuration on request and runs the exit routine. The configuration is
// shared as an immutable snapshot: a reload loads a fresh object and swaps it in, and each
// reader takes the snapshot in force when it starts an item or a session.
// Start-up steps for components that do not exist yet are left out of the step table.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "gateway/activity_log.h"
#include "engine/load_log.h"
#include "gateway/gateway_config.h"
#include "gateway/server_settings.h"
#include "sweeper/item_processor.h"
#include "sweeper/queue_sweeper.h"
#include "transport/pop3_server.h"
#include "transport/send_scheduler.h"
#include "transport/smtp_server.h"

namespace tarnhold {

inline constexpr int kExitCode = 1;

// Started: every engine thread the configuration wants runs. Refused: the start stopped
// before any thread was started (its reason is in load.log and on stderr).
enum class StartResult { Started, Refused };
inline constexpr int kLogLineLimit = 2048;

class Engine {
 public:
  struct Options {
    std::filesystem::path root;
    bool headless = true;
    unsigned pop3_port = kPop3Port;
    // Headless: every activity-log line and load.log line is also written here.
    std::FILE* echo = stdout;
  };

  // Builds the components (in their fixed order) and deletes load.log of the previous run.
  explicit Engine(Options options);
  // Stops the servers and waits for their connections before anything is destroyed.
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The start-up sequence: logs, configuration, registry, log files, then the engine threads
  // in their fixed order, each step announced in load.log; finally "OK". Refused when the
  // registry's RootPath names a folder other than the data root: the spool has one root.
  [[nodiscard]] StartResult Start();
  // Loads the configuration file afresh into a new object and makes it the one in force.
  void ReloadConfiguration();
  // The exit routine: stops the SMTP receiver (waiting up to 5 s) and the delivery. Returns
  // the process's exit code; ending the process is the caller's.
  [[nodiscard]] int Exit();

  // The configuration in force.
  [[nodiscard]] std::shared_ptr<const CGatewayConfig> Config() const;

 private:
  struct StartStep;
  static const StartStep kThreadSteps[];

  void AttachLogs();
  void LoadConfiguration();
  [[nodiscard]] bool LoadRegistry();
  void CreateLogFiles();
  void StartSweeper();
  void StartPop3Server();
  void StartSmtpReceiver();
  void StartSmtpOut();
  [[nodiscard]] bool Pop3ServerWanted() const;

  Options options_;
  LoadLog load_log_;
  mutable std::mutex config_mutex_;
  std::shared_ptr<const CGatewayConfig> config_;

  // Engine components, in construction order (destroyed in reverse).
  QueueItemProcessor item_processor_;
  CQueueSweeper sweeper_;
  CServerSettings settings_;
  CPop3Server pop3_server_;
  CSmtpServer smtp_server_;
  CSendScheduler send_scheduler_;
  CUH_Control pop3_log_{kPop3LogName};
  CUH_Control smtp_in_log_{kSmtpInLogName};
  CUH_Control sweep_log_{kSweepLogName};
  CUH_Control smtp_out_log_{kSmtpOutLogName};
  CUH_Control bandwidth_log_{kBandwidthLogName};
};

}  // namespace tarnhold
