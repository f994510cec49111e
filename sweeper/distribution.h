// Load distribution: hands items of the local processing queue to other gateway hosts in
// turn, by copying each into the processing queue of the next host in the distribution list
// (the other hosts' data roots, mounted shares). A host whose copy fails leaves the list until
// the list is set afresh. The target never sees half a copy: the stat file goes first, and the
// item is written under a hidden name and renamed into place without overwriting.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "sweeper/sweep_log.h"

namespace tarnhold {

// After this many busy attempts, kMaxLockedPause apart, an item still held by its writer is
// left for the next pass.
inline constexpr int kLockedAttempts = 10;
inline constexpr std::chrono::milliseconds kLockedPause{100};
// The queue-ID hint starts again at 1 once a number above this was taken.
inline constexpr std::uint32_t kQueueIdHintLimit = 30000;

enum class DistributeResult {
  Copied,   // the item is on its host and removed here
  Skipped,  // still held by its writer, or gone: met again in a later pass
  Failed,   // the host was dropped from the list; end this pass's enumeration
};

class Distributor {
 public:
  // `root`: this host's data root (its stat folder). `log` takes the lines (no "> " prefix).
  Distributor(std::filesystem::path root, LineSink log);

  // Replaces the list (start-up and every configuration reload) and starts at its first host.
  void SetHosts(std::vector<std::string> hosts);
  [[nodiscard]] const std::vector<std::string>& Hosts() const { return hosts_; }
  [[nodiscard]] bool HasHosts() const { return !hosts_.empty(); }
  [[nodiscard]] std::size_t HostIndex() const { return host_index_; }
  void ResetHostIndex() { host_index_ = 0; }
  // Where the search for a free number on a host starts (process-wide, not stored).
  [[nodiscard]] std::uint32_t QueueIdHint() const { return queue_id_hint_; }
  void SetQueueIdHint(std::uint32_t hint) { queue_id_hint_ = hint; }

  // Copies `item` (a file of the local processing queue) to the current host.
  [[nodiscard]] DistributeResult Distribute(const std::filesystem::path& item);

  void SetLockedPause(std::chrono::milliseconds pause) { locked_pause_ = pause; }

 private:
  DistributeResult Fail(const std::string& name, std::size_t index);
  std::uint32_t TakeNumber(const std::filesystem::path& queproc);

  std::filesystem::path root_;
  LineSink log_;
  std::vector<std::string> hosts_;
  std::size_t host_index_ = 0;
  std::uint32_t queue_id_hint_ = 0;
  std::chrono::milliseconds locked_pause_ = kLockedPause;
  std::set<std::string> reported_locked_;  // "still locked" is written once per item
};

}  // namespace tarnhold
