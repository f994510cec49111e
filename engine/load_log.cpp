#include "engine/load_log.h"

#include <ctime>
#include <string>

#include "platform/journal_line.h"
#include "platform/local_time.h"

namespace tarnhold {

LoadLog::LoadLog(std::filesystem::path file, std::FILE* echo)
    : folder_(file.parent_path()), path_(std::move(file)), echo_(echo) {}

void LoadLog::Reset() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

void LoadLog::Append(std::string_view message) {
  const std::tm local = LocalTime(std::time(nullptr));
  char stamp[16] = {};
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::string line = std::string(stamp) + " " + std::string(message) + "\n";
  // The folder is made by the configuration load; making it here too keeps the first step's
  // line on a data root that has never been used.
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (std::FILE* f = std::fopen(path_.c_str(), "a")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
  }
  if (echo_ != nullptr) {
    std::string echoed = JournalLine("load: " + line.substr(0, line.size() - 1)) + "\n";
    std::fwrite(echoed.data(), 1, echoed.size(), echo_);
    std::fflush(echo_);
  }
}

}  // namespace tarnhold
