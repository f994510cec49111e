// One check of the queue monitor: count the processing queue, the off-peak folder and the
// send queue, try an SMTP connection to the gateway when asked, move the four alert states,
// and mail the alert through the configured server when a level was newly passed. Progress
// goes to a status sink as the texts the window shows. The states live as long as the
// program; a failed alert resets all of them, so the next check raises every alert again.
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

#include "monitor/monitor_settings.h"

namespace tarnhold::monitor {

// The name the monitor gives in its HELO command.
inline constexpr const char* kMonitorHeloName = "thmon.invalid";
inline constexpr const char* kAlertSubject = "Tarnhold queue alert";

// -1 unset, 0 below the level (or the connection fine), 1 alert already raised.
struct AlertStates {
  std::atomic<int> pending{-1};
  std::atomic<int> off_peak{-1};
  std::atomic<int> send{-1};
  std::atomic<int> smtp{-1};
  void ResetAll() { pending = off_peak = send = smtp = -1; }
};

enum class AlertMail { NotDue, Sent, ConnectFailed, SendFailed };

struct CheckReport {
  std::size_t pending = 0, off_peak = 0, send = 0;
  bool alert_due = false;
  std::string body;
  AlertMail mail = AlertMail::NotDue;
  int mail_code = 0;  // the SMTP client's result of the connect or the send
};

// The seams of a check: the status line, and the two SMTP uses (tests point them elsewhere).
struct CheckSeams {
  std::function<void(const std::string&)> status;
  // Whether an SMTP connection to `host` ("name" or "name:port") is greeted and takes HELO.
  std::function<bool(const std::string& host)> try_smtp;
  // Connects to the settings' server and sends; sets `connect_code` or returns the send code.
  std::function<AlertMail(const MonitorSettings&, const std::string& body, int& code)> send_alert;
};

// The real SMTP uses, through the monitor's SMTP client.
[[nodiscard]] bool TrySmtpConnection(const std::string& host);
[[nodiscard]] AlertMail SendAlertMail(const MonitorSettings& settings, const std::string& body,
                                      int& code,
                                      const std::function<void(const std::string&)>& status);

// The gateway's data folder: the setting, else `data_root`.
[[nodiscard]] std::filesystem::path MonitoredFolder(const MonitorSettings& settings,
                                                    const std::filesystem::path& data_root);

// Runs one check. `host_name` is this computer's name for the body.
CheckReport RunCheck(const MonitorSettings& settings, const std::filesystem::path& data_root,
                     AlertStates& states, const CheckSeams& seams, const std::string& host_name);

// This computer's name.
[[nodiscard]] std::string ComputerName();

}  // namespace tarnhold::monitor
