// The queue sweeper: the gateway's single worker for received mail. Each pass takes the items
// of <root>/queproc in ascending number order and either hands each to the per-message
// processor or, with load distribution on, copies it to the next gateway host; every 10th pass
// it releases the off-peak folder into the send queue when the off-peak window is open. Passes
// are 300 ms apart, and a pause ends at once when a new item is announced through QueueWake().
// Configuration is taken as one snapshot per item, so a reload takes effect between items.
// With several workers set, a pass hands each item to one worker (by its number) and ends
// when every worker is done with its share; the enumeration, load distribution and the
// off-peak release stay on the sweeper's thread, and a configuration with clustering or a
// virus-scanning rule (the scanners share one script, report and the whole temp folder)
// is swept by the sweeper's thread alone.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <thread>
#include <vector>

#include "gateway/gateway_config.h"
#include "gateway/intake_flow.h"
#include "platform/wake_event.h"
#include "sweeper/distribution.h"

namespace tarnhold {

inline constexpr std::chrono::milliseconds kSweepPause{300};
inline constexpr int kOffPeakReleaseEvery = 10;
// How many workers the engine gives the sweeper.
inline constexpr int kSweepWorkers = 2;

// Whether the items of `config` may be processed by several workers at once: neither load
// distribution nor any enabled rule with a virus scan.
[[nodiscard]] bool AllowsParallelSweep(const CGatewayConfig& config);

class CQueueSweeper {
 public:
  // The configuration in force; called once per item (and once per pass).
  using ConfigSource = std::function<std::shared_ptr<const CGatewayConfig>()>;
  // The per-message processor: consumes the item or leaves it for a later pass.
  using ItemHandler =
      std::function<void(const std::filesystem::path& item, const CGatewayConfig& config)>;
  // The processor of worker `worker` (0 to count-1); called on that worker's thread.
  using WorkerHandler = std::function<void(int worker, const std::filesystem::path& item,
                                           const CGatewayConfig& config)>;

  CQueueSweeper(std::filesystem::path root, ConfigSource config, ItemHandler handler);
  ~CQueueSweeper();
  CQueueSweeper(const CQueueSweeper&) = delete;
  CQueueSweeper& operator=(const CQueueSweeper&) = delete;

  // Notified by whoever puts a new item into queproc: ends the current pause at once.
  [[nodiscard]] WakeEvent& QueueWake() { return queue_wake_; }
  // Told how many items wait in queproc and when each is done, so the receiver can pace
  // new messages (nullptr: nobody is told).
  void SetIntakeFlow(IntakeFlow* flow) { intake_flow_ = flow; }
  // Notified whenever this sweeper moves items into the send queue.
  void SetSendQueueWake(WakeEvent* wake) { send_wake_ = wake; }
  // Sweeps with `count` workers (before Start). Worker 0 runs on the sweeper's thread; a
  // count below 2 leaves every item to the item handler.
  void SetWorkers(int count, WorkerHandler handler);

  // Starts the thread (once). Stop() ends it after the item in hand; the destructor stops too.
  void Start();
  void Stop();

  // One pass: the enumeration, then the pass count and the off-peak release.
  void RunPass();
  // Moves every item of the off-peak folder into the send queue. Returns how many moved.
  int ReleaseOffPeak();

  [[nodiscard]] const Distributor& Distribution() const { return distributor_; }
  // The source of "now" for the off-peak test (hour, minute); local time by default.
  void SetClock(std::function<std::pair<int, int>()> clock) { clock_ = std::move(clock); }

 private:
  void Run(std::stop_token stop);
  void SweepQueue();
  // The items `numbers` of `queproc`, each given to worker number % workers_.
  void SweepInParallel(const std::filesystem::path& queproc,
                       const std::vector<std::uint32_t>& numbers);
  void TakeConfig();
  [[nodiscard]] bool OffPeakNow(const CGatewayConfig& config) const;

  std::filesystem::path root_;
  ConfigSource config_source_;
  ItemHandler handler_;
  int workers_ = 1;
  WorkerHandler worker_handler_;
  std::shared_ptr<const CGatewayConfig> config_;
  Distributor distributor_;
  int pass_count_ = 0;
  WakeEvent queue_wake_;
  WakeEvent* send_wake_ = nullptr;
  IntakeFlow* intake_flow_ = nullptr;
  std::function<std::pair<int, int>()> clock_;
  std::jthread thread_;
};

}  // namespace tarnhold
