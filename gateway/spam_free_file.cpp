#include "gateway/spam_free_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "gateway/address_lists.h"
#include "gateway/list_file.h"
#include "platform/write_all.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// The list is small and its writers hold it briefly: a lock that stays taken longer than this
// belongs to a stuck party, and the write fails rather than hang a window. The same deadline
// bounds the re-opens after replacements: each one means another writer finished meanwhile.
constexpr auto kLockWait = std::chrono::seconds(5);
// Short, so a writer that locks again and again (thadmin saving) leaves gaps it can be seen in.
constexpr auto kLockPoll = std::chrono::milliseconds(1);

enum class Take { Locked, Busy, Failed };

Take LockBefore(int fd, std::chrono::steady_clock::time_point deadline) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return Take::Failed;
    if (std::chrono::steady_clock::now() >= deadline) return Take::Busy;
    std::this_thread::sleep_for(kLockPoll);
  }
  return Take::Locked;
}

// Whether the file of `fd` is empty or ends with a line feed.
bool EndsWithLineFeed(int fd) {
  FileStamp stamp = StampOfDescriptor(fd);
  if (stamp.size == 0) return true;
  char last = 0;
  ssize_t n;
  do {
    n = ::pread(fd, &last, 1, static_cast<off_t>(stamp.size - 1));
  } while (n < 0 && errno == EINTR);
  return n != 1 || last == '\n';
}

}  // namespace

LockResult SpamFreeLock::Open(const fs::path& path, std::string& error) {
  path_ = path;
  const auto deadline = std::chrono::steady_clock::now() + kLockWait;
  do {
    fd_.Reset(::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_) {
      error = "cannot open " + path.string() + ": " + std::strerror(errno);
      return LockResult::Failed;
    }
    switch (LockBefore(fd_.Get(), deadline)) {
      case Take::Locked:
        break;
      case Take::Busy:
        fd_.Reset();
        error = "cannot lock " + path.string() + ": another program holds it";
        return LockResult::Busy;
      case Take::Failed:
        error = "cannot lock " + path.string() + ": " + std::strerror(errno);
        fd_.Reset();
        return LockResult::Failed;
    }
    FileStamp named = StampOf(path);
    if (named.exists && named.inode == Stamp().inode) return LockResult::Locked;
  } while (std::chrono::steady_clock::now() < deadline);
  fd_.Reset();
  error = "cannot lock " + path.string() + ": it is being replaced again and again";
  return LockResult::Busy;
}

bool SpamFreeLock::ReadAll(std::string& text) const {
  text.clear();
  char block[65536];
  while (text.size() < lists::kMaxRuleListBytes) {
    ssize_t n = ::pread(fd_.Get(), block, sizeof block, static_cast<off_t>(text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  return true;
}

WriteResult SpamFreeLock::Append(std::string_view entry, std::string& error) {
  std::string line;
  if (!EndsWithLineFeed(fd_.Get())) line = "\n";
  line.append(entry);
  line += '\n';
  if (!WriteAll(fd_.Get(), line) || ::fsync(fd_.Get()) != 0) {
    error = "cannot write " + path_.string() + ": " + std::strerror(errno);
    return WriteResult::Failed;
  }
  return WriteResult::Written;
}

GuardedWrite SpamFreeGuard::Write(const std::vector<std::string>& entries, std::string& error) {
  // A file missing now but not at the stamp was removed by someone else: a change as well.
  if (!stamp_.exists && StampOf(path_).exists) return GuardedWrite::Changed;
  SpamFreeLock lock;
  if (lock.Open(path_, error) != LockResult::Locked) return GuardedWrite::Failed;
  FileStamp now = lock.Stamp();
  // The file created just now by the open above is the missing file of the stamp.
  bool unchanged = stamp_.exists ? now == stamp_ : now.size == 0;
  if (!unchanged) return GuardedWrite::Changed;
  if (WriteDurably(path_, ListFileText(entries), error) != WriteResult::Written)
    return GuardedWrite::Failed;
  TakeStamp();
  return GuardedWrite::Written;
}

}  // namespace tarnhold
