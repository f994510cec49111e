#include "transport/held_items.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>

#include "gateway/spool_item.h"

namespace tarnhold {

HeldItems::Identity HeldItems::IdentityOf(SpoolItem& item) {
  struct stat st {};
  if (!item.IsOpen() || ::fstat(item.File().Fd(), &st) != 0) return {};
  auto ns = [](const auto& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
  };
  return {item.Number(), st.st_dev, st.st_ino, ns(st.st_mtim), ns(st.st_ctim)};
}

void HeldItems::Hold(const Identity& item, Clock::time_point until) {
  if (item.number == 0) return;
  std::scoped_lock guard(mutex_);
  // Entries of items that left the queue meanwhile are never asked about again: drop those
  // that ran out, so the map stays as small as the set of items really held.
  DropRunOut(Clock::now());
  held_[item.number] = {item, until};
}

void HeldItems::Release(const Identity& item) {
  std::scoped_lock guard(mutex_);
  auto it = held_.find(item.number);
  if (it != held_.end() && it->second.file.SameFile(item)) {
    held_.erase(it);
  }
}

bool HeldItems::IsHeld(SpoolItem& item) {
  std::scoped_lock guard(mutex_);
  auto it = held_.find(item.Number());
  if (it == held_.end()) return false;
  if (!it->second.file.SameFile(IdentityOf(item)) || Clock::now() >= it->second.until) {
    held_.erase(it);
    return false;
  }
  return true;
}

std::size_t HeldItems::Count() const {
  std::scoped_lock guard(mutex_);
  return held_.size();
}

HeldItems::Clock::time_point HeldItems::FirstRelease() {
  std::scoped_lock guard(mutex_);
  DropRunOut(Clock::now());
  Clock::time_point first = Clock::time_point::max();
  for (const auto& [number, entry] : held_) first = std::min(first, entry.until);
  return first;
}

void HeldItems::DropRunOut(Clock::time_point now) {
  for (auto it = held_.begin(); it != held_.end();) {
    it = it->second.until <= now ? held_.erase(it) : std::next(it);
  }
}

}  // namespace tarnhold
