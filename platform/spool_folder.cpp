#include "platform/spool_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "platform/locked_file.h"
#include "platform/temp_files.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

// Candidates looked up one by one from a start hint before the whole folder is read.
constexpr std::uint32_t kFreeNumberProbes = 16;

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

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

// Calls `f(number, is_folder)` for every entry of `folder` whose name is an item number.
// readdir instead of std::filesystem: a queue scan runs under the spool lock for every new
// item, and this avoids a path object per entry. The entry type comes from the listing; only
// links and file systems that give no type cost a stat (which follows links, as is_directory
// does).
template <typename F>
void ForEachNumbered(const fs::path& folder, F&& f) {
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return;
  while (const dirent* e = ::readdir(dir.get())) {
    auto n = ItemNumber(e->d_name);
    if (!n) continue;
    bool is_folder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st{};
      is_folder = ::fstatat(::dirfd(dir.get()), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    f(*n, is_folder);
  }
}

}  // namespace

std::vector<std::uint32_t> ListItemNumbers(const fs::path& folder) {
  std::vector<std::uint32_t> numbers;
  ForEachNumbered(folder, [&](std::uint32_t n, bool is_folder) {
    if (!is_folder) numbers.push_back(n);
  });
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::uint32_t LargestItemNumber(const fs::path& folder) {
  std::uint32_t largest = 0;
  ForEachNumbered(folder, [&](std::uint32_t n, bool) { largest = std::max(largest, n); });
  return largest;
}

std::uint32_t FindFreeNumber(const fs::path& folder) { return FindFreeNumber(folder, 1); }

std::uint32_t FindFreeNumber(const fs::path& folder, std::uint32_t start) {
  // A caller's hint usually points just past the numbers in use: a few lookups then answer
  // without reading a folder that may hold thousands of entries.
  if (start > 1) {
    for (std::uint32_t n = start; n < start + kFreeNumberProbes; ++n) {
      struct stat st {};
      if (::lstat((folder / std::to_string(n)).c_str(), &st) != 0 && errno == ENOENT) return n;
    }
  }
  // One scan instead of one lookup per candidate. With k entries the answer is at most
  // start + k, so only numbers from start to start + k need marking.
  const std::uint32_t first = start < 1 ? 1 : start;
  std::vector<std::uint32_t> taken;
  ForEachNumbered(folder, [&](std::uint32_t n, bool) { taken.push_back(n); });
  std::vector<bool> seen(taken.size() + 1, false);
  for (std::uint32_t n : taken) {
    if (n >= first && n - first < seen.size()) seen[n - first] = true;
  }
  std::uint32_t offset = 0;
  while (seen[offset]) ++offset;
  return first + offset;
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
