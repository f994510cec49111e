// A list of files to be sent as uuencoded blocks after a message's text: WriteAll writes one
// "begin 660 <name>" ... "end" block per file into one output file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace tarnhold {

class CUuFileList {
 public:
  void Clear() { paths_.clear(); }
  // 0, or -1 when the file cannot be opened for reading (it is then not added).
  int AddFile(const std::filesystem::path& path);
  [[nodiscard]] std::size_t Count() const { return paths_.size(); }
  [[nodiscard]] const std::vector<std::filesystem::path>& Paths() const { return paths_; }

  // Writes every file in list order as one block named after the file's last path element;
  // a file that can no longer be opened is skipped. 0; -1 the list is empty; -2 the output
  // cannot be created; -3 closing it failed (a failed write shows here too).
  int WriteAll(const std::filesystem::path& output);

  [[nodiscard]] int GlobalHeaderCount() const { return 0; }
  [[nodiscard]] std::string GlobalHeader(std::size_t) const { return ""; }

 private:
  std::vector<std::filesystem::path> paths_;
};

}  // namespace tarnhold
