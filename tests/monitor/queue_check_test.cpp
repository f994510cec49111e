#include "monitor/queue_check.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_root.h"

namespace tarnhold::monitor {
namespace {

namespace fs = std::filesystem;
using test::TempRoot;

void Fill(const fs::path& folder, int count) {
  fs::remove_all(folder);
  fs::create_directories(folder / "sub");  // folders are not counted
  for (int i = 1; i <= count; ++i) std::ofstream(folder / std::to_string(i)) << "x";
}

struct Monitor {
  TempRoot root;
  MonitorSettings settings;
  AlertStates states;
  std::vector<std::string> status;
  std::vector<std::string> mailed;
  AlertMail next_mail = AlertMail::Sent;
  bool smtp_up = true;

  CheckReport Check() {
    CheckSeams seams;
    seams.status = [this](const std::string& s) { status.push_back(s); };
    seams.try_smtp = [this](const std::string&) { return smtp_up; };
    seams.send_alert = [this](const MonitorSettings&, const std::string& body, int&) {
      mailed.push_back(body);
      return next_mail;
    };
    return RunCheck(settings, root.Path(), states, seams, "gate1");
  }
};

TEST(QueueCheck, AnAlertIsMailedOnceUntilTheCountDropsBelowItsLevel) {
  Monitor m;
  m.settings.check_pending = 1;
  struct Step {
    int items;
    bool mailed;
  } steps[] = {{250, true}, {250, false}, {400, false}, {249, false}, {250, true}, {0, false}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.items);
    Fill(m.root / "queproc", s.items);
    std::size_t before = m.mailed.size();
    CheckReport r = m.Check();
    EXPECT_EQ(r.pending, static_cast<std::size_t>(s.items));
    EXPECT_EQ(m.mailed.size() - before, s.mailed ? 1u : 0u);
    EXPECT_EQ(m.status.back(),
              s.mailed ? "sending notifications ..." : "no alert to trigger at this time");
  }
  EXPECT_EQ(m.status.front(), "counting items ...");
}

TEST(QueueCheck, AFailedNotificationIsTriedAgainAtTheNextCheck) {
  Monitor m;
  m.settings.check_send = 1;
  m.settings.send_alarm = 2;
  Fill(m.root / "que", 3);
  for (AlertMail failure : {AlertMail::ConnectFailed, AlertMail::SendFailed}) {
    m.next_mail = failure;
    EXPECT_EQ(m.Check().mail, failure);
    EXPECT_EQ(m.states.send.load(), -1);
  }
  m.next_mail = AlertMail::Sent;
  EXPECT_EQ(m.Check().mail, AlertMail::Sent);
  EXPECT_EQ(m.Check().mail, AlertMail::NotDue);
  EXPECT_EQ(m.mailed.size(), 3u);
}

TEST(QueueCheck, TheBodyHasALineForEveryWatchedQueueAndTheFailedConnection) {
  Monitor m;
  m.settings.check_pending = m.settings.check_off_peak = m.settings.check_send = 1;
  m.settings.pending_alarm = 5;
  m.settings.enable_try_smtp_host = 1;
  m.settings.try_smtp_host_address = "gate.test";
  m.smtp_up = false;
  Fill(m.root / "queproc", 1);
  Fill(m.root / "offpeak", 2);
  Fill(m.root / "que", 3);
  CheckReport r = m.Check();
  EXPECT_TRUE(r.alert_due);
  EXPECT_EQ(r.body,
            "Tarnhold alert from host gate1\n"
            "Pending items 1, alert level 5\n"
            "\nOff-peak items 2, alert level 1000\n"
            "\nSend items 3, alert level 500\n"
            "SMTP connection to host gate.test has failed\n");
  EXPECT_NE(std::find(m.status.begin(), m.status.end(), "trying SMTP connection to gate.test"),
            m.status.end());
  // The connection is back: its state clears and no alert is due.
  m.smtp_up = true;
  EXPECT_FALSE(m.Check().alert_due);
  EXPECT_EQ(m.states.smtp.load(), 0);
}

TEST(QueueCheck, AMissingDataFolderCountsNothing) {
  Monitor m;
  m.settings.check_pending = 1;
  m.settings.pending_alarm = 0;  // 0 items are not below 0: the level is reached
  m.settings.tarnhold_path = (m.root / "nowhere").string();
  CheckReport r = m.Check();
  EXPECT_EQ(r.pending, 0u);
  EXPECT_TRUE(r.alert_due);
}

TEST(MonitorSettings, DefaultsRoundTripAndTheConfigurationFolder) {
  TempRoot root;
  MonitorSettings defaults = LoadMonitorSettings(root / "missing.cfg");
  EXPECT_EQ(defaults.check_interval, 60);
  EXPECT_EQ(defaults.pending_alarm, 250);
  EXPECT_EQ(defaults.off_peak_alarm, 1000);
  EXPECT_EQ(defaults.send_alarm, 500);
  EXPECT_EQ(defaults.try_smtp_port, 25);

  MonitorSettings s;
  s.enable_monitoring = 1;
  s.check_interval = 15;
  s.tarnhold_path = std::string(300, 'p');  // read back cut to 249 characters
  s.smtp_recipients = "a@b.test,c@d.test";
  s.try_smtp_host_address = "gate.test:2525";
  ASSERT_TRUE(SaveMonitorSettings(root / "cfg/thmon.cfg", s));
  MonitorSettings back = LoadMonitorSettings(root / "cfg/thmon.cfg");
  EXPECT_EQ(back.enable_monitoring, 1);
  EXPECT_EQ(back.check_interval, 15);
  EXPECT_EQ(back.tarnhold_path, std::string(249, 'p'));
  EXPECT_EQ(back.smtp_recipients, "a@b.test,c@d.test");
  EXPECT_EQ(back.try_smtp_host_address, "gate.test:2525");
  EXPECT_EQ(TempRoot::Read(root / "cfg/thmon.cfg")
                .rfind("[General]\nEnableMonitoring=1\nCheckInterval=15\n", 0),
            0u);

  EXPECT_EQ(MonitorConfigPath("/x/my.cfg"), fs::path("/x/my.cfg"));
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(MonitorConfigPath(""), fs::path("/cfg/tarnhold/thmon.cfg"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);
  ::setenv("HOME", "/home/op", 1);
  EXPECT_EQ(MonitorConfigPath(""), fs::path("/home/op/.config/tarnhold/thmon.cfg"));
  ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace tarnhold::monitor
