// thmon --check-once against a recording SMTP sink on loopback.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "monitor/monitor_command.h"
#include "monitor/queue_check.h"
#include "tests/support/recording_smtp_sink.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

using test::RecordingSmtpSink;

TEST(MonitorCheckOnce, TheAlertReachesTheSinkAndTheExitCodeSaysSo) {
  test::TempRoot root;
  RecordingSmtpSink sink;
  ASSERT_TRUE(sink.Listening());
  std::filesystem::create_directories(root / "que");
  for (int i = 1; i <= 3; ++i) std::ofstream(root / "que" / std::to_string(i)) << "x";
  struct Case {
    std::string server;
    int send_alarm;
    int want;
  } cases[] = {
      {"127.0.0.1:" + std::to_string(sink.Port()), 3, monitor::kAlertSent},
      {"127.0.0.1:" + std::to_string(sink.Port()), 4, monitor::kNoAlert},
      {"127.0.0.1:1", 3, monitor::kAlertFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    monitor::MonitorSettings s;
    s.check_send = 1;
    s.send_alarm = c.send_alarm;
    s.smtp_server = c.server;
    s.smtp_recipients = "admin@local.test";
    s.smtp_sender = "thmon@local.test";
    ASSERT_TRUE(monitor::SaveMonitorSettings(root / "thmon.cfg", s));
    monitor::MonitorOptions o{root.Path().string(), (root / "thmon.cfg").string(), true};
    std::ostringstream out;
    EXPECT_EQ(monitor::RunCheckOnce(o, out), c.want) << out.str();
  }
  ASSERT_TRUE(sink.WaitForMessages(1));
  auto m = sink.Messages().at(0);
  EXPECT_EQ(m.rcpt_to, "RCPT TO:<admin@local.test>");
  EXPECT_NE(m.data.find("Subject: Tarnhold queue alert\r\n"), std::string::npos);
  EXPECT_NE(m.data.find("\r\n\r\nTarnhold alert from host "), std::string::npos);
  EXPECT_NE(m.data.find("\r\n\r\nSend items 3, alert level 3\r\n"), std::string::npos) << m.data;
}

}  // namespace
}  // namespace tarnhold
