#include "engine/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "gateway/spool_layout.h"

namespace tarnhold {

InstanceResult SingleInstance::Acquire(const std::filesystem::path& root, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  const std::filesystem::path path = SpoolLayout(root).InstanceLock();
  // Close-on-exec: programs the engine starts must not inherit the lock.
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd) {
    error = "cannot open " + path.string() + ": " + std::strerror(errno);
    return InstanceResult::Failed;
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return InstanceResult::AlreadyRunning;
    error = "cannot lock " + path.string() + ": " + std::strerror(errno);
    return InstanceResult::Failed;
  }
  lock_ = std::move(fd);
  return InstanceResult::Acquired;
}

}  // namespace tarnhold
