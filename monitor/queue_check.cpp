#include "monitor/queue_check.h"

#include <unistd.h>

#include <cstdio>

#include "gateway/spool_layout.h"
#include "platform/data_root.h"
#include "platform/spool_folder.h"
#include "transport/message_smtp_client.h"

namespace fs = std::filesystem;

namespace tarnhold::monitor {
namespace {

constexpr unsigned kSmtpPort = 25;

// Moves one watched state: below the level it becomes 0; at or over it, 1, and the alert is
// due when it was not 1 already.
void Watch(std::atomic<int>& state, std::size_t count, int level, bool& due) {
  if (count < static_cast<unsigned>(level)) {
    state = 0;
  } else if (state.exchange(1) != 1) {
    due = true;
  }
}

std::string Line(const char* format, std::size_t count, int level) {
  char text[96];
  std::snprintf(text, sizeof text, format, static_cast<int>(count), level);
  return text;
}

void Say(const CheckSeams& seams, const std::string& text) {
  if (seams.status) seams.status(text);
}

}  // namespace

std::string ComputerName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

fs::path MonitoredFolder(const MonitorSettings& settings, const fs::path& data_root) {
  if (settings.tarnhold_path.empty()) return data_root;
  // A folder written for the original platform ("c:\tarnhold") is the data root.
  const std::string windows_form = settings.tarnhold_path + "\\";
  fs::path mapped = MapConfigPath(data_root, windows_form);
  return mapped.string() != windows_form ? mapped : fs::path(settings.tarnhold_path);
}

bool TrySmtpConnection(const std::string& host_text) {
  std::string host;
  unsigned port = kSmtpPort;
  if (!SplitHostPort(host_text, kSmtpPort, host, port) || host.empty()) return false;
  CMessageSmtpClient client;
  client.SetPort(port);
  bool ok = client.Connect(host, kMonitorHeloName) == kMsgConnected;
  client.Close();
  return ok;
}

AlertMail SendAlertMail(const MonitorSettings& s, const std::string& body, int& code,
                        const std::function<void(const std::string&)>& status) {
  auto say = [&](const char* text) {
    if (status) status(text);
  };
  say("connecting to mail server ...");
  std::string host;
  unsigned port = kSmtpPort;
  CMessageSmtpClient client;
  if (!SplitHostPort(s.smtp_server, kSmtpPort, host, port) || host.empty()) {
    code = kMsgUnresolved;
  } else {
    client.SetPort(port);
    code = client.Connect(host, kMonitorHeloName);
  }
  if (code != kMsgConnected) {
    say("connection to mail server failed");
    return AlertMail::ConnectFailed;
  }
  say("sending mail ...");
  code = client.Send(s.smtp_recipients, s.smtp_sender, kAlertSubject, body);
  client.Close();
  if (code != kMsgSent) {
    say("send mail failed");
    return AlertMail::SendFailed;
  }
  say("notification sent OK");
  return AlertMail::Sent;
}

CheckReport RunCheck(const MonitorSettings& s, const fs::path& data_root, AlertStates& states,
                     const CheckSeams& seams, const std::string& host_name) {
  CheckReport r;
  Say(seams, "counting items ...");
  const SpoolLayout layout(MonitoredFolder(s, data_root));
  r.pending = CountFiles(layout.Processing());
  r.off_peak = CountFiles(layout.OffPeak());
  r.send = CountFiles(layout.Send());

  if (s.check_pending == 1) Watch(states.pending, r.pending, s.pending_alarm, r.alert_due);
  if (s.check_off_peak == 1) Watch(states.off_peak, r.off_peak, s.off_peak_alarm, r.alert_due);
  if (s.check_send == 1) Watch(states.send, r.send, s.send_alarm, r.alert_due);
  if (s.enable_try_smtp_host == 1) {
    Say(seams, "trying SMTP connection to " + s.try_smtp_host_address);
    bool ok = seams.try_smtp ? seams.try_smtp(s.try_smtp_host_address)
                             : TrySmtpConnection(s.try_smtp_host_address);
    if (ok) {
      states.smtp = 0;
    } else if (states.smtp.exchange(1) != 1) {
      r.alert_due = true;
    }
  }
  Say(seams, r.alert_due ? "alert triggered" : "no alert to trigger at this time");

  r.body = "Tarnhold alert from host " + host_name + "\n";
  if (s.check_pending == 1)
    r.body += Line("Pending items %d, alert level %d\n", r.pending, s.pending_alarm);
  if (s.check_off_peak == 1) {
    r.body += "\n" + Line("Off-peak items %d, alert level %d\n", r.off_peak, s.off_peak_alarm);
  }
  if (s.check_send == 1)
    r.body += "\n" + Line("Send items %d, alert level %d\n", r.send, s.send_alarm);
  if (states.smtp == 1) {
    r.body += "SMTP connection to host " + s.try_smtp_host_address + " has failed\n";
  }
  if (!r.alert_due) return r;

  Say(seams, "sending notifications ...");
  r.mail = seams.send_alert ? seams.send_alert(s, r.body, r.mail_code)
                            : SendAlertMail(s, r.body, r.mail_code, seams.status);
  if (r.mail != AlertMail::Sent) states.ResetAll();
  return r;
}

}  // namespace tarnhold::monitor
