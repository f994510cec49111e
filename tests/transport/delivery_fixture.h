// Shared pieces of the delivery tests: the SMTP delivery log without time stamps, and a send
// queue on a fresh data root whose items are written and read back as real files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/queue_item.h"
#include "gateway/server_settings.h"
#include "gateway/spool_item.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_root.h"
#include "transport/smtp_delivery.h"

namespace tarnhold::test {

using namespace std::chrono_literals;

// Collects the SMTP delivery log, each line without its time stamp.
class OutLog {
 public:
  OutLog() : log_(kSmtpOutLogName) {
    log_.SetLineSink([this](std::string_view, std::string_view line) {
      std::scoped_lock l(mutex_);
      auto blank = line.find(' ');
      lines_.emplace_back(blank == std::string_view::npos ? line : line.substr(blank + 1));
    });
    InstallActivityLogs({.smtp_out = &log_});
  }
  ~OutLog() { InstallActivityLogs({}); }
  OutLog(const OutLog&) = delete;
  OutLog& operator=(const OutLog&) = delete;

  std::vector<std::string> Lines() {
    std::scoped_lock l(mutex_);
    return lines_;
  }
  void Clear() {
    std::scoped_lock l(mutex_);
    lines_.clear();
  }
  int Count(std::string_view line) {
    auto all = Lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
  }
  bool Has(std::string_view line) { return Count(line) > 0; }
  // Waits until `line` has been logged `times` times.
  bool WaitFor(std::string_view line, int times = 1, std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (Count(line) < times) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

 private:
  CUH_Control log_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

struct StoredItem {
  QueueItemHeader header;
  std::string text;
};

// A data root with the send queue and the mailbox store, and the spool manager on it.
class SendQueue {
 public:
  SendQueue() {
    std::filesystem::create_directories(root_ / "que");
    std::filesystem::create_directories(root_ / "popstore" / "0");
    settings_.SetLimits(250, 25, 5, 300);
  }

  TempRoot& Root() { return root_; }
  CServerSettings& Settings() { return settings_; }
  OutLog& Log() { return log_; }

  // Writes que/<n> (n: the next number) and returns n.
  std::uint32_t Add(std::string_view recipient, std::string_view sender, std::string_view text,
                    std::uint32_t attempts = 0, std::uint32_t kind = kReturnNone,
                    std::uint32_t stamp = static_cast<std::uint32_t>(std::time(nullptr))) {
    std::uint32_t n = LargestItemNumber(root_ / "que") + 1;
    LockedFile file;
    std::string error;
    EXPECT_EQ(file.CreateLocked(root_ / "que" / std::to_string(n), error), CreateResult::Created)
        << error;
    EXPECT_EQ(WriteQueueItemHeader(file, recipient, sender, attempts, kind, stamp), 0);
    EXPECT_TRUE(file.WriteAll(text.data(), text.size()));
    file.Close();
    return n;
  }

  std::optional<StoredItem> Item(std::uint32_t n) {
    LockedFile file;
    std::string error;
    if (file.OpenLocked(root_ / "que" / std::to_string(n), Access::ReadOnly, error) !=
        LockResult::Locked) {
      return std::nullopt;
    }
    StoredItem item;
    EXPECT_EQ(ReadQueueItemHeader(file, item.header), 0);
    char buffer[4096];
    for (long got; (got = file.Read(buffer, sizeof buffer)) > 0;) item.text.append(buffer, got);
    return item;
  }

  std::vector<std::uint32_t> Items() { return ListItemNumbers(root_ / "que"); }

  // Picks the next due item and delivers it.
  DeliveryOutcome DeliverNext(const DeliveryConfig& config) {
    SpoolItem item = settings_.NextSendItem();
    EXPECT_TRUE(item.IsOpen()) << "no due item";
    if (!item.IsOpen()) return DeliveryOutcome::Unchanged;
    return DeliverQueueItem(settings_, item, config);
  }

 private:
  TempRoot root_;
  OutLog log_;
  CServerSettings settings_{root_.Path()};
};

// A configuration that sends everything to `address`:`port` directly.
inline DeliveryConfig GatewayConfig(const std::string& address, int port) {
  DeliveryConfig config;
  config.outbound = {address, static_cast<std::uint16_t>(port), 0};
  config.inbound = config.outbound;
  config.helo_name = "gw.test";
  return config;
}

// The log lines from the first one equal to `first` on (all of them when there is none).
inline std::vector<std::string> From(const std::vector<std::string>& lines,
                                     const std::string& first) {
  auto it = std::find(lines.begin(), lines.end(), first);
  return {it == lines.end() ? lines.begin() : it, lines.end()};
}

}  // namespace tarnhold::test
