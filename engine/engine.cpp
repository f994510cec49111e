#include "engine/engine.h"

#include <string_view>

#include "platform/journal_line.h"
#include "platform/spare_files.h"
#include "sweeper/virus_check.h"
#include "transport/interrupted_transfers.h"
#include "transport/server_name.h"
#include "transport/smtp_extensions.h"

namespace tarnhold {
namespace {

// A start-up problem on standard error (under systemd, at the journal's error level).
void ReportError(const std::string& text) {
  const std::string line = JournalErrorLine("thgate: " + text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

// An engine thread's start step: its load.log line, whether the configuration wants it, and
// what starts it. Steps run in table order.
struct Engine::StartStep {
  const char* line;
  bool (Engine::*wanted)() const;  // nullptr: always
  void (Engine::*start)();
};

const Engine::StartStep Engine::kThreadSteps[] = {
    {"Starting Sweeper ...", nullptr, &Engine::StartSweeper},
    {"Starting POP3 download thread...", &Engine::Pop3DownloadWanted, &Engine::StartPop3Download},
    {"Starting POP3 Server...", &Engine::Pop3ServerWanted, &Engine::StartPop3Server},
    {"Starting SMTP In...", nullptr, &Engine::StartSmtpReceiver},
    {"Starting SMTP Out...", nullptr, &Engine::StartSmtpOut},
    {"Starting RAS Manager...", &Engine::RasWanted, &Engine::StartRasManager},
};

Engine::Engine(Options options)
    : options_(std::move(options)),
      load_log_(SpoolLayout(options_.root).LoadLog(),
                options_.headless ? options_.echo : nullptr),
      config_(std::make_shared<CGatewayConfig>(options_.root)),
      sweeper_(options_.root, [this] { return Config(); },
               [this](const std::filesystem::path& item, const CGatewayConfig& config) {
                 item_processor_.ProcessQueueItem(item, config);
               }),
      pop_collector_(options_.root, [this] { return Config(); }, collection_state_),
      settings_(options_.root),
      pop3_server_(settings_),
      dial_up_manager_(ras_dialer_,
                       DialUpInputs{[this] { return Config(); },
                                    [this] { return settings_.SendQueueCount(); },
                                    [this] { return smtp_server_.LiveConnections(); },
                                    [this] { return collection_state_.IsRunning(); },
                                    {}}),
      metrics_writer_([this] { return Config(); },
                      [this] { return send_scheduler_.IndexedCount(); }) {
  load_log_.Reset();
}

Engine::~Engine() {
  // Connection threads log and use the settings: they end before the logs and the settings.
  StopComponents();
  InstallActivityLogs({});
}

CUH_Control& Engine::Log(WindowLog log) {
  switch (log) {
    case WindowLog::Pop3: return pop3_log_;
    case WindowLog::SmtpIn: return smtp_in_log_;
    case WindowLog::Sweep: return sweep_log_;
    case WindowLog::SmtpOut: break;
  }
  return smtp_out_log_;
}

std::shared_ptr<const CGatewayConfig> Engine::Config() const {
  std::scoped_lock lock(config_mutex_);
  return config_;
}

StartResult Engine::Start() {
  load_log_.Append("Subclassing windows ...");
  AttachLogs();
  load_log_.Append("Loading egSetup ...");
  LoadConfiguration();
  load_log_.Append("Loading registry ...");
  if (!LoadRegistry()) return StartResult::Refused;
  CreateLogFiles();
  LoadTls(*Config());
  // Nothing may sweep what a receiver that died mid-transfer left behind: cleared before any
  // engine thread starts.
  RemoveInterruptedTransfers(settings_.Layout().Processing(), settings_.Layout().Stat());
  // Spool files removed from now on are kept for reuse (this process owns the spool).
  EnableSpareFiles(settings_.Layout().Spare());
  for (const StartStep& step : kThreadSteps) {
    if (step.wanted != nullptr && !(this->*step.wanted)()) continue;
    load_log_.Append(step.line);
    (this->*step.start)();
  }
  metrics_writer_.Start();
  load_log_.Append("OK");
  return StartResult::Started;
}

namespace {

// A log line as the headless engine echoes it: "<log name>: <line>", marked for the journal.
std::string EchoLine(std::string_view name, std::string_view line) {
  std::string out(name);
  out.append(": ").append(line);
  return JournalLine(out) + "\n";
}

void WriteEcho(std::FILE* echo, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), echo);
  std::fflush(echo);
}

}  // namespace

void Engine::AttachLogs() {
  CUH_Control* logs[] = {&pop3_log_, &smtp_in_log_, &sweep_log_, &smtp_out_log_, &bandwidth_log_};
  for (CUH_Control* log : logs) {
    log->SetLineLimit(kLogLineLimit);
    if (options_.headless && options_.echo != nullptr) {
      std::FILE* echo = options_.echo;
      // One write per line, or per block of lines: lines of different logs never mix.
      log->SetLineSink([echo](std::string_view name, std::string_view line) {
        WriteEcho(echo, EchoLine(name, line));
      });
      log->SetBlockSink([echo](std::string_view name, const std::vector<std::string>& lines) {
        std::string out;
        for (const std::string& line : lines) out += EchoLine(name, line);
        WriteEcho(echo, out);
      });
    }
  }
  InstallActivityLogs({&pop3_log_, &smtp_in_log_, &sweep_log_, &smtp_out_log_, &bandwidth_log_});
}

std::shared_ptr<CGatewayConfig> Engine::ReadConfiguration(ConfigLoadReport& report) const {
  auto fresh = std::make_shared<CGatewayConfig>(options_.root);
  report = fresh->Load();
  for (const std::string& problem : report.problems) {
    ReportError(problem);
  }
  return fresh;
}

void Engine::InstallConfiguration(std::shared_ptr<const CGatewayConfig> fresh) {
  settings_.SetLocalDomains(fresh->local_domains);
  smtp_server_.SetPolicy(std::make_shared<const ReceiverPolicy>(
      ReceiverPolicyFrom(*fresh, [](const std::string& line) { SmtpInLogLine(line); })));
  send_scheduler_.SetConfig(DeliveryConfigFrom(*fresh));
  pop3_server_.SetRequireTls(fresh->POP3RequireTLS == 1);
  std::scoped_lock lock(config_mutex_);
  config_ = std::move(fresh);
}

void Engine::LoadConfiguration() {
  // At start a missing file is no fault: every key takes its default.
  ConfigLoadReport report;
  InstallConfiguration(ReadConfiguration(report));
}

ReloadResult Engine::ReloadConfiguration() {
  ConfigLoadReport report;
  auto fresh = ReadConfiguration(report);
  // A file that is missing for a moment (an editor that deletes, then writes) or mistyped must
  // not replace the running rules with the defaults: a block-everything rule would vanish.
  if (!report.file_read) {
    SweepLogLine("configuration not reloaded: cannot read " + fresh->ConfigPath().string() +
                 "; the running configuration stays");
    return ReloadResult::KeptRunning;
  }
  std::size_t rules = fresh->rules.size();
  LoadTls(*fresh);
  InstallConfiguration(std::move(fresh));
  SweepLogLine("configuration reloaded: " + std::to_string(rules) + " rules loaded");
  return ReloadResult::Reloaded;
}

void Engine::LoadTls(const CGatewayConfig& config) {
  std::filesystem::path certificate, key;
  if (!config.TLSCertificateFile.empty()) certificate = config.MapPath(config.TLSCertificateFile);
  if (!config.TLSKeyFile.empty()) key = config.MapPath(config.TLSKeyFile);
  std::string error;
  switch (tls_credentials_.Load(certificate, key, error)) {
    case TlsLoadResult::Loaded:
      SmtpInLogLine("TLS certificate loaded: " + certificate.string());
      break;
    case TlsLoadResult::Failed:
      SmtpInLogLine("Error: STARTTLS and STLS not offered: " + error);
      break;
    case TlsLoadResult::NotWanted:
      break;
  }
}

bool Engine::LoadRegistry() {
  // A missing registry file leaves the defaults; it is not fatal.
  (void)settings_.LoadRegistry(settings_.Layout().RegistryFile());
  // Every component works on the data root: a RootPath elsewhere would split the spool.
  if (settings_.CheckRootPath() == RootPathCheck::OtherFolder) {
    const std::string line = "Error: RootPath " + settings_.RootPathValue() + " in " +
                             settings_.Layout().RegistryFile().string() +
                             " names another folder than the data root " +
                             settings_.Layout().Root().string() + "; the gateway does not start";
    load_log_.Append(line);
    ReportError(line);
    return false;
  }
  settings_.ApplyConfiguration(*Config());
  // The picker's read error is a line in the delivery log and, when a window is there, a box
  // that the picker never waits for.
  settings_.SetReadErrorReporter([](const std::string& title, const std::string& text) {
    SmtpOutLogLine(text);
    RaiseNotice(NoticeKind::Error, title, text);
  });
  smtp_server_.SetSettings(&settings_);
  smtp_server_.SetTlsCredentials(&tls_credentials_);
  pop3_server_.SetTlsCredentials(&tls_credentials_);
  send_scheduler_.SetSettings(&settings_);
  smtp_server_.SetServerNameSource([this] { return SmtpServerName(Config()->local_domains); });
  return true;
}

void Engine::CreateLogFiles() {
  struct LogFile {
    int CGatewayConfig::*flag;
    const char* line;
    CUH_Control* log;
    std::filesystem::path (SpoolLayout::*file)() const;
  };
  const LogFile files[] = {
      {&CGatewayConfig::LogPOP3, "Creating POP3 Log ...", &pop3_log_, &SpoolLayout::Pop3Log},
      {&CGatewayConfig::LogSMTPIn, "Creating SMTP In Log ...", &smtp_in_log_,
       &SpoolLayout::SmtpInLog},
      {&CGatewayConfig::LogSweeper, "Creating Sweeper Log ...", &sweep_log_,
       &SpoolLayout::SweepLog},
      {&CGatewayConfig::LogSMTPOut, "Creating SMTP Out Log ...", &smtp_out_log_,
       &SpoolLayout::SmtpOutLog},
      {&CGatewayConfig::LogBandwidth, "Creating Bandwidth Log ...", &bandwidth_log_,
       &SpoolLayout::BandwidthLog},
  };
  auto config = Config();
  for (const LogFile& f : files) {
    if ((*config).*f.flag != 1) continue;
    load_log_.Append(f.line);
    f.log->SetFileName((settings_.Layout().*f.file)().string());
    f.log->SetFileOutput(true);
    f.log->SetDatedFileName(true);
  }
}

void Engine::StartSweeper() {
  smtp_server_.SetQueueWake(&sweeper_.QueueWake());
  smtp_server_.SetIntakeFlow(&intake_flow_);
  sweeper_.SetIntakeFlow(&intake_flow_);
  sweeper_.SetSendQueueWake(&send_scheduler_.SendQueueWake());
  item_processor_.SetSendQueueWake(&send_scheduler_.SendQueueWake());
  item_processor_.SetVirusCheck(CheckForViruses);
  for (int k = 0; k < kSweepWorkers; ++k) {
    QueueItemProcessor& worker = sweep_workers_[static_cast<std::size_t>(k)];
    worker.SetWorker(k);
    worker.SetSendQueueWake(&send_scheduler_.SendQueueWake());
  }
  sweeper_.SetWorkers(kSweepWorkers, [this](int k, const std::filesystem::path& item,
                                            const CGatewayConfig& config) {
    sweep_workers_[static_cast<std::size_t>(k)].ProcessQueueItem(item, config);
  });
  sweeper_.Start();
}

bool Engine::Pop3DownloadWanted() const { return Config()->EnablePOP3Download == 1; }

void Engine::StartPop3Download() {
  pop_collector_.SetQueueWake(&sweeper_.QueueWake());
  pop_collector_.Start();
}

bool Engine::Pop3ServerWanted() const { return Config()->EnablePOP3Server == 1; }

void Engine::StartPop3Server() {
  // A server that cannot listen does not stop the start; the operator sees why.
  if (pop3_server_.Start(options_.pop3_port) != 0) {
    ReportError("the POP3 server cannot listen on port " + std::to_string(options_.pop3_port));
  }
}

void Engine::StartSmtpReceiver() {
  unsigned port = Config()->SMTPInPort;
  if (smtp_server_.Start(port) != 0) {
    SmtpInLogLine("Error: cannot listen on port " + std::to_string(port));
  }
}

void Engine::StartSmtpOut() {
  if (send_scheduler_.Start() != 0) SmtpOutLogLine("Error: the delivery scheduler cannot start");
}

bool Engine::RasWanted() const { return Config()->EnableRas == 1; }

// The exit routine ends the manager's passes; the line itself is left as it is.
void Engine::StartRasManager() { dial_up_manager_.Start(); }

int Engine::Exit() {
  StopComponents();
  return kExitCode;
}

// In the reverse order of the start. The delivery waits up to 10 s for its send threads and
// the receiver up to 5 s for its accept thread; then what still runs is told to give up and
// its sockets are closed. Stopping twice is harmless, so the destructor runs this again.
void Engine::StopComponents() {
  // Components stop in the reverse order of their start. A message being collected stays on
  // its server until its item is on disk, so the collection may stop at any point; it is asked
  // first so that its wait for a server runs beside the others' stops.
  pop_collector_.RequestStop();
  intake_flow_.Open();  // no session waits for the sweeper while the gateway stops
  dial_up_manager_.Stop();
  send_scheduler_.Stop();
  send_scheduler_.Shutdown();
  // A session in the middle of DATA loses its connection: the unfinished message is
  // discarded and was never acknowledged, so the client sends it again.
  smtp_server_.Stop();
  smtp_server_.Shutdown();
  pop3_server_.Shutdown();
  pop_collector_.Stop();
  sweeper_.Stop();  // after the item in hand
  metrics_writer_.Stop();  // last: its final write holds the counts of the whole run
  DisableSpareFiles(settings_.Layout().Spare());
}

}  // namespace tarnhold
