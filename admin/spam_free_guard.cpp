#include "admin/spam_free_guard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/unique_fd.h"

namespace tarnhold {
namespace {

// A replace by the other side renames a new file over the name; a lock on the old one would
// guard nothing. Bounded: each retry means another writer finished in between.
constexpr int kMaxLockAttempts = 1000;

// Opens `path` with `flags`, waits for its exclusive lock, and returns the descriptor only when
// it still holds the file of that name; an invalid descriptor after kMaxLockAttempts.
UniqueFd OpenLockedCurrent(const std::filesystem::path& path, int flags, std::string& error) {
  for (int attempt = 0; attempt < kMaxLockAttempts; ++attempt) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0644));
    if (!fd) {
      error = "cannot open " + path.string() + ": " + std::strerror(errno);
      return UniqueFd();
    }
    if (::flock(fd.Get(), LOCK_EX) != 0) {
      error = "cannot lock " + path.string() + ": " + std::strerror(errno);
      return UniqueFd();
    }
    FileStamp held = StampOfDescriptor(fd.Get());
    FileStamp named = StampOf(path);
    if (named.exists && named.inode == held.inode) return fd;
  }
  error = "cannot lock " + path.string() + ": it is being replaced again and again";
  return UniqueFd();
}

}  // namespace

GuardedWrite SpamFreeGuard::Write(const std::vector<std::string>& entries, std::string& error) {
  // A file missing now but not at the stamp was removed by someone else: a change as well.
  if (!stamp_.exists && StampOf(path_).exists) return GuardedWrite::Changed;
  UniqueFd lock = OpenLockedCurrent(path_, O_RDWR | O_CREAT, error);
  if (!lock) return GuardedWrite::Failed;
  FileStamp now = StampOfDescriptor(lock.Get());
  // The file created just now by the open above is the missing file of the stamp.
  bool unchanged = stamp_.exists ? now == stamp_ : now.size == 0;
  if (!unchanged) return GuardedWrite::Changed;
  if (WriteDurably(path_, ListFileText(entries), error) != WriteResult::Written)
    return GuardedWrite::Failed;
  TakeStamp();
  return GuardedWrite::Written;
}

WriteResult AppendSpamFreeEntry(const std::filesystem::path& path, std::string_view entry,
                                std::string& error) {
  UniqueFd fd = OpenLockedCurrent(path, O_WRONLY | O_APPEND | O_CREAT, error);
  if (!fd) return WriteResult::Failed;
  std::string line(entry);
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = ::write(fd.Get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "cannot write " + path.string() + ": " + std::strerror(errno);
      return WriteResult::Failed;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd.Get()) != 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return WriteResult::Failed;
  }
  return WriteResult::Written;
}

}  // namespace tarnhold
