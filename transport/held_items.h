// Send-queue items held back in memory: an item whose gateway, routing-table host or mailbox
// failed is not counted as a retry (only the mail-exchanger path counts), so by the queue's
// own rule it would be due again at once. Holding it for the retry interval keeps the
// scheduler from retrying it in a tight loop. An item is known by its number and its file's
// identity (device, inode and change times, since a freed inode is soon reused), so a new
// item that reuses the number is never held by mistake. Thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>

namespace tarnhold {

class SpoolItem;

class HeldItems {
 public:
  using Clock = std::chrono::steady_clock;

  struct Identity {
    std::uint32_t number = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    [[nodiscard]] bool SameFile(const Identity& other) const {
      return device == other.device && inode == other.inode &&
             modified_ns == other.modified_ns && changed_ns == other.changed_ns;
    }
  };
  // The identity of an open item; number 0 when its file cannot be examined.
  [[nodiscard]] static Identity IdentityOf(SpoolItem& item);

  // Holds the item until `until`.
  void Hold(const Identity& item, Clock::time_point until);
  // Forgets the item (delivered, or rewritten so that the queue's rule applies again).
  void Release(const Identity& item);
  // True while `item` (open, its number set) is held; an entry that has run out, or that
  // belongs to an earlier file of the same number, is dropped.
  [[nodiscard]] bool IsHeld(SpoolItem& item);
  [[nodiscard]] std::size_t Count() const;
  // When the first hold that has not run out yet will; Clock::time_point::max() when none.
  // Holds that ran out are dropped.
  [[nodiscard]] Clock::time_point FirstRelease();

 private:
  struct Entry {
    Identity file;
    Clock::time_point until;
  };

  void DropRunOut(Clock::time_point now);  // under mutex_

  mutable std::mutex mutex_;
  std::map<std::uint32_t, Entry> held_;
};

}  // namespace tarnhold
