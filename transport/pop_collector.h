// POP3 collection: a thread that, batch after batch, logs in to every configured remote
// mailbox, downloads each message, works out its local recipient and sender, and turns it
// into a processing-queue item. A message leaves its server only after its item is complete
// and on disk in the processing queue, so a crash can duplicate a message but never lose it.
// Nothing ends the thread but Stop: failures skip an account, a message or the batch.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gateway/collection_state.h"
#include "gateway/gateway_config.h"
#include "gateway/spool_layout.h"
#include "platform/wake_event.h"

namespace tarnhold {

class CGatewayMessageFile;
class CPop3Client;

// With an interval of 0, a batch that collected nothing is followed by this pause, so a
// server that is down or a box that is empty is not polled in a busy loop.
inline constexpr std::chrono::milliseconds kPopIdlePause{5000};

// What one batch did.
struct PopBatchResult {
  int collected = 0;         // items moved into the processing queue
  bool work_failed = false;  // a work file could not be written: the batch ended early
};

class CPopCollector {
 public:
  using ConfigSource = std::function<std::shared_ptr<const CGatewayConfig>()>;

  // `config` is asked for the configuration in force at the start of every batch. `state`
  // is the collection-running flag and must outlive the collector.
  CPopCollector(std::filesystem::path root, ConfigSource config, CollectionState& state);
  ~CPopCollector();
  CPopCollector(const CPopCollector&) = delete;
  CPopCollector& operator=(const CPopCollector&) = delete;

  // Notified after every item moved into the processing queue (the sweeper's wake-up).
  void SetQueueWake(WakeEvent* wake) { queue_wake_ = wake; }
  // The longest wait for one server reply or piece of message data (10 s unless set).
  void SetReplyTimeout(long seconds) { reply_timeout_s_ = seconds; }
  // The pause after an idle batch when the interval is 0 (kPopIdlePause unless set).
  void SetIdlePause(std::chrono::milliseconds pause) { idle_pause_ = pause; }

  // Starts the collection thread (once).
  void Start();
  // Asks the thread to end and wakes it; returns at once.
  void RequestStop();
  // Asks the thread to end, wakes it and waits for it. The message in hand is abandoned on
  // the server side only (it stays there); nothing accepted is lost.
  void Stop();

  // One batch over every account of `config`, in list order, on the calling thread.
  PopBatchResult RunBatch(const CGatewayConfig& config);

 private:
  enum class Step { Next, EndBatch };
  // OnDisk: the item is in the processing queue, file and folder synced. NotSynced: it is
  // there, but its folder entry could not be forced to disk. Failed: no item (`error` says).
  enum class QueueResult { OnDisk, NotSynced, Failed };

  void Run();
  void CollectAccount(const CGatewayConfig& config, const CPopAccountRecord& account,
                      PopBatchResult& result);
  [[nodiscard]] Step CollectMessage(CPop3Client& client, const CGatewayConfig& config,
                                    const CPopAccountRecord& account, std::uint32_t n,
                                    PopBatchResult& result);
  [[nodiscard]] bool TooLarge(CPop3Client& client, std::uint32_t n, std::uint64_t max_bytes);
  // Builds the item in the work file and moves it into the processing queue, on disk.
  [[nodiscard]] QueueResult QueueItem(const std::filesystem::path& download,
                                      std::string_view recipient, std::string_view sender,
                                      std::string& error);
  [[nodiscard]] std::chrono::milliseconds PauseAfter(const CGatewayConfig& config,
                                                     const PopBatchResult& result) const;

  SpoolLayout layout_;
  ConfigSource config_;
  CollectionState& state_;
  WakeEvent* queue_wake_ = nullptr;
  long reply_timeout_s_;
  std::chrono::milliseconds idle_pause_ = kPopIdlePause;
  std::atomic<bool> stop_{false};
  WakeEvent sleep_;
  std::jthread thread_;
};

// The recipient of a collected message from the addresses found after the preceding text:
// detect mode 1 takes the address at position `header_number` (counted from 1, at least 1,
// at most the list length); any other mode takes the last address whose domain is one of
// `local_domains` (lower case). Empty when there is none.
[[nodiscard]] std::string DetectRecipient(const std::vector<std::string>& found, int mode,
                                          int header_number,
                                          const std::vector<std::string>& local_domains);

}  // namespace tarnhold
