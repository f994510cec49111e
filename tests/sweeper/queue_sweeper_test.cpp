#include "sweeper/queue_sweeper.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <set>
#include <thread>

#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "sweeper/off_peak.h"
#include "tests/support/temp_root.h"
#include "tests/sweeper/log_capture.h"

namespace tarnhold {
namespace {

using namespace std::chrono_literals;
using test::SweepLogCapture;
using test::TempRoot;
using Lines = std::vector<std::string>;

// A data root, its configuration snapshot and a sweeper whose processor records the items.
struct SweeperRig {
  SweeperRig() {
    config = std::make_shared<CGatewayConfig>(root.Path());
    sweeper = std::make_unique<CQueueSweeper>(
        root.Path(), [this] { return std::shared_ptr<const CGatewayConfig>(config); },
        [this](const std::filesystem::path& item, const CGatewayConfig&) {
          std::scoped_lock lock(mutex);
          processed.push_back(item.filename().string());
          std::filesystem::remove(item);
          cv.notify_all();
        });
  }
  void Item(int n, std::string_view text = "item") {
    root.Write("queproc/" + std::to_string(n), text);
  }
  // A fresh snapshot with clustering on and `hosts` (a reload).
  void Cluster(std::vector<std::string> hosts) {
    auto next = std::make_shared<CGatewayConfig>(*config);
    next->EnableClustering = 1;
    next->cluster_hosts = std::move(hosts);
    config = next;
  }

  TempRoot root;
  SweepLogCapture log;
  std::shared_ptr<CGatewayConfig> config;
  std::unique_ptr<CQueueSweeper> sweeper;
  std::mutex mutex;
  std::condition_variable cv;
  Lines processed;
};

TEST(QueueSweeper, ProcessesItemsInNumberOrder) {
  SweeperRig rig;
  for (int n : {10, 2, 1}) rig.Item(n);
  rig.root.Write("queproc/.copy.abc123", "half a copy");
  std::filesystem::create_directories(rig.root / "queproc/7");
  rig.sweeper->RunPass();
  EXPECT_EQ(rig.processed, (Lines{"1", "2", "10"}));
  EXPECT_TRUE(rig.log.Lines().empty());
}

// With workers, an item goes to worker number % count exactly once, worker 0 on the
// sweeper's thread; clustering and virus scanning keep every item on the sweeper's thread.
TEST(QueueSweeper, WorkersShareAPassByItemNumber) {
  struct Case {
    const char* name;
    std::function<void(SweeperRig&)> setup;
    bool parallel;
  } cases[] = {
      {"plain rules", [](SweeperRig&) {}, true},
      {"virus scan",
       [](SweeperRig& rig) {
         CRuleRecord rule;
         rule.Enabled = 1;
         rule.VirusScan = 1;
         rig.config->rules.push_back(rule);
       },
       false},
      {"disabled virus rule",
       [](SweeperRig& rig) {
         CRuleRecord rule;
         rule.VirusScan = 1;
         rig.config->rules.push_back(rule);
       },
       true},
      {"clustering", [](SweeperRig& rig) { rig.Cluster({}); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SweeperRig rig;
    c.setup(rig);
    std::map<std::string, int> worker_of;
    std::set<std::thread::id> threads;
    const std::thread::id test_thread = std::this_thread::get_id();
    rig.sweeper->SetWorkers(
        2, [&](int worker, const std::filesystem::path& item, const CGatewayConfig&) {
          std::scoped_lock lock(rig.mutex);
          EXPECT_TRUE(worker_of.emplace(item.filename().string(), worker).second);
          if (worker == 0) {
            EXPECT_EQ(std::this_thread::get_id(), test_thread);
          }
          threads.insert(std::this_thread::get_id());
          std::filesystem::remove(item);
        });
    for (int n = 1; n <= 5; ++n) rig.Item(n);
    rig.sweeper->RunPass();  // returns when every worker is done
    EXPECT_TRUE(ListItemNumbers(rig.root / "queproc").empty());
    if (c.parallel) {
      EXPECT_EQ(worker_of,
                (std::map<std::string, int>{{"1", 1}, {"2", 0}, {"3", 1}, {"4", 0}, {"5", 1}}));
      EXPECT_EQ(threads.size(), 2u);
      EXPECT_TRUE(rig.processed.empty());
    } else {
      EXPECT_TRUE(worker_of.empty());
      EXPECT_EQ(rig.processed, (Lines{"1", "2", "3", "4", "5"}));
    }
  }
}

TEST(QueueSweeper, EmptyClusterListProcessesLocally) {
  SweeperRig rig;
  rig.Cluster({});
  rig.Item(1);
  rig.Item(2);
  rig.sweeper->RunPass();
  EXPECT_EQ(rig.processed, (Lines{"1", "2"}));
  EXPECT_EQ(rig.log.Lines(), (Lines{"1 processing locally", "2 processing locally"}));
}

TEST(QueueSweeper, HostsTakeItemsInTurn) {
  SweeperRig rig;
  TempRoot h1, h2, h3;
  for (auto* h : {&h1, &h2, &h3}) std::filesystem::create_directories(h->Path() / "queproc");
  for (auto* h : {&h1, &h2, &h3}) std::filesystem::create_directories(h->Path() / "stat");
  rig.Cluster({h1.Path().string(), h2.Path().string(), h3.Path().string()});
  for (int n = 1; n <= 4; ++n) rig.Item(n, "item " + std::to_string(n));
  rig.root.Write("stat/2", "192.0.2.7");
  rig.sweeper->RunPass();
  EXPECT_TRUE(rig.processed.empty());
  EXPECT_TRUE(ListItemNumbers(rig.root / "queproc").empty());
  EXPECT_FALSE(std::filesystem::exists(rig.root / "stat/2"));
  EXPECT_EQ(TempRoot::Read(h1.Path() / "queproc/1"), "item 1");
  EXPECT_EQ(TempRoot::Read(h2.Path() / "queproc/2"), "item 2");
  EXPECT_EQ(TempRoot::Read(h3.Path() / "queproc/3"), "item 3");
  EXPECT_EQ(TempRoot::Read(h1.Path() / "queproc/4"), "item 4");
  EXPECT_EQ(TempRoot::Read(h2.Path() / "stat/2"), "192.0.2.7");
  EXPECT_FALSE(std::filesystem::exists(h1.Path() / "stat/1"));  // no stat file, none copied
  Lines lines = rig.log.Lines();
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "1 copying to " + (h1.Path() / "queproc/1").string());
  EXPECT_EQ(lines[1], "1 copy OK");
  EXPECT_EQ(lines[6], "4 copying to " + (h1.Path() / "queproc/4").string());
}

TEST(QueueSweeper, UnreachableHostLeavesTheList) {
  SweeperRig rig;
  TempRoot good;
  std::filesystem::create_directories(good.Path() / "queproc");
  std::string bad = (rig.root / "no-such-share").string();
  rig.Cluster({bad, good.Path().string()});
  rig.Item(1);
  rig.Item(2);
  rig.sweeper->RunPass();
  EXPECT_EQ(rig.log.Lines(),
            (Lines{"1 copying to " + bad + "/queproc/1",
                   "1 copy failed, removing " + bad + " from the distribution list"}));
  EXPECT_EQ(ListItemNumbers(rig.root / "queproc"), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(rig.sweeper->Distribution().Hosts(), (Lines{good.Path().string()}));
  rig.sweeper->RunPass();  // the failed item goes to the next host in the next pass
  EXPECT_TRUE(ListItemNumbers(rig.root / "queproc").empty());
  EXPECT_EQ(ListItemNumbers(good.Path() / "queproc").size(), 2u);
}

TEST(QueueSweeper, EmptyOrRelativeEntriesNeverCopyIntoTheWorkingFolder) {
  SweeperRig rig;
  rig.Cluster({"", "relative/share"});
  rig.Item(1);
  rig.sweeper->RunPass();
  rig.sweeper->RunPass();
  EXPECT_EQ(rig.log.Lines(),
            (Lines{"1 copy failed, removing  from the distribution list",
                   "1 copy failed, removing relative/share from the distribution list"}));
  rig.sweeper->RunPass();
  EXPECT_EQ(rig.processed, (Lines{"1"}));  // the list is empty now: processed here
}

TEST(Distributor, QueueIdHint) {
  TempRoot root, host;
  for (int n = 1; n <= 3; ++n) host.Write("queproc/" + std::to_string(n), "");
  SweepLogCapture log;
  Distributor d(root.Path(), [](std::string_view) {});
  d.SetHosts({host.Path().string()});
  root.Write("queproc/1", "a");
  EXPECT_EQ(d.Distribute(root / "queproc/1"), DistributeResult::Copied);
  EXPECT_TRUE(std::filesystem::exists(host / "queproc/4"));
  EXPECT_EQ(d.QueueIdHint(), 5u);

  // 30000 still moves the hint on; a number above it starts the search at 1 again.
  host.Write("queproc/30000", "");
  d.SetQueueIdHint(29999);
  root.Write("queproc/2", "b");
  ASSERT_EQ(d.Distribute(root / "queproc/2"), DistributeResult::Copied);
  EXPECT_TRUE(std::filesystem::exists(host / "queproc/29999"));
  EXPECT_EQ(d.QueueIdHint(), 30000u);
  root.Write("queproc/3", "c");
  ASSERT_EQ(d.Distribute(root / "queproc/3"), DistributeResult::Copied);
  EXPECT_TRUE(std::filesystem::exists(host / "queproc/30001"));
  EXPECT_EQ(d.QueueIdHint(), 0u);
  root.Write("queproc/4", "d");
  ASSERT_EQ(d.Distribute(root / "queproc/4"), DistributeResult::Copied);
  EXPECT_TRUE(std::filesystem::exists(host / "queproc/5"));
}

TEST(Distributor, StillLockedIsReportedOnceAndSkipped) {
  TempRoot root, host;
  std::filesystem::create_directories(host / "queproc");
  Lines lines;
  Distributor d(root.Path(), [&](std::string_view l) { lines.emplace_back(l); });
  d.SetLockedPause(1ms);
  d.SetHosts({host.Path().string()});
  auto item = root.Write("queproc/1", "still being written");
  LockedFile writer;
  std::string error;
  ASSERT_EQ(writer.OpenLocked(item, Access::ReadWrite, error), LockResult::Locked);
  EXPECT_EQ(d.Distribute(item), DistributeResult::Skipped);
  EXPECT_EQ(d.Distribute(item), DistributeResult::Skipped);
  EXPECT_EQ(lines, (Lines{"still locked"}));
  writer.Close();
  EXPECT_EQ(d.Distribute(item), DistributeResult::Copied);
  EXPECT_TRUE(ListItemNumbers(host / "queproc").size() == 1);
}

TEST(QueueSweeper, ReloadRefillsTheDistributionList) {
  SweeperRig rig;
  rig.Cluster({(rig.root / "gone").string()});
  rig.Item(1);
  rig.sweeper->RunPass();
  EXPECT_TRUE(rig.sweeper->Distribution().Hosts().empty());
  TempRoot host;
  std::filesystem::create_directories(host / "queproc");
  rig.Cluster({host.Path().string()});
  rig.sweeper->RunPass();
  EXPECT_EQ(ListItemNumbers(host / "queproc").size(), 1u);
  EXPECT_TRUE(ListItemNumbers(rig.root / "queproc").empty());
}

TEST(QueueSweeper, OffPeakReleaseEveryTenthPass) {
  SweeperRig rig;
  rig.config->OffPeakFromHH = 18;
  rig.config->OffPeakToHH = 7;
  rig.config->OffPeakToMM = 30;
  WakeEvent send_wake;
  rig.sweeper->SetSendQueueWake(&send_wake);
  std::pair<int, int> now{23, 0};
  rig.sweeper->SetClock([&] { return now; });
  rig.root.Write("que/1", "");
  rig.root.Write("que/2", "");
  rig.root.Write("offpeak/5", "five");
  rig.root.Write("offpeak/9", "nine");
  for (int i = 0; i < 9; ++i) rig.sweeper->RunPass();
  EXPECT_EQ(ListItemNumbers(rig.root / "offpeak").size(), 2u);
  rig.sweeper->RunPass();
  EXPECT_EQ(ListItemNumbers(rig.root / "que"), (std::vector<std::uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(TempRoot::Read(rig.root / "que/3"), "five");
  EXPECT_EQ(TempRoot::Read(rig.root / "que/4"), "nine");
  EXPECT_EQ(rig.log.Lines(), (Lines{"message 5 moved from off-peak to send queue",
                                    "message 9 moved from off-peak to send queue"}));
  EXPECT_TRUE(send_wake.WaitFor(0ms));

  rig.root.Write("offpeak/1", "later");
  now = {12, 0};
  for (int i = 0; i < 10; ++i) rig.sweeper->RunPass();
  EXPECT_EQ(ListItemNumbers(rig.root / "offpeak").size(), 1u);  // outside the window
}

TEST(QueueSweeper, NewItemEndsThePauseAtOnce) {
  SweeperRig rig;
  rig.sweeper->Start();
  for (int n = 1; n <= 3; ++n) {
    rig.Item(n);
    rig.sweeper->QueueWake().Notify();
    std::unique_lock lock(rig.mutex);
    ASSERT_TRUE(rig.cv.wait_for(lock, 10s, [&] { return rig.processed.size() == std::size_t(n); }));
  }
  rig.sweeper->Stop();
  EXPECT_EQ(rig.processed, (Lines{"1", "2", "3"}));
}

TEST(OffPeak, WindowOverMidnight) {
  struct Case {
    int hour, minute;
    int want;
  } cases[] = {{18, 0, 0}, {18, 1, 1}, {23, 59, 1}, {0, 0, 1},
               {7, 29, 1}, {7, 30, 0}, {12, 0, 0},  {17, 59, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.hour) + ":" + std::to_string(c.minute));
    EXPECT_EQ(IsOffPeakAt(c.hour, c.minute, 18, 0, 7, 30), c.want);
  }
  // A window whose start lies before its end on the same day covers the whole day.
  EXPECT_EQ(IsOffPeakAt(12, 0, 9, 0, 17, 0), 1);
  EXPECT_EQ(IsOffPeakAt(3, 0, 9, 0, 17, 0), 1);
}

}  // namespace
}  // namespace tarnhold
