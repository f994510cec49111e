// The start-up step log <root>/logs/load.log: emptied when the engine is built, then one line
// per start-up step ("%H:%M:%S message"), opened and closed for each line so it always holds
// the steps of the current run. A line that cannot be written is lost; the start goes on.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string_view>

namespace tarnhold {

class LoadLog {
 public:
  // `file` is the load log's path; `echo`, when given, also receives each line as
  // "load: <line>".
  LoadLog(std::filesystem::path file, std::FILE* echo);
  // Deletes the file of an earlier run.
  void Reset();
  void Append(std::string_view message);

 private:
  std::filesystem::path folder_;
  std::filesystem::path path_;
  std::FILE* echo_;
};

}  // namespace tarnhold
