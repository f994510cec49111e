// A fresh data root for one test: a real folder under the system's temporary folder,
// removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarnhold::test {

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(std::string_view rel) const { return path_ / rel; }

  // Writes `content` to <root>/<rel>, making folders as needed; returns the full path.
  std::filesystem::path Write(std::string_view rel, std::string_view content) const;
  // The whole content of a file ("" when missing).
  [[nodiscard]] static std::string Read(const std::filesystem::path& path);

 private:
  std::filesystem::path path_;
};

// Path of a file in tests/data.
[[nodiscard]] std::filesystem::path DataFile(std::string_view name);

}  // namespace tarnhold::test
