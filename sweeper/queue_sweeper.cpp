#include "sweeper/queue_sweeper.h"

#include <algorithm>
#include <vector>

#include "gateway/spool_layout.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "sweeper/off_peak.h"
#include "sweeper/temp_cleanup.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Tells the intake flow that one listed item has been dealt with, however its turn ended.
class ItemDone {
 public:
  explicit ItemDone(IntakeFlow* flow) : flow_(flow) {}
  ItemDone(const ItemDone&) = delete;
  ItemDone& operator=(const ItemDone&) = delete;
  ~ItemDone() {
    if (flow_ != nullptr) flow_->Done();
  }

 private:
  IntakeFlow* flow_;
};

}  // namespace

bool AllowsParallelSweep(const CGatewayConfig& config) {
  if (config.EnableClustering == 1) return false;
  for (const CRuleRecord& rule : config.rules) {
    if (rule.Enabled == 1 && rule.VirusScan == 1) return false;
  }
  return true;
}

CQueueSweeper::CQueueSweeper(fs::path root, ConfigSource config, ItemHandler handler)
    : root_(std::move(root)),
      config_source_(std::move(config)),
      handler_(std::move(handler)),
      distributor_(root_, [](std::string_view line) { SweeperLine(line); }) {}

CQueueSweeper::~CQueueSweeper() { Stop(); }

void CQueueSweeper::SetWorkers(int count, WorkerHandler handler) {
  workers_ = std::max(1, count);
  worker_handler_ = std::move(handler);
}

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
  const std::vector<std::uint32_t> numbers = ListItemNumbers(queproc);
  if (intake_flow_ != nullptr) intake_flow_->Listed(static_cast<int>(numbers.size()));
  if (numbers.empty()) return;
  if (workers_ > 1 && worker_handler_) {
    TakeConfig();
    if (!config_) return;
    if (AllowsParallelSweep(*config_)) return SweepInParallel(queproc, numbers);
  }
  for (std::uint32_t number : numbers) {
    TakeConfig();
    if (!config_) return;
    const fs::path item = queproc / std::to_string(number);
    ItemDone done(intake_flow_);
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

void CQueueSweeper::SweepInParallel(const fs::path& queproc,
                                    const std::vector<std::uint32_t>& numbers) {
  // An item always goes to the same worker, so a worker that has reported an item held by its
  // writer is the one that sees it again.
  std::vector<std::vector<fs::path>> shares(static_cast<std::size_t>(workers_));
  for (std::uint32_t number : numbers) {
    shares[number % static_cast<std::uint32_t>(workers_)].push_back(queproc /
                                                                    std::to_string(number));
  }
  // No worker runs now: leftovers of a run that ended abruptly may go, worker folders too.
  RemoveTempLeftovers(SpoolLayout(root_).Temp());
  auto sweep_share = [this, &shares](int worker) {
    for (const fs::path& item : shares[static_cast<std::size_t>(worker)]) {
      // A reload that turns on clustering or a virus scan leaves the rest to the next pass.
      auto config = config_source_();
      if (!config || !AllowsParallelSweep(*config)) return;
      std::error_code ec;
      ItemDone done(intake_flow_);
      if (!fs::is_regular_file(item, ec)) continue;  // gone since the listing
      worker_handler_(worker, item, *config);
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (int k = 1; k < workers_; ++k) {
      if (!shares[static_cast<std::size_t>(k)].empty()) helpers.emplace_back(sweep_share, k);
    }
    sweep_share(0);
  }  // the pass ends when every worker has finished its share
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
