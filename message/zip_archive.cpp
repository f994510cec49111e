#include "message/zip_archive.h"

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <system_error>

#include "message/safe_name.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

constexpr int kMaxNumberedNames = 100;

// Creates the folders of `relative` below `folder` one by one, never following a link.
bool MakeFolders(const fs::path& folder, const fs::path& relative) {
  fs::path at = folder;
  for (const auto& element : relative) {
    at /= element;
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(at, ec))) continue;
    if (!fs::create_directory(at, ec)) return false;
  }
  return true;
}

// Creates a new file for `target`, or for a numbered name when `target` is taken.
UniqueFd CreateNew(fs::path& target) {
  fs::path want = target;
  for (int n = 1; n <= kMaxNumberedNames; ++n) {
    UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd || errno != EEXIST) return fd;
    target = NumberedName(want, n);
  }
  return UniqueFd();
}

}  // namespace

bool ZipArchive::Open(const fs::path& path) {
  Close();
  int error = 0;
  archive_ = zip_open(path.c_str(), ZIP_RDONLY, &error);
  return archive_ != nullptr;
}

void ZipArchive::Close() {
  if (archive_) zip_discard(archive_);
  archive_ = nullptr;
}

int ZipArchive::EntryCount() const {
  if (!archive_) return 0;
  zip_int64_t n = zip_get_num_entries(archive_, 0);
  return n < 0 ? 0 : (n > 1 << 30 ? 1 << 30 : static_cast<int>(n));
}

std::string ZipArchive::EntryName(int index) const {
  const char* name =
      archive_ ? zip_get_name(archive_, static_cast<zip_uint64_t>(index), 0) : nullptr;
  return name ? name : "";
}

bool ZipArchive::IsEncrypted(int index) const {
  zip_stat_t st;
  zip_stat_init(&st);
  if (!archive_ || zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &st) != 0) {
    return false;
  }
  return (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
}

bool ZipArchive::ExtractEntry(int index, fs::path& target, UnpackBudget& budget, std::string& error,
                              bool& created) {
  zip_file_t* file = zip_fopen_index(archive_, static_cast<zip_uint64_t>(index), 0);
  if (!file) {
    error = "member " + EntryName(index) + " cannot be read: " + zip_strerror(archive_);
    return false;
  }
  UniqueFd out = CreateNew(target);
  bool ok = static_cast<bool>(out);
  created = ok;
  if (!ok) error = "member " + EntryName(index) + " cannot be created";
  char buf[64 * 1024];
  while (ok) {
    zip_int64_t n = zip_fread(file, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      error = "member " + EntryName(index) + " is damaged: " + zip_file_strerror(file);
      ok = false;
    } else if (static_cast<std::uint64_t>(n) > budget.bytes_left) {
      error = "the bound on unpacked bytes was reached";
      budget.bytes_left = 0;
      ok = false;
    } else {
      budget.bytes_left -= static_cast<std::uint64_t>(n);
      if (!WriteAll(out.Get(), std::string_view(buf, static_cast<std::size_t>(n)))) {
        error = "member " + EntryName(index) + " cannot be written";
        ok = false;
      }
    }
  }
  zip_fclose(file);
  return ok;
}

bool ZipArchive::ExtractAll(const fs::path& folder, UnpackBudget& budget,
                            std::vector<fs::path>& written, std::string& error) {
  const int count = EntryCount();
  if (count > budget.members_left) {
    error = "the bound on archive members was reached";
    budget.members_left = 0;
    return false;
  }
  budget.members_left -= count;
  for (int i = 0; i < count; ++i) {
    std::string stored = EntryName(i);
    auto relative = SafeMemberPath(stored);
    if (!relative) {
      error = "member path " + stored + " leaves its folder";
      return false;
    }
    if (relative->empty()) continue;
    bool folder_entry = !stored.empty() && (stored.back() == '/' || stored.back() == '\\');
    if (!MakeFolders(folder, folder_entry ? *relative : relative->parent_path())) {
      error = "member " + stored + " has no place for its folder";
      return false;
    }
    if (folder_entry) continue;
    fs::path target = folder / *relative;
    bool created = false;
    bool ok = ExtractEntry(i, target, budget, error, created);
    if (created) written.push_back(target);
    if (!ok) return false;
  }
  return true;
}

}  // namespace tarnhold
