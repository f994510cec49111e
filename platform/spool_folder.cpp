#include "platform/spool_folder.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <unordered_set>

#include "platform/locked_file.h"
#include "platform/temp_files.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

std::string SystemError(const std::string& step) { return step + ": " + std::strerror(errno); }

int RenameNoReplace(const fs::path& from, const fs::path& to) {
  int rc = static_cast<int>(
      ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
  if (rc == 0 || (errno != EINVAL && errno != ENOSYS)) return rc;
  // File systems without renameat2 flags: link fails when the target exists.
  if (::link(from.c_str(), to.c_str()) != 0) return -1;
  return ::unlink(from.c_str());
}

}  // namespace

std::optional<std::uint32_t> ItemNumber(std::string_view name) {
  if (name.empty() || name.size() > 9 || name[0] == '0') return std::nullopt;
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
  return value;
}

std::vector<std::uint32_t> ListItemNumbers(const fs::path& folder) {
  std::vector<std::uint32_t> numbers;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    auto n = ItemNumber(it->path().filename().string());
    std::error_code type_ec;
    if (n && !it->is_directory(type_ec)) numbers.push_back(*n);
  }
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::uint32_t LargestItemNumber(const fs::path& folder) {
  std::uint32_t largest = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    auto n = ItemNumber(it->path().filename().string());
    if (n && *n > largest) largest = *n;
  }
  return largest;
}

std::uint32_t FindFreeNumber(const fs::path& folder) { return FindFreeNumber(folder, 1); }

std::uint32_t FindFreeNumber(const fs::path& folder, std::uint32_t start) {
  // One scan instead of one lookup per candidate: the first gap in the taken set.
  std::unordered_set<std::uint32_t> taken;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (auto n = ItemNumber(it->path().filename().string())) taken.insert(*n);
  }
  std::uint32_t n = start < 1 ? 1 : start;
  while (taken.count(n) != 0) ++n;
  return n;
}

std::size_t CountFiles(const fs::path& folder) {
  std::size_t count = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    if (!it->is_directory(type_ec)) ++count;
  }
  return count;
}

MoveResult MoveNoReplace(const fs::path& from, const fs::path& to, std::string& error) {
  if (RenameNoReplace(from, to) == 0) return MoveResult::Moved;
  if (errno == EEXIST) return MoveResult::TargetExists;
  error = SystemError("moving " + from.string() + " to " + to.string());
  return MoveResult::Failed;
}

MoveResult MoveUnheldItem(const fs::path& from, const fs::path& to, std::string& error) {
  LockedFile item;
  switch (item.OpenLocked(from, Access::ReadOnly, error)) {
    case LockResult::Busy: return MoveResult::Busy;
    case LockResult::Failed: return MoveResult::Failed;
    case LockResult::Locked: break;
  }
  return MoveNoReplace(from, to, error);  // the lock travels with the file and ends with `item`
}

std::optional<std::uint32_t> MoveToFreeNumber(const fs::path& from, const fs::path& folder,
                                              std::string& error, int max_tries,
                                              std::uint32_t start) {
  for (int i = 0; i < max_tries; ++i) {
    std::uint32_t n = FindFreeNumber(folder, start);
    switch (MoveNoReplace(from, folder / std::to_string(n), error)) {
      case MoveResult::Moved: return n;
      case MoveResult::TargetExists: continue;  // taken in between: look again
      default: return std::nullopt;
    }
  }
  error = "no free number in " + folder.string();
  return std::nullopt;
}

DeleteResult DeleteUnheldItem(const fs::path& path, std::string& error) {
  LockedFile item;
  switch (item.OpenLocked(path, Access::ReadOnly, error)) {
    case LockResult::Busy: return DeleteResult::Busy;
    case LockResult::Failed: return errno == ENOENT ? DeleteResult::Missing : DeleteResult::Failed;
    case LockResult::Locked: break;
  }
  if (::unlink(path.c_str()) != 0) {
    error = SystemError("deleting " + path.string());
    return DeleteResult::Failed;
  }
  return DeleteResult::Deleted;
}

std::optional<fs::path> CopyToHidden(const fs::path& from, const fs::path& folder,
                                     std::string& error) {
  fs::path hidden;
  UniqueFd out = MakeTempFile(folder, ".copy.", hidden);
  if (!out) {
    error = SystemError("creating a copy in " + folder.string());
    return std::nullopt;
  }
  UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  bool ok = in.Valid();
  char buf[65536];
  while (ok) {
    ssize_t n = ::read(in.Get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) { ok = errno == EINTR; continue; }
    ok = ::write(out.Get(), buf, static_cast<size_t>(n)) == n;
  }
  ok = ok && ::fsync(out.Get()) == 0;
  if (!ok) {
    error = SystemError("copying " + from.string() + " into " + folder.string());
    ::unlink(hidden.c_str());
    return std::nullopt;
  }
  return hidden;
}

std::optional<std::uint32_t> CopyIntoFolder(const fs::path& from, const fs::path& folder,
                                            std::string& error, int max_tries,
                                            std::uint32_t start) {
  auto hidden = CopyToHidden(from, folder, error);
  if (!hidden) return std::nullopt;
  auto n = MoveToFreeNumber(*hidden, folder, error, max_tries, start);
  if (!n) ::unlink(hidden->c_str());
  return n;
}

}  // namespace tarnhold
