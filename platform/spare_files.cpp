#include "platform/spare_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

struct Pool {
  std::vector<fs::path> files;
  std::uint64_t next_name = 1;
};

std::mutex& PoolsLock() {
  static std::mutex lock;
  return lock;
}

std::map<fs::path, Pool>& Pools() {
  static std::map<fs::path, Pool> pools;
  return pools;
}

}  // namespace

bool EnableSpareFiles(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder, ec)) return false;
  // Leftovers of an earlier run hold nothing anybody needs.
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::error_code ignored;
    if (entry.is_regular_file(ignored)) fs::remove(entry.path(), ignored);
  }
  std::scoped_lock guard(PoolsLock());
  Pools()[folder] = Pool{};
  return true;
}

void DisableSpareFiles(const fs::path& folder) {
  std::scoped_lock guard(PoolsLock());
  Pools().erase(folder);
}

bool RemoveToSpare(const fs::path& file, const fs::path& folder) {
  fs::path spare;
  {
    std::scoped_lock guard(PoolsLock());
    auto pool = Pools().find(folder);
    if (pool != Pools().end() &&
        pool->second.files.size() < static_cast<std::size_t>(kSpareFilesKept)) {
      spare = folder / ("s" + std::to_string(pool->second.next_name++));
    }
  }
  if (spare.empty() ||
      ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, spare.c_str(), RENAME_NOREPLACE) != 0) {
    return ::unlink(file.c_str()) == 0;
  }
  // Emptied, so that a kept file holds no message and no disk space; anything that is not a
  // plain file that can be emptied (a link, a folder) is not kept.
  UniqueFd fd(::open(spare.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st{};
  if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      ::ftruncate(fd.Get(), 0) != 0) {
    ::unlink(spare.c_str());
    return true;
  }
  std::scoped_lock guard(PoolsLock());
  auto pool = Pools().find(folder);
  if (pool == Pools().end()) {
    ::unlink(spare.c_str());
  } else {
    pool->second.files.push_back(std::move(spare));
  }
  return true;
}

UniqueFd TakeSpare(const fs::path& folder, fs::path& taken) {
  std::scoped_lock guard(PoolsLock());
  auto pool = Pools().find(folder);
  if (pool == Pools().end()) return UniqueFd();
  std::vector<fs::path>& files = pool->second.files;
  // Each kept file is tried at most once per call.
  for (std::size_t tries = files.size(); tries > 0 && !files.empty(); --tries) {
    fs::path name = std::move(files.back());
    files.pop_back();
    UniqueFd fd(::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) continue;  // gone: somebody cleared the folder
    // A file whose last holder has not closed it yet is still locked: left for later.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
      files.insert(files.begin(), std::move(name));
      continue;
    }
    if (::ftruncate(fd.Get(), 0) != 0) {
      ::unlink(name.c_str());
      continue;
    }
    taken = std::move(name);
    return fd;
  }
  return UniqueFd();
}

void ReturnSpare(const fs::path& folder, const fs::path& taken) {
  std::scoped_lock guard(PoolsLock());
  auto pool = Pools().find(folder);
  if (pool == Pools().end()) return;
  pool->second.files.push_back(taken);
}

}  // namespace tarnhold
