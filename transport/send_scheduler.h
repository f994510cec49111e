// The SMTP delivery scheduler: one thread that takes due items from the send queue and starts
// one send thread per item (DeliverQueueItem), never more than SMTPMaxOut at once. Which item
// is due comes from a SendQueueIndex of the send folder, so taking one costs no folder scan.
// When it can start nothing the scheduler sleeps until the first item becomes due or free, at
// most 5 s; a send thread that ends, a new item in the folder, or a producer that notifies
// SendQueueWake() after putting an item there ends the sleep at once. The settings object must
// outlive the scheduler.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/wake_event.h"
#include "gateway/send_queue_index.h"
#include "transport/smtp_delivery.h"

namespace tarnhold {

class CServerSettings;

class CSendScheduler {
 public:
  static constexpr std::chrono::milliseconds kIdleSleep{5000};
  static constexpr std::chrono::milliseconds kStopWait{10000};

  CSendScheduler() = default;
  CSendScheduler(const CSendScheduler&) = delete;
  CSendScheduler& operator=(const CSendScheduler&) = delete;
  ~CSendScheduler() { Shutdown(); }

  // The settings and spool manager every send thread works through (set by the owner before
  // Start; never owned).
  void SetSettings(CServerSettings* settings);
  // The configuration snapshot for items started from now on (a reload calls it again).
  void SetConfig(DeliveryConfig config);

  // 0: started, or already running. 1: no settings were given or the thread cannot start.
  int Start();
  // Sets the stop flag, ends the scheduler thread and waits up to kStopWait for the running
  // send threads to end. 0 when none runs any more, 1 when some still run.
  int Stop();
  // Stops, then tells the send threads still running to give up at their next wait for the
  // network and waits for them: afterwards no thread of the scheduler runs. The destructor
  // does this; an owner whose logs or settings go first calls it before.
  void Shutdown();

  // Notify this when an item has entered the send queue.
  [[nodiscard]] WakeEvent& SendQueueWake() { return wake_; }
  [[nodiscard]] int RunningThreads() const;
  // Items held back after an uncounted failure: a gateway, routing-table host or mailbox
  // that failed does not count a retry, so by the queue's own rule the item would be due again
  // at once; it waits for the retry interval instead.
  [[nodiscard]] std::size_t HeldCount() const { return index_.HeldCount(); }
  // Items of the send queue the scheduler knows about, those being sent included.
  [[nodiscard]] std::size_t IndexedCount() const { return index_.Count(); }

 private:
  struct SendThread {
    std::thread thread;
    bool done = false;  // under lock_
  };

  enum class Next { Started, Full, NoneDue };

  void Run();
  Next StartNext();
  void Send(SendThread& self, SpoolItem& item, const DeliveryConfig& config);
  void ReapFinished();
  [[nodiscard]] int MaxThreads() const;
  [[nodiscard]] std::chrono::milliseconds IdleSleep();

  CServerSettings* settings_ = nullptr;
  std::thread scheduler_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> abort_{false};
  WakeEvent wake_;
  SendQueueIndex index_;

  mutable std::mutex lock_;  // over the fields below
  std::condition_variable threads_changed_;
  std::list<SendThread> threads_;
  int running_ = 0;
  std::shared_ptr<const DeliveryConfig> config_ = std::make_shared<const DeliveryConfig>();
};

}  // namespace tarnhold
