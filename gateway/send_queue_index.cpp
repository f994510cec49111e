#include "gateway/send_queue_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "gateway/activity_log.h"
#include "platform/spool_folder.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

using Clock = SendQueueIndex::Clock;

// A stamp further than this in the future (a clock set back, or a damaged header) does not
// hold an item back: it is due at once rather than for years. The same bound as the picker's.
constexpr std::int64_t kMaxFutureStampSeconds = 24 * 60 * 60;
constexpr std::size_t kFixedBytes = 8;  // stamp and attempts
constexpr std::uint32_t kRenewingEvents = IN_MOVED_TO | IN_CREATE | IN_MOVED_FROM | IN_DELETE;
constexpr std::uint32_t kWatchedEvents = IN_MOVED_TO | IN_CREATE | IN_CLOSE_WRITE |
                                         IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR |
                                         IN_EXCL_UNLINK;

std::uint32_t LittleEndian32(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// The item names of `folder` with their inodes; folders are not items.
std::vector<std::pair<std::uint32_t, ino_t>> ListItems(const fs::path& folder) {
  std::vector<std::pair<std::uint32_t, ino_t>> out;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return out;
  while (dirent* e = ::readdir(dir.get())) {
    auto n = ItemNumber(e->d_name);
    if (!n) continue;
    if (e->d_type == DT_DIR) continue;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          S_ISDIR(st.st_mode)) {
        continue;
      }
    }
    out.emplace_back(*n, e->d_ino);
  }
  return out;
}

std::int64_t Nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}


}  // namespace

SendQueueIndex::Peek SendQueueIndex::Examine(SpoolItem& item) {
  struct stat st {};
  if (!item.IsOpen() || ::fstat(item.File().Fd(), &st) != 0) return {};
  return {true, st.st_ino, {Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)}, false, 0, 0};
}

Clock::time_point SendQueueIndex::Entry::Ready() const {
  return std::max({due, held_until, busy_until});
}

SendQueueIndex::Watch SendQueueIndex::Start(fs::path folder, int retry_interval_s,
                                            std::function<void()> changed) {
  Stop();
  {
    std::scoped_lock guard(mutex_);
    entries_.clear();
    waiting_.clear();
    ready_.clear();
    folder_ = std::move(folder);
    retry_interval_s_ = retry_interval_s;
    changed_ = std::move(changed);
    stopping_ = false;
    rescan_wanted_ = false;
    watching_ = false;
  }
  poke_.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  inotify_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  // The watch comes before the first listing, so nothing that arrives meanwhile is missed.
  std::string why;
  if (!inotify_) {
    why = std::strerror(errno);
  } else if (::inotify_add_watch(inotify_.Get(), folder_.c_str(), kWatchedEvents) < 0) {
    why = std::strerror(errno);
  } else {
    watching_ = true;
  }
  if (!watching_) {
    SmtpOutLogLine("Error: cannot watch " + folder_.string() + " for new items (" + why +
                   "); it is scanned every second instead");
  }
  watcher_ = std::thread([this] { Run(); });
  return watching_ ? Watch::Watching : Watch::Rescanning;
}

void SendQueueIndex::Stop() {
  if (!watcher_.joinable()) return;
  {
    std::scoped_lock guard(mutex_);
    stopping_ = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(poke_.Get(), &one, sizeof one);
  watcher_.join();
  std::scoped_lock guard(mutex_);
  inotify_.Reset();
  watching_ = false;
}

void SendQueueIndex::Run() {
  using Steady = std::chrono::steady_clock;
  FullScan();
  if (changed_) changed_();
  auto period = [this] {
    std::scoped_lock guard(mutex_);
    return watching_ ? std::chrono::duration_cast<std::chrono::milliseconds>(kRescanInterval)
                     : std::chrono::duration_cast<std::chrono::milliseconds>(
                           kUnwatchedRescanInterval);
  };
  auto next_rescan = Steady::now() + period();
  for (;;) {
    pollfd fds[2] = {{poke_.Get(), POLLIN, 0}, {inotify_.Get(), POLLIN, 0}};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_rescan -
                                                                            Steady::now());
    const int timeout_ms = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60'000));
    (void)::poll(fds, inotify_ ? 2 : 1, timeout_ms);
    if (fds[0].revents != 0) {
      std::uint64_t count = 0;
      (void)!::read(poke_.Get(), &count, sizeof count);
    }
    bool sooner = false;
    bool rescan = false;
    {
      std::scoped_lock guard(mutex_);
      if (stopping_) return;
      sooner = DrainEvents();
      rescan = rescan_wanted_ || Steady::now() >= next_rescan;
      rescan_wanted_ = false;
    }
    if (rescan) {
      FullScan();
      sooner = true;
      next_rescan = Steady::now() + period();
    }
    if (sooner && changed_) changed_();
  }
}

void SendQueueIndex::FullScan() {
  std::uint64_t started = 0;
  {
    std::scoped_lock guard(mutex_);
    started = ++sequence_;
    // A folder that was removed and made again needs a new watch.
    if (inotify_ && !watching_ &&
        ::inotify_add_watch(inotify_.Get(), folder_.c_str(), kWatchedEvents) >= 0) {
      watching_ = true;
    }
  }
  const auto listed = ListItems(folder_);
  // Headers are read outside the lock: the first pass over a large queue must not stall the
  // picker. Names that the index already knows as the same file are not read again.
  std::vector<std::uint32_t> unknown;
  {
    std::scoped_lock guard(mutex_);
    for (const auto& [number, inode] : listed) {
      auto it = entries_.find(number);
      if (it == entries_.end() || it->second.inode != inode) unknown.push_back(number);
    }
  }
  std::vector<std::pair<std::uint32_t, Peek>> peeks;
  peeks.reserve(unknown.size());
  for (std::uint32_t number : unknown) peeks.emplace_back(number, PeekItem(number));

  std::vector<std::uint32_t> present;
  present.reserve(listed.size());
  for (const auto& item : listed) present.push_back(item.first);
  std::sort(present.begin(), present.end());

  std::scoped_lock guard(mutex_);
  // What changed after the listing began is newer than the listing: it stays as it is.
  for (const auto& [number, peek] : peeks) {
    auto it = entries_.find(number);
    if (it != entries_.end() && it->second.changed_at > started) continue;
    Apply(number, peek, Identity::ByInode);
  }
  std::vector<std::uint32_t> gone;
  for (const auto& [number, entry] : entries_) {
    if (entry.taken || entry.changed_at > started) continue;
    if (!std::binary_search(present.begin(), present.end(), number)) gone.push_back(number);
  }
  for (std::uint32_t number : gone) Erase(number);
}

bool SendQueueIndex::DrainEvents() {
  if (!inotify_) return false;
  const Clock::time_point front = FrontKey();
  alignas(inotify_event) char buffer[64 * 1024];
  std::map<std::uint32_t, Identity> names;
  for (;;) {
    const ssize_t got = ::read(inotify_.Get(), buffer, sizeof buffer);
    if (got <= 0) break;  // EAGAIN: nothing more queued
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if ((event->mask & IN_Q_OVERFLOW) != 0) RequestRescan();
      if ((event->mask & IN_IGNORED) != 0) {  // the folder itself went away
        watching_ = false;
        RequestRescan();
      }
      if (event->len == 0 || (event->mask & IN_ISDIR) != 0) continue;
      auto number = ItemNumber(event->name);
      if (!number) continue;
      // A name that was made, removed or renamed may stand for another file now even when
      // the system gave the new file the old one's inode.
      Identity& identity = names[*number];
      if ((event->mask & kRenewingEvents) != 0) identity = Identity::New;
    }
  }
  // Each name is looked at once, however many events it had: the file on disk says the rest.
  for (const auto& [number, identity] : names) Apply(number, PeekItem(number), identity);
  return FrontKey() < front;
}

void SendQueueIndex::RequestRescan() {
  rescan_wanted_ = true;
  const std::uint64_t one = 1;
  (void)!::write(poke_.Get(), &one, sizeof one);
}

void SendQueueIndex::Apply(std::uint32_t number, const Peek& peek, Identity identity) {
  auto it = entries_.find(number);
  if (!peek.exists) {
    if (it != entries_.end()) Erase(number);
    return;
  }
  if (it == entries_.end()) it = entries_.emplace(number, Entry{}).first;
  Entry& entry = it->second;
  if (entry.inode != peek.inode || identity == Identity::New) {
    // Another file under this number: a new item, with no hold and not taken.
    Unfile(number, entry);
    entry = Entry{};
    entry.inode = peek.inode;
  }
  if (entry.held_times != peek.times) entry.held_until = Clock::time_point::min();
  entry.due = DueTime(peek, Clock::now());
  // The file changed, so whoever held it has probably let go.
  entry.busy_until = Clock::time_point::min();
  entry.busy_count = 0;
  entry.changed_at = ++sequence_;
  File(number, entry);
}

void SendQueueIndex::File(std::uint32_t number, Entry& entry) {
  Unfile(number, entry);
  if (entry.taken) return;
  entry.filed_at = entry.Ready();
  waiting_.emplace(entry.filed_at, number);
  entry.place = Place::Waiting;
}

void SendQueueIndex::Unfile(std::uint32_t number, Entry& entry) {
  if (entry.place == Place::Waiting) waiting_.erase({entry.filed_at, number});
  if (entry.place == Place::Ready) ready_.erase(number);
  entry.place = Place::None;
}

void SendQueueIndex::Erase(std::uint32_t number) {
  auto it = entries_.find(number);
  if (it == entries_.end()) return;
  Unfile(number, it->second);
  entries_.erase(it);
}

void SendQueueIndex::Promote(Clock::time_point now) {
  while (!waiting_.empty() && waiting_.begin()->first <= now) {
    const std::uint32_t number = waiting_.begin()->second;
    waiting_.erase(waiting_.begin());
    entries_.at(number).place = Place::Ready;
    ready_.insert(number);
  }
}

Clock::time_point SendQueueIndex::FrontKey() const {
  if (!ready_.empty()) return Clock::time_point::min();
  return waiting_.empty() ? Clock::time_point::max() : waiting_.begin()->first;
}

Clock::time_point SendQueueIndex::DueTime(const Peek& peek, Clock::time_point now) const {
  // Unread: due at once, so that the picker opens it and settles what it is.
  if (!peek.header_read || peek.attempts == 0) return Clock::time_point::min();
  const auto stamp = Clock::from_time_t(static_cast<std::time_t>(peek.stamp));
  if (stamp > now + std::chrono::seconds(kMaxFutureStampSeconds)) {
    return Clock::time_point::min();
  }
  return stamp + std::chrono::seconds(retry_interval_s_);
}

SendQueueIndex::Peek SendQueueIndex::PeekItem(std::uint32_t number) const {
  const fs::path path = folder_ / std::to_string(number);
  Peek peek;
  // No lock is taken: the look must never make the item busy for the party that holds it.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (!fd) {
    // Present but not readable here: the picker will find out what it is.
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return peek;
    return {true, st.st_ino, {}, false, 0, 0};
  }
  if (::fstat(fd.Get(), &st) != 0 || S_ISDIR(st.st_mode)) return peek;
  peek.exists = true;
  peek.inode = st.st_ino;
  peek.times = {Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
  unsigned char fixed[kFixedBytes] = {};
  if (S_ISREG(st.st_mode) && ::pread(fd.Get(), fixed, sizeof fixed, 0) ==
                                 static_cast<ssize_t>(sizeof fixed)) {
    peek.header_read = true;
    peek.stamp = LittleEndian32(fixed);
    peek.attempts = LittleEndian32(fixed + 4);
  }
  return peek;
}

SpoolItem SendQueueIndex::Pick(const std::function<void()>& read_error) {
  std::scoped_lock guard(mutex_);
  DrainEvents();
  const Clock::time_point now = Clock::now();
  const std::int64_t now_s = Clock::to_time_t(now);
  Promote(now);
  while (!ready_.empty()) {
    const std::uint32_t number = *ready_.begin();
    Entry& entry = entries_.at(number);
    Unfile(number, entry);
    SpoolItem item;
    std::string error;
    switch (item.file_.OpenLocked(folder_ / std::to_string(number), Access::ReadWrite, error)) {
      case LockResult::Locked:
        break;
      case LockResult::Busy: {
        const int doublings = std::min(entry.busy_count++, 6);
        entry.busy_until =
            now + std::min(kBusyRecheckFirst * (1 << doublings), kBusyRecheckMax);
        File(number, entry);
        continue;
      }
      case LockResult::Failed:  // vanished, or not an item we can open
        Erase(number);
        continue;
    }
    item.number_ = number;
    const Peek file = Examine(item);
    if (file.inode != entry.inode) {  // a file the index has not seen yet under this number
      entry = Entry{};
      entry.inode = file.inode;
    }
    if (entry.held_times != file.times) entry.held_until = Clock::time_point::min();
    entry.busy_until = Clock::time_point::min();
    entry.busy_count = 0;
    entry.changed_at = ++sequence_;
    if (entry.held_until > now) {
      File(number, entry);
      continue;
    }
    unsigned char fixed[kFixedBytes] = {};
    if (item.file_.Read(fixed, sizeof fixed) != static_cast<long>(sizeof fixed) && read_error) {
      read_error();  // and go on with the values read
    }
    const std::int64_t stamp = LittleEndian32(fixed);
    const std::uint32_t attempts = LittleEndian32(fixed + 4);
    const bool due = attempts == 0 || now_s - stamp >= retry_interval_s_ ||
                     stamp > now_s + kMaxFutureStampSeconds;
    if (!due) {
      entry.due = Clock::from_time_t(static_cast<std::time_t>(stamp)) +
                  std::chrono::seconds(retry_interval_s_);
      File(number, entry);
      continue;  // closed by leaving scope
    }
    if (!item.file_.Seek(0)) {
      entry.busy_until = now + kBusyRecheckMax;
      File(number, entry);
      continue;
    }
    entry.due = Clock::time_point::min();
    entry.taken = true;
    return item;
  }
  return SpoolItem{};
}

SendQueueIndex::Entry* SendQueueIndex::Known(SpoolItem& item) {
  auto it = entries_.find(item.Number());
  if (it == entries_.end() || it->second.inode != Examine(item).inode) return nullptr;
  return &it->second;
}

void SendQueueIndex::Requeue(SpoolItem& item) {
  std::scoped_lock guard(mutex_);
  Entry* entry = Known(item);
  if (entry == nullptr) return;
  Peek peek{true, entry->inode, {}, false, 0, 0};
  unsigned char fixed[kFixedBytes] = {};
  if (::pread(item.File().Fd(), fixed, sizeof fixed, 0) == static_cast<ssize_t>(sizeof fixed)) {
    peek.header_read = true;
    peek.stamp = LittleEndian32(fixed);
    peek.attempts = LittleEndian32(fixed + 4);
  }
  entry->due = DueTime(peek, Clock::now());
  entry->held_until = Clock::time_point::min();
  entry->taken = false;
  entry->changed_at = ++sequence_;
  File(item.Number(), *entry);
}

void SendQueueIndex::Hold(SpoolItem& item, Clock::time_point until) {
  std::scoped_lock guard(mutex_);
  Entry* entry = Known(item);
  if (entry == nullptr) return;
  entry->held_until = until;
  entry->held_times = Examine(item).times;
  entry->taken = false;
  entry->changed_at = ++sequence_;
  File(item.Number(), *entry);
}

void SendQueueIndex::Forget(SpoolItem& item) {
  std::scoped_lock guard(mutex_);
  if (Known(item) != nullptr) Erase(item.Number());
}

Clock::time_point SendQueueIndex::NextReady() {
  std::scoped_lock guard(mutex_);
  return FrontKey();
}

std::size_t SendQueueIndex::Count() const {
  std::scoped_lock guard(mutex_);
  return entries_.size();
}

std::size_t SendQueueIndex::HeldCount() const {
  std::scoped_lock guard(mutex_);
  const Clock::time_point now = Clock::now();
  return static_cast<std::size_t>(std::count_if(
      entries_.begin(), entries_.end(), [now](const auto& e) { return e.second.held_until > now; }));
}

}  // namespace tarnhold
