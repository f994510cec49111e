// A wake-up call between threads: a worker that sleeps between passes waits on it with a
// deadline, and a producer that has just made work for it ends the sleep at once. Notifies
// are not lost: one that comes while the worker is busy ends its next wait immediately.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tarnhold {

class WakeEvent {
 public:
  // Ends the current or the next wait.
  void Notify() {
    {
      std::scoped_lock lock(mutex_);
      pending_ = true;
    }
    cv_.notify_all();
  }

  // Sleeps until notified or until `timeout` has passed. True when woken by a notify.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    bool woken = cv_.wait_for(lock, timeout, [this] { return pending_; });
    pending_ = false;
    return woken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool pending_ = false;
};

}  // namespace tarnhold
