#include "platform/temp_files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace tarnhold {

UniqueFd MakeTempFile(const fs::path& folder, const std::string& prefix, fs::path& path) {
  std::string tmpl = (folder / (prefix + "XXXXXX")).string();
  UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (fd) {
    ::fchmod(fd.Get(), 0644);
    path = tmpl;
  }
  return fd;
}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    Remove();
    path_ = std::move(other.path_);
    other.path_.clear();
  }
  return *this;
}

bool TempDir::Create(const fs::path& parent, const std::string& prefix) {
  Remove();
  std::string tmpl = (parent / (prefix + "XXXXXX")).string();
  if (::mkdtemp(tmpl.data()) == nullptr) return false;
  path_ = tmpl;
  return true;
}

void TempDir::Remove() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::remove_all(path_, ec);
  path_.clear();
}

}  // namespace tarnhold
