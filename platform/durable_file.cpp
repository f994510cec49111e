#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/temp_files.h"
#include "platform/unique_fd.h"
#include "platform/write_all.h"

namespace fs = std::filesystem;

namespace tarnhold {
namespace {

FileStamp FromStat(const struct stat& st) {
  return FileStamp{
      true, static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_size),
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// The rename is only durable once the folder's entry is on disk.
void SyncFolder(const fs::path& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) (void)::fsync(dir.Get());
}

}  // namespace

FileStamp StampOf(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return FromStat(st);
}

FileStamp StampOfDescriptor(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return FromStat(st);
}

WriteResult WriteDurably(const fs::path& path, std::string_view text, std::string& error) {
  fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  fs::path tmp;
  UniqueFd fd = MakeTempFile(folder, "." + path.filename().string() + ".", tmp);
  if (!fd) {
    error = "cannot create a temporary file in " + folder.string() + ": " + std::strerror(errno);
    return WriteResult::Failed;
  }
  bool ok = WriteAll(fd.Get(), text) && ::fsync(fd.Get()) == 0;
  int saved_errno = errno;
  ok = fd.Reset() && ok;
  std::error_code ec;
  if (ok) fs::rename(tmp, path, ec);
  if (!ok || ec) {
    error = "cannot write " + path.string() + ": " +
            (ec ? ec.message() : std::string(std::strerror(saved_errno)));
    fs::remove(tmp, ec);
    return WriteResult::Failed;
  }
  SyncFolder(folder);
  return WriteResult::Written;
}

}  // namespace tarnhold
