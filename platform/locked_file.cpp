#include "platform/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <cstring>
#include <utility>

#include "platform/spare_files.h"
#include "platform/temp_files.h"

namespace tarnhold {
namespace {

std::string SystemError(const std::string& step) { return std::string(step) + ": " + std::strerror(errno); }

// Links an unnamed O_TMPFILE descriptor under `path`; linkat through /proc needs no privilege.
bool LinkUnnamed(int fd, const std::filesystem::path& path) {
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

LockedFile::LockedFile(LockedFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      path_(std::exchange(other.path_, {})),
      unnamed_(std::exchange(other.unnamed_, false)),
      hidden_(std::exchange(other.hidden_, {})),
      spare_(std::exchange(other.spare_, {})) {}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::move(other.fd_);
    path_ = std::exchange(other.path_, {});
    unnamed_ = std::exchange(other.unnamed_, false);
    hidden_ = std::exchange(other.hidden_, {});
    spare_ = std::exchange(other.spare_, {});
  }
  return *this;
}

LockedFile::~LockedFile() { Close(); }

CreateResult LockedFile::CreateUnnamed(const std::filesystem::path& folder, std::string& error) {
  Close();
  UniqueFd fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644));
  if (!fd) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      error = SystemError("creating in " + folder.string());
      return CreateResult::Failed;
    }
    // No unnamed files here: a hidden name (never a number, so no scan picks it) stands in.
    std::filesystem::path hidden;
    fd = MakeTempFile(folder, ".new.", hidden);
    if (!fd) {
      error = SystemError("creating a hidden file in " + folder.string());
      return CreateResult::Failed;
    }
    hidden_ = std::move(hidden);
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    error = SystemError("locking a new file");
    if (!hidden_.empty()) ::unlink(hidden_.c_str());
    hidden_.clear();
    return CreateResult::Failed;
  }
  fd_ = std::move(fd);
  unnamed_ = true;
  return CreateResult::Created;
}

CreateResult LockedFile::LinkAs(const std::filesystem::path& path, std::string& error) {
  if (!unnamed_ || !fd_) {
    error = "naming " + path.string() + ": the file is not a new unnamed file";
    return CreateResult::Failed;
  }
  bool linked = !spare_.empty()
                    ? ::renameat2(AT_FDCWD, spare_.c_str(), AT_FDCWD, path.c_str(),
                                  RENAME_NOREPLACE) == 0
                : hidden_.empty() ? LinkUnnamed(fd_.Get(), path)
                                  : ::link(hidden_.c_str(), path.c_str()) == 0;
  if (!linked) {
    if (errno == EEXIST) return CreateResult::Exists;
    error = SystemError("naming " + path.string());
    return CreateResult::Failed;
  }
  if (!hidden_.empty()) ::unlink(hidden_.c_str());
  hidden_.clear();
  spare_.clear();
  unnamed_ = false;
  path_ = path;
  return CreateResult::Created;
}

LockResult LockedFile::OpenLocked(const std::filesystem::path& path, Access access,
                                  std::string& error) {
  Close();
  int flags = (access == Access::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW;
  UniqueFd fd(::open(path.c_str(), flags));
  if (!fd) {
    error = SystemError("opening " + path.string());
    return LockResult::Failed;
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return LockResult::Busy;
    error = SystemError("locking " + path.string());
    return LockResult::Failed;
  }
  // The holder may have deleted or replaced the file while we waited for its lock.
  struct stat by_fd{}, by_name{};
  if (::fstat(fd.Get(), &by_fd) != 0 || ::stat(path.c_str(), &by_name) != 0 ||
      by_fd.st_ino != by_name.st_ino || by_fd.st_dev != by_name.st_dev) {
    error = "item vanished: " + path.string();
    return LockResult::Failed;
  }
  fd_ = std::move(fd);
  path_ = path;
  return LockResult::Locked;
}

CreateResult LockedFile::CreateLocked(const std::filesystem::path& path, std::string& error,
                                      const std::filesystem::path& spare_folder) {
  const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  Close();
  std::filesystem::path taken;
  if (!spare_folder.empty()) {
    if (UniqueFd fd = TakeSpare(spare_folder, taken)) {
      fd_ = std::move(fd);
      spare_ = std::move(taken);
      unnamed_ = true;
    }
  }
  if (!unnamed_) {
    CreateResult made = CreateUnnamed(folder, error);
    if (made != CreateResult::Created) return made;
  }
  CreateResult linked = LinkAs(path, error);
  if (linked == CreateResult::Failed && !spare_.empty()) {
    // A spare file that cannot be moved here (the folder is on another file system) is dropped,
    // and the file is made here as without a pool.
    ::unlink(spare_.c_str());
    spare_.clear();
    Close();
    error.clear();
    return CreateLocked(path, error);
  }
  if (linked != CreateResult::Created) Close();  // the unnamed file vanishes: nothing changed
  return linked;
}

bool LockedFile::Close() {
  if (!hidden_.empty()) ::unlink(hidden_.c_str());  // an unnamed file never linked vanishes
  hidden_.clear();
  unnamed_ = false;
  path_.clear();
  const bool closed = fd_.Reset();  // closing the descriptor drops the flock
  // A spare file that was not put in place goes back to its pool.
  if (!spare_.empty()) ReturnSpare(spare_.parent_path(), spare_);
  spare_.clear();
  return closed;
}

bool LockedFile::WriteAll(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd_.Get(), p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

long LockedFile::Read(void* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_.Get(), data, size);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool LockedFile::Seek(std::int64_t offset) {
  return ::lseek(fd_.Get(), offset, SEEK_SET) == offset;
}

std::int64_t LockedFile::Position() const { return ::lseek(fd_.Get(), 0, SEEK_CUR); }

std::int64_t LockedFile::Size() const {
  struct stat st{};
  return ::fstat(fd_.Get(), &st) == 0 ? st.st_size : -1;
}

bool LockedFile::Truncate(std::int64_t size) { return ::ftruncate(fd_.Get(), size) == 0; }

bool LockedFile::Sync() {
  if (::fsync(fd_.Get()) != 0) return false;
  return SyncFolder(path_.parent_path().empty() ? "." : path_.parent_path());
}

namespace {

bool SyncFolderNow(const std::filesystem::path& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && ::fsync(dir.Get()) == 0;
}

// The shared syncs of one folder. Tickets are numbered in the order callers arrive; a sync
// that starts takes every ticket issued so far, so its success covers each of them.
struct FolderSyncs {
  std::mutex lock;
  std::condition_variable done;
  std::uint64_t issued = 0;
  std::uint64_t covered = 0;     // every ticket up to here is on disk
  std::uint64_t failed_to = 0;   // the last sync that failed took the tickets up to here
  std::uint64_t failed_from = 0;
  bool running = false;
};

FolderSyncs& SyncsOf(const std::filesystem::path& folder) {
  static std::mutex lock;
  static std::map<std::filesystem::path, std::unique_ptr<FolderSyncs>> folders;
  std::scoped_lock guard(lock);
  auto& syncs = folders[folder];
  if (!syncs) syncs = std::make_unique<FolderSyncs>();
  return *syncs;
}

}  // namespace

bool SyncFolder(const std::filesystem::path& folder) {
  FolderSyncs& syncs = SyncsOf(folder);
  std::unique_lock guard(syncs.lock);
  const std::uint64_t ticket = ++syncs.issued;
  for (;;) {
    if (syncs.covered >= ticket) return true;
    if (ticket >= syncs.failed_from && ticket <= syncs.failed_to) return false;
    if (!syncs.running) break;
    syncs.done.wait(guard);
  }
  // This caller runs the next sync, for itself and everybody who arrived before it starts.
  syncs.running = true;
  const std::uint64_t from = syncs.covered + 1;
  const std::uint64_t upto = syncs.issued;
  guard.unlock();
  const bool ok = SyncFolderNow(folder);
  guard.lock();
  syncs.running = false;
  if (ok) {
    syncs.covered = upto;
  } else {
    syncs.failed_from = from;
    syncs.failed_to = upto;
  }
  syncs.done.notify_all();
  return ok;
}

}  // namespace tarnhold
