// The per-message processor: reads one queue item with the message file, reads its source IP,
// walks the rules, decides the final action and has it carried out. The live sweeper and the
// dry run share this one path; they differ only in their effects and in where work files go.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "gateway/gateway_config.h"
#include "message/gateway_message_file.h"
#include "platform/wake_event.h"
#include "sweeper/final_action.h"
#include "sweeper/rule_context.h"

namespace tarnhold {

// Where one run of the processor reads and writes besides the item itself.
struct ProcessSetup {
  std::filesystem::path temp_root;       // the message file's parts go into a folder made here
  std::filesystem::path work_zip;        // the compression action's archive
  std::filesystem::path stat_file;       // the item's source information
  std::optional<std::string> source_ip;  // given: used instead of the stat file
  LineSink log;
  VirusCheck virus_check;
};

// Whether some enabled rule of `config` looks at the saved parts: their names, sizes, contents
// or content types, the archives among them (checks and virus scans), or rebuilds the message
// from them (every final action but continue, quarantine, delete and off-peak). Without
// such a rule an item's parts are not saved as files.
[[nodiscard]] bool RulesReadParts(const CGatewayConfig& config);

// Makes the effects for an item once it has been read (or could not be).
using EffectsFactory = std::function<std::unique_ptr<ItemEffects>(
    const std::filesystem::path& item, const MessageFacts& facts, CGatewayMessageFile& message)>;

// Processes `item` under `config`: the read, the walk, the decision and its effects, with the
// processor's lines. `send_queue_hint` is kept by the caller across items.
ItemOutcome ProcessItem(const std::filesystem::path& item, const CGatewayConfig& config,
                        const ProcessSetup& setup, const EffectsFactory& make_effects,
                        std::uint32_t& send_queue_hint);

// The engine's processor: ProcessItem with live effects on the data root, with the clean-up
// before and after each item. An item that its writer still holds is reported once; while it
// stays held, later passes leave it alone without a line.
class QueueItemProcessor {
 public:
  // `send_wake` (may be null) is notified when an item enters the send queue.
  explicit QueueItemProcessor(WakeEvent* send_wake = nullptr) : send_wake_(send_wake) {}

  void ProcessQueueItem(const std::filesystem::path& item, const CGatewayConfig& config);
  void SetSendQueueWake(WakeEvent* wake) { send_wake_ = wake; }
  void SetVirusCheck(VirusCheck check) { virus_check_ = std::move(check); }
  // Makes this processor sweeper worker `worker` of several: its work files go to the worker's
  // own folder (SpoolLayout::SweepWorkerTemp), and each item's lines reach the sweeper log as
  // one block, so the items of parallel workers do not mix there.
  void SetWorker(int worker) { worker_ = worker; }

 private:
  WakeEvent* send_wake_;
  std::optional<int> worker_;
  VirusCheck virus_check_;
  std::uint32_t send_queue_hint_ = 0;
  std::set<std::filesystem::path> reported_locked_;
};

}  // namespace tarnhold
