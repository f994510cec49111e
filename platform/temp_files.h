// Temporary names inside a named folder, and a temporary folder that removes itself.
#pragma once

#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

namespace tarnhold {

// Creates a new empty file with a unique name in `folder` (name starts with `prefix`).
// Returns the open descriptor and sets `path`; an invalid descriptor on failure.
[[nodiscard]] UniqueFd MakeTempFile(const std::filesystem::path& folder, const std::string& prefix,
                                    std::filesystem::path& path);

// A folder made with a unique name; removed with everything in it when the object dies,
// unless Keep() was called.
class TempDir {
 public:
  TempDir() = default;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  TempDir& operator=(TempDir&& other) noexcept;
  ~TempDir() { Remove(); }

  // Makes a new folder in `parent`. False when it could not be made.
  [[nodiscard]] bool Create(const std::filesystem::path& parent, const std::string& prefix);
  void Remove();
  void Keep() { path_.clear(); }
  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace tarnhold
