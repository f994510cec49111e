// Whether a POP3 collection batch is running right now. The collector sets it for the length
// of each batch and clears it while it sleeps; the dial-up manager reads it and does not hang
// up while it is set. Any thread may read it at any time without a lock.
#pragma once

#include <atomic>

namespace tarnhold {

class CollectionState {
 public:
  void SetRunning(bool running) { running_.store(running, std::memory_order_release); }
  [[nodiscard]] bool IsRunning() const { return running_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> running_{false};
};

}  // namespace tarnhold
