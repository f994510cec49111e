// thmon's command line: the window by default, or one check for a server without a display.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tarnhold::monitor {

struct MonitorOptions {
  std::string root;    // --root DIR
  std::string config;  // --config FILE
  bool check_once = false;
};

// Exit codes of --check-once; 3 for a bad command line.
inline constexpr int kNoAlert = 0;
inline constexpr int kAlertSent = 1;
inline constexpr int kAlertFailed = 2;
inline constexpr int kMonitorUsage = 3;

[[nodiscard]] bool ParseMonitorCommandLine(const std::vector<std::string>& args,
                                           MonitorOptions& options, std::string& error);
void WriteMonitorUsage(std::ostream& out);

// One check with the settings of the configuration file; the status lines and the counts go
// to `out`. Returns kNoAlert, kAlertSent or kAlertFailed.
[[nodiscard]] int RunCheckOnce(const MonitorOptions& options, std::ostream& out);

}  // namespace tarnhold::monitor
