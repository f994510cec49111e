// The send queue in memory: for every item of the send folder, when it is due (attempts 0: at
// once; else its stamp plus the retry interval) and how long the delivery holds it back after a
// failure that was not counted. Built from one pass over the folder, kept current by the
// delivery's own results and by watching the folder for items that other parties put in, take
// out or rename, and checked against the folder by a periodic rescan. Picking an item costs no
// folder scan. The index is only a guide: a picked item is opened locked and its header read
// again, and the file on disk wins. Thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include "gateway/spool_item.h"
#include "platform/unique_fd.h"

namespace tarnhold {

class SendQueueIndex {
 public:
  using Clock = std::chrono::system_clock;
  // The safety net behind the folder watch: the folder's names are compared with the index.
  static constexpr std::chrono::minutes kRescanInterval{5};
  // Without a folder watch (the system refused one) the folder is compared this often.
  static constexpr std::chrono::seconds kUnwatchedRescanInterval{1};
  // A busy item is looked at again after this, doubling each time up to kBusyRecheckMax: the
  // party that holds it (a mover that just put it here, the queue manager) soon lets go.
  static constexpr std::chrono::milliseconds kBusyRecheckFirst{100};
  static constexpr std::chrono::milliseconds kBusyRecheckMax{5000};

  // How the folder is followed after Start.
  enum class Watch { Watching, Rescanning };

  SendQueueIndex() = default;
  SendQueueIndex(const SendQueueIndex&) = delete;
  SendQueueIndex& operator=(const SendQueueIndex&) = delete;
  ~SendQueueIndex() { Stop(); }

  // Forgets everything, starts watching `folder` and builds the index from it on a thread of
  // its own; `retry_interval_s` is the queue's SMTPRetryInterval. `changed` is called from that
  // thread whenever an item may have become due sooner than the index said before (a new item,
  // a rescan that found one); it must not block. Watching: the folder is watched. Rescanning:
  // the system refused a watch (a line in the SMTP delivery log says why) and the folder is
  // compared every kUnwatchedRescanInterval instead.
  Watch Start(std::filesystem::path folder, int retry_interval_s, std::function<void()> changed);
  // Ends the watch and its thread. What the index holds stays and may still be updated.
  void Stop();

  // The first item, in ascending number order, that is due and not held: opened locked, its
  // number set, positioned at its start and marked taken until Requeue, Hold or Forget is
  // called for it. Items on the way are settled: a busy one is passed over and looked at again
  // later, one that vanished is forgotten, one whose header says it is not due yet is filed
  // under its real due time. `read_error` is called for an item whose stamp and attempts
  // cannot be read; the item is then taken with the values read. Closed item: none qualifies.
  [[nodiscard]] SpoolItem Pick(const std::function<void()>& read_error = {});

  // What became of a taken item, told while it is still open and locked. Requeue: its header
  // was rewritten and the queue's due rule applies again (also for an item given back
  // unsent). Hold: not to be taken again before `until`. Forget: it is gone (delivered).
  // An item whose file is no longer the one the index knows under its number is ignored.
  void Requeue(SpoolItem& item);
  void Hold(SpoolItem& item, Clock::time_point until);
  void Forget(SpoolItem& item);

  // When the first item not taken becomes due and free: Clock::time_point::min() when one
  // already is, Clock::time_point::max() when there is none.
  [[nodiscard]] Clock::time_point NextReady();
  // Items known (taken ones included), and those held back now.
  [[nodiscard]] std::size_t Count() const;
  [[nodiscard]] std::size_t HeldCount() const;

 private:
  enum class Place { None, Waiting, Ready };
  struct FileTimes {
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    bool operator==(const FileTimes&) const = default;
  };
  struct Entry {
    ino_t inode = 0;  // the file the entry describes; another file under the number is new
    // The file's modification and change times when it was held: a file that another party
    // changes afterwards is no longer held.
    FileTimes held_times;
    Clock::time_point due = Clock::time_point::min();
    Clock::time_point held_until = Clock::time_point::min();
    Clock::time_point busy_until = Clock::time_point::min();
    int busy_count = 0;
    bool taken = false;
    std::uint64_t changed_at = 0;  // change sequence of the last update
    Place place = Place::None;
    Clock::time_point filed_at = Clock::time_point::min();  // key in waiting_
    [[nodiscard]] Clock::time_point Ready() const;
  };
  // What a look at one name of the folder found, without taking the item's lock.
  struct Peek {
    bool exists = false;
    ino_t inode = 0;
    FileTimes times;
    bool header_read = false;
    std::uint32_t stamp = 0;
    std::uint32_t attempts = 0;
  };

  void Run();
  void FullScan();
  bool DrainEvents();  // under mutex_; true when something may have become due sooner
  // Whether a look at a name may find the file the entry describes: only when its inode is
  // the same (ByInode), or never, since the name was made, removed or renamed since (New).
  enum class Identity { ByInode, New };
  void Apply(std::uint32_t number, const Peek& peek, Identity identity);  // under mutex_
  void File(std::uint32_t number, Entry& entry);  // under mutex_
  void Unfile(std::uint32_t number, Entry& entry);  // under mutex_
  void Erase(std::uint32_t number);  // under mutex_
  void Promote(Clock::time_point now);  // under mutex_
  Entry* Known(SpoolItem& item);  // under mutex_: the entry of this very file, or null
  [[nodiscard]] static Peek Examine(SpoolItem& item);  // an open item's inode and times
  [[nodiscard]] Peek PeekItem(std::uint32_t number) const;
  [[nodiscard]] Clock::time_point DueTime(const Peek& peek, Clock::time_point now) const;
  void RequestRescan();
  [[nodiscard]] Clock::time_point FrontKey() const;  // under mutex_

  std::filesystem::path folder_;
  int retry_interval_s_ = 300;
  std::function<void()> changed_;
  UniqueFd inotify_;
  UniqueFd poke_;  // eventfd: stop or rescan requested
  std::thread watcher_;
  bool stopping_ = false;        // under mutex_
  bool rescan_wanted_ = false;   // under mutex_
  bool watching_ = false;        // under mutex_

  mutable std::mutex mutex_;
  std::uint64_t sequence_ = 0;
  std::unordered_map<std::uint32_t, Entry> entries_;
  std::set<std::pair<Clock::time_point, std::uint32_t>> waiting_;  // by (ready time, number)
  std::set<std::uint32_t> ready_;                                   // due now, by number
};

}  // namespace tarnhold
