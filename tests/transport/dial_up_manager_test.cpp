#include "transport/dial_up_manager.h"

#include <gtest/gtest.h>

#include <atomic>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::TempRoot;

// Scripts in place of pon, poff and the link status: each call is a line in calls.log, and the
// line is up while the file "up" exists. A dial fails when "dial-fails" exists and brings no
// link when "no-link" exists.
struct Line {
  Line() {
    const std::string d = root.Path().string();
    Script("dial.sh", "echo \"dial $1\" >> " + d + "/calls.log\n[ -f " + d +
                          "/dial-fails ] && exit 1\n[ -f " + d + "/no-link ] || touch " + d +
                          "/up\n");
    Script("hangup.sh", "echo \"hangup $1\" >> " + d + "/calls.log\nrm -f " + d + "/up\n");
    Script("status.sh", "test -f " + d + "/up\n");
    DialCommands c;
    c.dial = (root / "dial.sh").string();
    c.hang_up = (root / "hangup.sh").string();
    c.link_status = (root / "status.sh").string();
    c.link_wait = std::chrono::milliseconds(300);
    c.link_poll = std::chrono::milliseconds(20);
    dialer = std::make_unique<CRasDialer>(c);
  }
  void Script(const std::string& name, const std::string& body) {
    fs::path p = root.Write(name, "#!/bin/sh\n" + body);
    fs::permissions(p, fs::perms::owner_all);
  }
  std::string Calls() const { return TempRoot::Read(root / "calls.log"); }

  TempRoot root;
  std::unique_ptr<CRasDialer> dialer;
};

// The engine around the manager: settings, queue, connections, collection and a clock that
// the test sets before each pass.
struct Rig {
  Rig() : config(std::make_shared<CGatewayConfig>(line.root.Path())) {
    config->DialEntry = "isp";
    manager = std::make_unique<DialUpManager>(
        *line.dialer,
        DialUpInputs{[this] { return std::shared_ptr<const CGatewayConfig>(config); },
                     [this] { return queued.load(); }, [this] { return smtp.load(); },
                     [this] { return collecting.load(); }, [this] { return now; }});
  }
  // A pass at `wday` (0 Sunday) `hour`:`minute`.
  void PassAt(int wday, int hour, int minute) {
    now.tm_wday = wday;
    now.tm_hour = hour;
    now.tm_min = minute;
    manager->Pass();
  }

  Line line;
  std::shared_ptr<CGatewayConfig> config;
  std::atomic<std::size_t> queued{0};
  std::atomic<int> smtp{0};
  std::atomic<bool> collecting{false};
  std::tm now{};
  std::unique_ptr<DialUpManager> manager;
};

constexpr int kMonday = 1;

TEST(DialUpManager, DialsForQueuedMailAndHoldsWhileTransfersRun) {
  Rig rig;
  rig.config->DialASAP = 1;
  rig.line.root.Write("up", "");  // a line this gateway did not dial is not its to hang up
  rig.PassAt(kMonday, 9, 0);
  EXPECT_EQ(rig.line.Calls(), "");  // an empty queue wants nothing
  fs::remove(rig.line.root / "up");
  rig.queued = 1;
  rig.PassAt(kMonday, 9, 1);
  rig.PassAt(kMonday, 9, 2);  // still up: no second call
  EXPECT_EQ(rig.line.Calls(), "dial isp\n");
  EXPECT_TRUE(rig.manager->WeDialled());
  rig.queued = 0;
  rig.smtp = 1;
  rig.PassAt(kMonday, 9, 3);
  rig.smtp = 0;
  rig.collecting = true;
  rig.PassAt(kMonday, 9, 4);
  EXPECT_EQ(rig.line.Calls(), "dial isp\n");  // a transfer keeps the line
  rig.collecting = false;
  rig.PassAt(kMonday, 9, 5);
  EXPECT_EQ(rig.line.Calls(), "dial isp\nhangup isp\n");
  EXPECT_FALSE(rig.manager->WeDialled());
  rig.PassAt(kMonday, 9, 6);  // nothing more to hang up
  rig.queued = 2;
  rig.PassAt(kMonday, 9, 7);  // and a later wanted pass dials again
  EXPECT_EQ(rig.line.Calls(), "dial isp\nhangup isp\ndial isp\n");
}

TEST(DialUpManager, DialTimesOnFlaggedDaysOnly) {
  struct Case {
    const char* name;
    std::string time;
    int mon, sun;
    int wday, hour, minute;
    bool want_dial;
  } cases[] = {
      {"Monday 08:30", "08:30", 1, 0, kMonday, 8, 30, true},
      {"a minute early", "08:30", 1, 0, kMonday, 8, 29, false},
      {"a minute late", "08:30", 1, 0, kMonday, 8, 31, false},
      {"Monday not flagged", "08:30", 0, 1, kMonday, 8, 30, false},
      {"Sunday flag is day 0", "8:5", 0, 1, 0, 8, 5, true},
      {"Tuesday not flagged", "08:30", 1, 1, 2, 8, 30, false},
      {"no minutes", "17", 1, 0, kMonday, 17, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.config->dial_times = {"23:59", c.time};
    rig.config->DialMON = c.mon;
    rig.config->DialSUN = c.sun;
    rig.PassAt(c.wday, c.hour, c.minute);
    EXPECT_EQ(rig.line.Calls(), c.want_dial ? "dial isp\n" : "");
  }
}

TEST(DialUpManager, TimedDialDroppedAtFirstIdlePass) {
  Rig rig;
  rig.config->dial_times = {"08:30"};
  rig.config->DialMON = 1;
  rig.PassAt(kMonday, 8, 30);
  rig.collecting = true;
  rig.PassAt(kMonday, 8, 31);
  EXPECT_EQ(rig.line.Calls(), "dial isp\n");
  rig.collecting = false;
  rig.PassAt(kMonday, 8, 32);
  EXPECT_EQ(rig.line.Calls(), "dial isp\nhangup isp\n");
}

TEST(DialUpManager, FailedDialIsHungUpAndRetried) {
  for (const char* failure : {"dial-fails", "no-link"}) {
    SCOPED_TRACE(failure);
    Rig rig;
    rig.config->DialASAP = 1;
    rig.queued = 1;
    rig.line.root.Write(failure, "");
    rig.PassAt(kMonday, 9, 0);
    EXPECT_EQ(rig.line.Calls(), "dial isp\nhangup isp\n");
    EXPECT_FALSE(rig.manager->WeDialled());
    fs::remove(rig.line.root / failure);
    rig.PassAt(kMonday, 9, 1);
    EXPECT_EQ(rig.line.Calls(), "dial isp\nhangup isp\ndial isp\n");
    EXPECT_TRUE(rig.manager->WeDialled());
  }
}

TEST(RasDialer, LinkStatusFromThePidFileAndInterfaceFlags) {
  struct Case {
    const char* name;
    std::string pid_file;  // "" : none
    std::string flags;     // "" : no interface
    bool want_up;
  } cases[] = {
      {"up and running", "4242\nppp0\n", "0x10d1\n", true},
      {"up, not running", "4242\nppp0\n", "0x1091\n" /* no 0x40 */, false},
      {"down", "4242\nppp0\n", "0x1090\n", false},
      {"no interface yet", "4242\n", "0x10d1\n", false},
      {"interface gone", "4242\nppp0\n", "", false},
      {"no pid file", "", "0x10d1\n", false},
      {"interface name climbs out", "4242\n../ppp0\n", "0x10d1\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Line line;
    DialCommands commands;
    commands.dial = (line.root / "dial.sh").string();
    commands.run_folder = line.root / "run";
    commands.net_folder = line.root / "net";
    commands.link_wait = std::chrono::milliseconds(0);
    if (!c.pid_file.empty()) line.root.Write("run/ppp-isp.pid", c.pid_file);
    if (!c.flags.empty()) line.root.Write("net/ppp0/flags", c.flags);
    CRasDialer dialer(commands);
    EXPECT_EQ(dialer.Dial("isp", "", "") == DialResult::Connected, c.want_up);
    EXPECT_EQ(dialer.Status(), c.want_up);
  }
}

}  // namespace
}  // namespace tarnhold
