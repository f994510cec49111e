#include "monitor/monitor_command.h"

#include "monitor/queue_check.h"
#include "platform/data_root.h"

namespace tarnhold::monitor {

bool ParseMonitorCommandLine(const std::vector<std::string>& args, MonitorOptions& o,
                             std::string& error) {
  o = {};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--check-once") {
      o.check_once = true;
    } else if (a == "--root" || a == "--config") {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      (a == "--root" ? o.root : o.config) = args[++i];
    } else {
      error = "unknown argument: " + a;
      return false;
    }
  }
  return true;
}

void WriteMonitorUsage(std::ostream& out) {
  out << "usage: thmon [--root DIR] [--config FILE]                the window\n"
         "       thmon [--root DIR] [--config FILE] --check-once   one check; exit 0 no alert,\n"
         "                                                         1 alert sent, 2 alert failed\n";
}

int RunCheckOnce(const MonitorOptions& o, std::ostream& out) {
  const MonitorSettings settings = LoadMonitorSettings(MonitorConfigPath(o.config));
  AlertStates states;
  CheckSeams seams;
  seams.status = [&](const std::string& line) { out << line << std::endl; };
  CheckReport r = RunCheck(settings, ResolveDataRoot(o.root), states, seams, ComputerName());
  out << "Pending " << r.pending << "\nOff-peak delay " << r.off_peak << "\nSend " << r.send
      << std::endl;
  switch (r.mail) {
    case AlertMail::NotDue:
      return kNoAlert;
    case AlertMail::Sent:
      return kAlertSent;
    default:
      return kAlertFailed;
  }
}

}  // namespace tarnhold::monitor
