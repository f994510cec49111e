// thgate's engine: owns every engine component, runs the start-up sequence with its load.log
// lines, reloads the configuration on request and runs the exit routine. The configuration is
// shared as an immutable snapshot: a reload loads a fresh object and swaps it in, and each
// reader takes the snapshot in force when it starts an item or a session.
// Start-up steps for components that do not exist yet are left out of the step table.
#pragma once

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "gateway/activity_log.h"
#include "gateway/collection_state.h"
#include "engine/load_log.h"
#include "engine/window_host.h"
#include "engine/metrics_writer.h"
#include "gateway/gateway_config.h"
#include "gateway/intake_flow.h"
#include "gateway/server_settings.h"
#include "sweeper/item_processor.h"
#include "sweeper/queue_sweeper.h"
#include "transport/dial_up_manager.h"
#include "transport/pop3_server.h"
#include "transport/ras_dialer.h"
#include "transport/pop_collector.h"
#include "transport/send_scheduler.h"
#include "transport/smtp_server.h"
#include "transport/tls_context.h"

namespace tarnhold {

inline constexpr int kExitCode = 1;

inline constexpr int kLogLineLimit = 2048;

enum class ReloadResult { Reloaded, KeptRunning };

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
  // Loads the configuration file afresh into a new object and makes it the one in force, with
  // a line in the sweeper log saying how many rules it holds. KeptRunning: the file could not
  // be read; the configuration in force stays, and the log line says so.
  [[nodiscard]] ReloadResult ReloadConfiguration();
  // The exit routine: stops every component in the reverse order of the start, each wait
  // bounded (the SMTP receiver 5 s, the delivery 10 s), and ends their connections. Returns
  // the process's exit code; ending the process (through main) is the caller's.
  [[nodiscard]] int Exit();

  // Set while a POP3 collection batch runs (the dial-up manager does not hang up then).
  [[nodiscard]] const CollectionState& Collection() const { return collection_state_; }

  // The configuration in force.
  [[nodiscard]] std::shared_ptr<const CGatewayConfig> Config() const;

  [[nodiscard]] const std::filesystem::path& Root() const { return options_.root; }
  // One of the four logs a window shows.
  [[nodiscard]] CUH_Control& Log(WindowLog log);

 private:
  struct StartStep;
  static const StartStep kThreadSteps[];

  void AttachLogs();
  [[nodiscard]] std::shared_ptr<CGatewayConfig> ReadConfiguration(ConfigLoadReport& report) const;
  void InstallConfiguration(std::shared_ptr<const CGatewayConfig> fresh);
  // Reads the TLS pair of `config` for the receiver and the POP3 server, with a line in the
  // SMTP receiver log; a pair that cannot be used turns TLS off, never the servers.
  void LoadTls(const CGatewayConfig& config);
  void LoadConfiguration();
  void StopComponents();
  [[nodiscard]] bool LoadRegistry();
  void CreateLogFiles();
  void StartSweeper();
  void StartPop3Download();
  [[nodiscard]] bool Pop3DownloadWanted() const;
  void StartPop3Server();
  void StartSmtpReceiver();
  void StartSmtpOut();
  void StartRasManager();
  [[nodiscard]] bool Pop3ServerWanted() const;
  [[nodiscard]] bool RasWanted() const;

  Options options_;
  LoadLog load_log_;
  mutable std::mutex config_mutex_;
  std::shared_ptr<const CGatewayConfig> config_;

  CollectionState collection_state_;

  // Engine components, in construction order (destroyed in reverse).
  QueueItemProcessor item_processor_;
  // The sweeper's workers, for configurations that allow parallel processing.
  std::array<QueueItemProcessor, kSweepWorkers> sweep_workers_;
  IntakeFlow intake_flow_;  // paces the receiver to the sweeper
  CQueueSweeper sweeper_;
  CPopCollector pop_collector_;
  CServerSettings settings_;
  TlsServerCredentials tls_credentials_;
  CPop3Server pop3_server_;
  CSmtpServer smtp_server_;
  CSendScheduler send_scheduler_;
  CRasDialer ras_dialer_;
  DialUpManager dial_up_manager_;
  MetricsWriter metrics_writer_;
  CUH_Control pop3_log_{kPop3LogName};
  CUH_Control smtp_in_log_{kSmtpInLogName};
  CUH_Control sweep_log_{kSweepLogName};
  CUH_Control smtp_out_log_{kSmtpOutLogName};
  CUH_Control bandwidth_log_{kBandwidthLogName};
};

}  // namespace tarnhold
