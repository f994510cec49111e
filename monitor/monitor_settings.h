// thmon's settings: the [General] section of thmon.cfg, read with the defaults below and
// written back key by key in the same order. The file lives in $XDG_CONFIG_HOME/tarnhold/
// (else ~/.config/tarnhold/) unless the command line names one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarnhold::monitor {

// Strings are read as into a 250-byte buffer: at most 249 characters.
inline constexpr std::size_t kSettingBufferSize = 250;

struct MonitorSettings {
  int enable_monitoring = 0;
  int check_interval = 60;  // seconds between checks; 0 is refused
  int check_pending = 0;
  int check_off_peak = 0;
  int check_send = 0;
  std::string tarnhold_path;  // the gateway's data folder; empty: the data root
  int pending_alarm = 250;
  int off_peak_alarm = 1000;
  int send_alarm = 500;
  std::string smtp_server;      // "host" (port 25) or "host:port"
  std::string smtp_recipients;  // separated by commas
  std::string smtp_sender;
  int enable_try_smtp_host = 0;
  std::string try_smtp_host_address;  // "host" (port 25) or "host:port"
  int try_smtp_port = 25;             // stored and shown; the port tried is in the address
};

// The file: `from_command_line` when not empty, else $XDG_CONFIG_HOME/tarnhold/thmon.cfg when
// that variable is set and absolute, else $HOME/.config/tarnhold/thmon.cfg.
[[nodiscard]] std::filesystem::path MonitorConfigPath(std::string_view from_command_line);

// A missing or unreadable file gives the defaults.
[[nodiscard]] MonitorSettings LoadMonitorSettings(const std::filesystem::path& path);
// Writes every key (its folder is made when missing). False when the file cannot be written.
[[nodiscard]] bool SaveMonitorSettings(const std::filesystem::path& path,
                                       const MonitorSettings& settings);

}  // namespace tarnhold::monitor
