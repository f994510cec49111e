// Whether a POP3 collection is running now. The collector sets it for the length of a batch
// (CollectionRunningScope); the dial-up manager reads it without a lock and keeps the line
// while it is set. A stale value delays a decision by one pass at most.
#pragma once

#include <atomic>

namespace tarnhold {

class CollectionFlag {
 public:
  void Set(bool running) { running_.store(running, std::memory_order_relaxed); }
  [[nodiscard]] bool IsSet() const { return running_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> running_{false};
};

// Sets the flag while alive: a collection that ends on any path clears it.
class CollectionRunningScope {
 public:
  explicit CollectionRunningScope(CollectionFlag& flag) : flag_(flag) { flag_.Set(true); }
  ~CollectionRunningScope() { flag_.Set(false); }
  CollectionRunningScope(const CollectionRunningScope&) = delete;
  CollectionRunningScope& operator=(const CollectionRunningScope&) = delete;

 private:
  CollectionFlag& flag_;
};

}  // namespace tarnhold
