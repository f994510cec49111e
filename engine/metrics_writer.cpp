#include "engine/metrics_writer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>
#include <tuple>

#include "platform/temp_files.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// A label value of the text format: backslash, double quote and line feed escaped.
std::string LabelValue(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

// Builds the text one metric at a time: its HELP and TYPE lines, then its samples.
class MetricsBuilder {
 public:
  void Metric(const char* name, const char* type, const char* help) {
    name_ = name;
    text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }
  // `labels` is the text inside the braces, already escaped; empty for none.
  void Sample(const std::string& labels, std::uint64_t value) {
    text_.append(name_);
    if (!labels.empty()) text_.append("{").append(labels).append("}");
    text_.append(" ").append(std::to_string(value)).append("\n");
  }
  void Sample(const char* label, const std::string& value, std::uint64_t n) {
    Sample(std::string(label) + "=\"" + LabelValue(value) + "\"", n);
  }
  [[nodiscard]] std::string Text() && { return std::move(text_); }

 private:
  std::string name_;
  std::string text_;
};

void AddQueues(MetricsBuilder& b, const QueueDepths& d) {
  b.Metric("tarnhold_queue_items", "gauge", "Items waiting in each spool folder.");
  b.Sample("folder", "queproc", d.processing);
  b.Sample("folder", "que", d.send);
  b.Sample("folder", "offpeak", d.off_peak);
  for (const auto& [area, items] : d.quarantine) b.Sample("folder", "quaran/" + area, items);
}

void AddTraffic(MetricsBuilder& b, const MetricsRegistry& m) {
  b.Metric("tarnhold_received_total", "counter", "Messages taken in, by source.");
  b.Sample("source", "smtp", m.Value(Counter::SmtpMessagesReceived));
  b.Sample("source", "pop3", m.Value(Counter::Pop3MessagesCollected));

  b.Metric("tarnhold_swept_total", "counter", "Items the sweeper finished, by outcome.");
  const std::pair<const char*, SweptOutcome> swept[] = {
      {"send_queue", SweptOutcome::SendQueue},    {"off_peak", SweptOutcome::OffPeak},
      {"quarantine", SweptOutcome::Quarantine},   {"deleted", SweptOutcome::Deleted},
      {"resubmitted", SweptOutcome::Resubmitted}, {"errors", SweptOutcome::Errors}};
  for (const auto& [name, outcome] : swept) b.Sample("outcome", name, m.Swept(outcome));

  b.Metric("tarnhold_delivery_attempts_total", "counter", "Send-queue items taken for delivery.");
  b.Sample("", m.Value(Counter::DeliveryAttempts));
  b.Metric("tarnhold_delivery_results_total", "counter", "Ends of delivery attempts, by result.");
  const std::pair<const char*, Counter> results[] = {{"remote", Counter::DeliveredRemote},
                                                     {"local", Counter::DeliveredLocal},
                                                     {"deferred", Counter::DeliveryDeferred},
                                                     {"returned", Counter::ReturnedMail},
                                                     {"given_up", Counter::DeliveryFinishedUnsent}};
  for (const auto& [name, counter] : results) b.Sample("result", name, m.Value(counter));
  b.Metric("tarnhold_returned_mail_total", "counter", "Items turned into returned mail.");
  b.Sample("", m.Value(Counter::ReturnedMail));

  b.Metric("tarnhold_connections_refused_total", "counter",
           "Connections and recipients refused, by reason.");
  b.Sample("reason", "busy", m.Value(Counter::ConnectionsRefusedBusy));
  b.Sample("reason", "relay", m.Value(Counter::RelayRefused));

  b.Metric("tarnhold_sessions_total", "counter", "Connections by service, with or without TLS.");
  const std::tuple<const char*, Counter, Counter> services[] = {
      {"smtp_in", Counter::SmtpInSessions, Counter::SmtpInTlsSessions},
      {"smtp_out", Counter::SmtpOutSessions, Counter::SmtpOutTlsSessions},
      {"pop3", Counter::Pop3Sessions, Counter::Pop3TlsSessions}};
  for (const auto& [service, all, tls] : services) {
    const std::uint64_t secured = m.Value(tls);
    const std::uint64_t total = std::max(m.Value(all), secured);
    const std::string labels = "service=\"" + std::string(service) + "\",security=\"";
    b.Sample(labels + "tls\"", secured);
    b.Sample(labels + "clear\"", total - secured);
  }
}

void AddRulesAndScanners(MetricsBuilder& b, const MetricsRegistry& m, const CGatewayConfig& c) {
  b.Metric("tarnhold_rule_triggered_total", "counter", "Messages each rule triggered on.");
  const std::size_t rules = std::min(c.rules.size(), kMetricRules);
  for (std::size_t n = 0; n < rules; ++n)
    b.Sample("rule", std::to_string(n), m.RuleTriggered(static_cast<int>(n)));

  b.Metric("tarnhold_scanner_verdicts_total", "counter",
           "Virus scanner runs, by scanner and verdict (failed: no usable report).");
  const std::pair<const char*, ScanOutcome> verdicts[] = {{"clean", ScanOutcome::Clean},
                                                          {"threat", ScanOutcome::Threat},
                                                          {"failed", ScanOutcome::Failed}};
  const std::size_t scanners = std::min(c.scanners.size(), kMetricScanners);
  for (std::size_t n = 0; n < scanners; ++n) {
    const std::string labels = "scanner=\"" + std::to_string(n) + "\",title=\"" +
                               LabelValue(c.scanners[n].Title) + "\",verdict=\"";
    for (const auto& [name, verdict] : verdicts)
      b.Sample(labels + name + "\"", m.Scans(static_cast<int>(n), verdict));
  }
}

}  // namespace

std::size_t CountItems(const fs::path& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return 0;
  std::size_t items = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9') ++items;
  }
  ::closedir(dir);
  return items;
}

QueueDepths ReadQueueDepths(const SpoolLayout& layout, std::size_t send_count) {
  QueueDepths d;
  d.processing = CountItems(layout.Processing());
  d.send = send_count;
  d.off_peak = CountItems(layout.OffPeak());
  std::error_code ec;
  for (fs::directory_iterator it(layout.QuarantineRoot(), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_directory(ec))
      d.quarantine.emplace_back(it->path().filename().string(), CountItems(it->path()));
  }
  std::sort(d.quarantine.begin(), d.quarantine.end());
  return d;
}

std::string MetricsText(const MetricsRegistry& metrics, const QueueDepths& depths,
                        const CGatewayConfig& config) {
  MetricsBuilder b;
  AddQueues(b, depths);
  AddTraffic(b, metrics);
  AddRulesAndScanners(b, metrics, config);
  return std::move(b).Text();
}

MetricsWrite WriteMetricsFile(const fs::path& file, const std::string& text) {
  fs::path temp;
  UniqueFd fd = MakeTempFile(file.parent_path(), "." + file.filename().string() + ".", temp);
  if (!fd) return MetricsWrite::Failed;
  const bool written =
      ::write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
      ::fchmod(fd.Get(), 0644) == 0;
  std::error_code ec;
  if (written) fs::rename(temp, file, ec);
  if (!written || ec) {
    fs::remove(temp, ec);
    return MetricsWrite::Failed;
  }
  return MetricsWrite::Written;
}

MetricsWriter::MetricsWriter(ConfigSource config, CountSource send_count)
    : config_(std::move(config)), send_count_(std::move(send_count)) {}

void MetricsWriter::Start() {
  if (thread_.joinable()) return;
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void MetricsWriter::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

MetricsWrite MetricsWriter::WriteNow() {
  const auto config = config_();
  if (config->MetricsFileName.empty()) return MetricsWrite::Off;
  const QueueDepths depths = ReadQueueDepths(config->Layout(), send_count_());
  return WriteMetricsFile(config->MapPath(config->MetricsFileName),
                          MetricsText(Metrics(), depths, *config));
}

void MetricsWriter::Run(std::stop_token stop) {
  while (true) {
    (void)WriteNow();  // a file that cannot be written now may be writable next time
    const int interval = config_()->MetricsInterval;
    const auto wait = std::chrono::seconds(interval > 0 ? interval : kDefaultMetricsIntervalS);
    std::unique_lock lock(mutex_);
    (void)wake_.wait_for(lock, stop, wait, [] { return false; });
    if (stop.stop_requested()) break;
  }
  (void)WriteNow();
}

}  // namespace tarnhold
