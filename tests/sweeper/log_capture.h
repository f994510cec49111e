// Installs a sweeper log for one test and collects its lines without their time stamps.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "gateway/activity_log.h"

namespace tarnhold::test {

class SweepLogCapture {
 public:
  SweepLogCapture() : log_(kSweepLogName) {
    log_.SetTimeStampFormat("T");
    log_.SetLineSink([this](std::string_view, std::string_view line) {
      std::scoped_lock lock(mutex_);
      lines_.emplace_back(line.substr(2));  // "T " before the text
    });
    InstallActivityLogs({nullptr, nullptr, &log_, nullptr, nullptr});
  }
  ~SweepLogCapture() { InstallActivityLogs({}); }

  std::vector<std::string> Lines() {
    std::scoped_lock lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::scoped_lock lock(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
  CUH_Control log_;
};

}  // namespace tarnhold::test
