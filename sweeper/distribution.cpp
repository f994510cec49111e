#include "sweeper/distribution.h"

#include <unistd.h>

#include <thread>

#include "gateway/spool_layout.h"
#include "platform/data_root.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Numbers tried on the host when the one picked is taken before the rename.
constexpr int kNumberTries = 100;

// Puts a copy of `from` at `to`, replacing what is there, without a moment of half a file.
bool CopyReplacing(const fs::path& from, const fs::path& to) {
  std::string error;
  auto hidden = CopyToHidden(from, to.parent_path(), error);
  if (!hidden) return false;
  std::error_code ec;
  fs::rename(*hidden, to, ec);
  if (ec) fs::remove(*hidden, ec);
  return !ec;
}

}  // namespace

Distributor::Distributor(fs::path root, LineSink log)
    : root_(std::move(root)), log_(std::move(log)) {}

void Distributor::SetHosts(std::vector<std::string> hosts) {
  hosts_ = std::move(hosts);
  host_index_ = 0;
}

std::uint32_t Distributor::TakeNumber(const fs::path& queproc) {
  std::uint32_t n = FindFreeNumber(queproc, queue_id_hint_);
  queue_id_hint_ = n <= kQueueIdHintLimit ? n + 1 : 0;
  return n;
}

DistributeResult Distributor::Fail(const std::string& name, std::size_t index) {
  log_(name + " copy failed, removing " + hosts_[index] + " from the distribution list");
  hosts_.erase(hosts_.begin() + static_cast<std::ptrdiff_t>(index));
  host_index_ = 0;
  return DistributeResult::Failed;
}

DistributeResult Distributor::Distribute(const fs::path& item) {
  const std::size_t index = host_index_;
  const std::string name = item.filename().string();
  const std::string& host_entry = hosts_[index];
  // An empty or relative entry would name a folder of whatever the working directory is.
  const fs::path host(host_entry);
  if (host_entry.empty() || !host.is_absolute()) return Fail(name, index);
  const SpoolLayout host_layout(host);
  const fs::path queproc = host_layout.Processing();
  std::uint32_t n = TakeNumber(queproc);

  // The writer (receiver, collection) holds the item until it is complete.
  LockedFile held;
  std::string error;
  LockResult lock = LockResult::Busy;
  for (int attempt = 0; attempt < kLockedAttempts; ++attempt) {
    lock = held.OpenLocked(item, Access::ReadWrite, error);
    if (lock != LockResult::Busy) break;
    if (reported_locked_.insert(item.string()).second) log_("still locked");
    std::this_thread::sleep_for(locked_pause_);
  }
  if (lock != LockResult::Locked) return DistributeResult::Skipped;
  reported_locked_.erase(item.string());

  const fs::path local_stat = SpoolLayout(root_).SourceInfo(name);
  std::error_code ec;
  const bool has_stat = fs::exists(local_stat, ec);
  auto hidden = CopyToHidden(item, queproc, error);
  for (int tries = 0; tries < kNumberTries; ++tries) {
    if (has_stat && !CopyReplacing(local_stat, host_layout.SourceInfo(n))) break;
    const fs::path target = queproc / std::to_string(n);
    log_(name + " copying to " + target.string());
    if (!hidden) break;
    MoveResult moved = MoveNoReplace(*hidden, target, error);
    if (moved == MoveResult::TargetExists) {
      n = TakeNumber(queproc);  // taken by another host in between
      continue;
    }
    if (moved != MoveResult::Moved) break;
    log_(name + " copy OK");
    ::unlink(item.c_str());  // still held, so nobody takes it in between
    held.Close();
    fs::remove(local_stat, ec);
    host_index_ = index + 1 == hosts_.size() ? 0 : index + 1;
    return DistributeResult::Copied;
  }
  if (hidden) fs::remove(*hidden, ec);
  return Fail(name, index);
}

}  // namespace tarnhold
