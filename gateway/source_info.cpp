// SpoolQueue: source information files (stat/<n>, the sending client's address).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "gateway/spool_queue.h"
#include "platform/locked_file.h"
#include "platform/spare_files.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace fs = std::filesystem;

namespace tarnhold {

fs::path SpoolQueue::SourceInfoPath(std::uint32_t number) const {
  return layout_.SourceInfo(number);
}

bool SpoolQueue::WriteSourceInfo(std::uint32_t number, std::string_view address,
                                 std::string& error, Flush flush) {
  const fs::path path = SourceInfoPath(number);
  errno = 0;
  fs::path spare;
  UniqueFd fd = TakeSpare(layout_.Spare(), spare);
  // Written and forced whole under its pool name, then renamed over any old file; a pool file
  // that cannot be used (a write failed, or stat is on another file system) is dropped and the
  // file made in place as without a pool.
  bool ok = fd && WriteAll(fd.Get(), address) && (flush == Flush::No || ::fsync(fd.Get()) == 0) &&
       ::rename(spare.c_str(), path.c_str()) == 0;
  if (fd && !ok) ::unlink(spare.c_str());
  if (!ok) {
    fd.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    ok = fd.Valid() && WriteAll(fd.Get(), address) &&
         (flush == Flush::No || ::fsync(fd.Get()) == 0);
  }
  ok = ok && (flush == Flush::No || SyncFolder(path.parent_path()));
  if (!ok) error = std::strerror(errno != 0 ? errno : EIO);
  return ok;
}

SourceInfo SpoolQueue::ReadSourceInfo(std::uint32_t number, std::string& address) const {
  address.clear();
  const fs::path path = SourceInfoPath(number);
  for (int attempt = 0; attempt < kSourceInfoOpenTries; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kSourceInfoRetryDelayMs));
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
      if (errno == ENOENT) return SourceInfo::Absent;
      continue;
    }
    char buf[kMaxSourceInfoBytes];
    ssize_t n;
    do {
      n = ::read(fd.Get(), buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0) continue;
    address.assign(buf, static_cast<std::size_t>(n));
    return SourceInfo::Present;
  }
  return SourceInfo::Unreadable;
}

}  // namespace tarnhold
