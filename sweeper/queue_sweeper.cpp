#include "sweeper/queue_sweeper.h"

#include "gateway/spool_layout.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "sweeper/off_peak.h"

namespace fs = std::filesystem;

namespace tarnhold {

CQueueSweeper::CQueueSweeper(fs::path root, ConfigSource config, ItemHandler handler)
    : root_(std::move(root)),
      config_source_(std::move(config)),
      handler_(std::move(handler)),
      distributor_(root_, [](std::string_view line) { SweeperLine(line); }) {}

CQueueSweeper::~CQueueSweeper() { Stop(); }

void CQueueSweeper::Start() {
  if (thread_.joinable()) return;
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void CQueueSweeper::Stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  queue_wake_.Notify();
  thread_.join();
}

void CQueueSweeper::Run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    RunPass();
    queue_wake_.WaitFor(kSweepPause);
  }
}

void CQueueSweeper::TakeConfig() {
  auto fresh = config_source_();
  if (!fresh) return;
  // A new snapshot is a reload: the distribution list is filled afresh from it.
  if (fresh != config_) {
    config_ = std::move(fresh);
    distributor_.SetHosts(config_->EnableClustering == 1 ? config_->cluster_hosts
                                                         : std::vector<std::string>{});
  }
}

void CQueueSweeper::RunPass() {
  SweepQueue();
  if (++pass_count_ >= kOffPeakReleaseEvery) {
    pass_count_ = 0;
    TakeConfig();
    if (config_ && OffPeakNow(*config_)) ReleaseOffPeak();
  }
}

void CQueueSweeper::SweepQueue() {
  const fs::path queproc = SpoolLayout(root_).Processing();
  for (std::uint32_t number : ListItemNumbers(queproc)) {
    TakeConfig();
    if (!config_) return;
    const fs::path item = queproc / std::to_string(number);
    std::error_code ec;
    if (!fs::is_regular_file(item, ec)) continue;  // gone since the listing
    if (config_->EnableClustering != 1) {
      handler_(item, *config_);
    } else if (distributor_.HostIndex() < distributor_.Hosts().size()) {
      if (distributor_.Distribute(item) == DistributeResult::Failed) return;
    } else {
      SweeperLine(item.filename().string() + " processing locally");
      handler_(item, *config_);
      distributor_.ResetHostIndex();
    }
  }
}

bool CQueueSweeper::OffPeakNow(const CGatewayConfig& c) const {
  if (!clock_)
    return IsOffPeakNow(c.OffPeakFromHH, c.OffPeakFromMM, c.OffPeakToHH, c.OffPeakToMM) == 1;
  auto [hour, minute] = clock_();
  return IsOffPeakAt(hour, minute, c.OffPeakFromHH, c.OffPeakFromMM, c.OffPeakToHH,
                     c.OffPeakToMM) == 1;
}

int CQueueSweeper::ReleaseOffPeak() {
  int moved = 0;
  const SpoolLayout layout(root_);
  const fs::path que = layout.Send();
  const fs::path offpeak = layout.OffPeak();
  for (std::uint32_t number : ListItemNumbers(offpeak)) {
    const std::string title = std::to_string(number);
    std::string error;
    // A failed move leaves the file for the next release; an item someone holds is skipped.
    LockedFile held;
    if (held.OpenLocked(offpeak / title, Access::ReadOnly, error) != LockResult::Locked)
      continue;
    if (!MoveToFreeNumber(offpeak / title, que, error)) continue;
    held.Close();
    ++moved;
    SweeperLine("message " + title + " moved from off-peak to send queue");
  }
  if (moved > 0 && send_wake_) send_wake_->Notify();
  return moved;
}

}  // namespace tarnhold
