#include "monitor/monitor_settings.h"

#include <cstdlib>

#include "platform/profile_file.h"

namespace fs = std::filesystem;

namespace tarnhold::monitor {
namespace {

constexpr const char* kSection = "General";

// The keys in the order of the file, each with its member (a number or a text).
struct Key {
  const char* key;
  int MonitorSettings::*number;
  std::string MonitorSettings::*text;
};
constexpr Key kKeys[] = {
    {"EnableMonitoring", &MonitorSettings::enable_monitoring, nullptr},
    {"CheckInterval", &MonitorSettings::check_interval, nullptr},
    {"CheckPending", &MonitorSettings::check_pending, nullptr},
    {"CheckOffPeak", &MonitorSettings::check_off_peak, nullptr},
    {"CheckSend", &MonitorSettings::check_send, nullptr},
    {"TarnholdPath", nullptr, &MonitorSettings::tarnhold_path},
    {"PendingAlarm", &MonitorSettings::pending_alarm, nullptr},
    {"OffPeakAlarm", &MonitorSettings::off_peak_alarm, nullptr},
    {"SendAlarm", &MonitorSettings::send_alarm, nullptr},
    {"SMTPServer", nullptr, &MonitorSettings::smtp_server},
    {"SMTPRecipients", nullptr, &MonitorSettings::smtp_recipients},
    {"SMTPSender", nullptr, &MonitorSettings::smtp_sender},
    {"EnableTrySMTPHost", &MonitorSettings::enable_try_smtp_host, nullptr},
    {"TrySMTPHostAddress", nullptr, &MonitorSettings::try_smtp_host_address},
    {"TrySMTPPort", &MonitorSettings::try_smtp_port, nullptr},
};

}  // namespace

fs::path MonitorConfigPath(std::string_view from_command_line) {
  if (!from_command_line.empty()) return fs::path(from_command_line);
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg && fs::path(xdg).is_absolute()) return fs::path(xdg) / "tarnhold" / "thmon.cfg";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : ".") / ".config" / "tarnhold" / "thmon.cfg";
}

MonitorSettings LoadMonitorSettings(const fs::path& path) {
  MonitorSettings s;
  ProfileFile file;
  if (!file.Load(path)) return s;
  for (const Key& k : kKeys) {
    if (k.number) {
      s.*k.number = file.GetInt(kSection, k.key, s.*k.number);
    } else {
      s.*k.text = file.GetString(kSection, k.key, s.*k.text, kSettingBufferSize);
    }
  }
  return s;
}

bool SaveMonitorSettings(const fs::path& path, const MonitorSettings& s) {
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  ProfileFile file;
  file.Load(path);  // other sections and comments stay
  for (const Key& k : kKeys) {
    if (k.number) {
      file.SetInt(kSection, k.key, s.*k.number);
    } else {
      file.Set(kSection, k.key, s.*k.text);
    }
  }
  return file.Save(path);
}

}  // namespace tarnhold::monitor
