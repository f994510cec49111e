// The metrics file: the event counters of MetricsRegistry and the depth of each spool folder in
// the Prometheus text format, rewritten whole every MetricsInterval seconds by a thread of the
// engine (a temporary file renamed into place, so a reader never sees half a file). The send
// queue's depth is the delivery index's count; the other folders are counted by reading their
// names, never by opening an item.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/gateway_config.h"
#include "gateway/metrics.h"

namespace tarnhold {

inline constexpr int kDefaultMetricsIntervalS = 10;

// Items waiting in each spool folder.
struct QueueDepths {
  std::size_t processing = 0;                                   // queproc
  std::size_t send = 0;                                         // que
  std::size_t off_peak = 0;                                     // offpeak
  std::vector<std::pair<std::string, std::size_t>> quarantine;  // area name, items
};

// The items of `folder`: names that begin with a digit (work files and hidden names are not
// items). 0 for a folder that cannot be read.
[[nodiscard]] std::size_t CountItems(const std::filesystem::path& folder);

// The depths of every folder under `layout`, the send queue's taken from `send_count`.
[[nodiscard]] QueueDepths ReadQueueDepths(const SpoolLayout& layout, std::size_t send_count);

// The whole metrics file: HELP and TYPE lines, then the samples of each metric. Rules and
// scanners are those of `config`.
[[nodiscard]] std::string MetricsText(const MetricsRegistry& metrics, const QueueDepths& depths,
                                      const CGatewayConfig& config);

enum class MetricsWrite { Written, Off, Failed };

// Writes `text` to `file` through a temporary file in the same folder and a rename.
[[nodiscard]] MetricsWrite WriteMetricsFile(const std::filesystem::path& file,
                                            const std::string& text);

class MetricsWriter {
 public:
  using ConfigSource = std::function<std::shared_ptr<const CGatewayConfig>()>;
  using CountSource = std::function<std::size_t()>;

  MetricsWriter(ConfigSource config, CountSource send_count);
  ~MetricsWriter() { Stop(); }
  MetricsWriter(const MetricsWriter&) = delete;
  MetricsWriter& operator=(const MetricsWriter&) = delete;

  // Writes the file now and then every interval of the configuration in force.
  void Start();
  // Ends the thread after one last write, so the file holds the final counts.
  void Stop();
  // One write with the configuration in force. Off: MetricsFileName is empty.
  MetricsWrite WriteNow();

 private:
  void Run(std::stop_token stop);

  ConfigSource config_;
  CountSource send_count_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread thread_;
};

}  // namespace tarnhold
