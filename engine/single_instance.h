// One engine per data root: an exclusive lock on <root>/thgate.lock, held for the life of the
// process. The kernel drops the lock when the process ends in any way, so a crashed engine
// never blocks the next start.
#pragma once

#include <filesystem>
#include <string>

#include "platform/unique_fd.h"

namespace tarnhold {

enum class InstanceResult { Acquired, AlreadyRunning, Failed };

class SingleInstance {
 public:
  // Creates the data root when missing, then takes the lock without waiting.
  // AlreadyRunning: another engine holds it. Failed: `error` says why.
  [[nodiscard]] InstanceResult Acquire(const std::filesystem::path& root, std::string& error);

 private:
  UniqueFd lock_;
};

}  // namespace tarnhold
