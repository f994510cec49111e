#include "transport/pop_collector.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/activity_log.h"
#include "gateway/queue_item.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::ScriptedPeer;
using test::TempRoot;
using Lines = std::vector<std::string>;

// Collects the POP3 collection log's lines without their time stamps.
struct Pop3LogCapture {
  Pop3LogCapture() {
    log.SetTimeStampFormat("T");
    log.SetLineSink([this](std::string_view, std::string_view line) {
      std::scoped_lock lock(mutex);
      lines.emplace_back(line.substr(2));
    });
    InstallActivityLogs({.pop3 = &log});
  }
  ~Pop3LogCapture() { InstallActivityLogs({}); }
  Lines Lines_() {
    std::scoped_lock lock(mutex);
    return lines;
  }

  std::mutex mutex;
  Lines lines;
  CUH_Control log{kPop3LogName};
};

Lines Join(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A message as the server sends it: "S: " lines, then the "." line.
Lines Served(const std::string& size, const Lines& text) {
  Lines out = {"C: LIST *", "S: +OK 1 " + size, "C: RETR *", "S: +OK"};
  for (const std::string& line : text) out.push_back("S: " + line);
  out.push_back("S: .");
  return out;
}

const Lines kLogin = {"S: +OK ready", "C: USER box", "S: +OK", "C: PASS secret", "S: +OK"};

struct Fixture {
  TempRoot root;
  Pop3LogCapture log;
  CollectionState state;
  std::shared_ptr<CGatewayConfig> config = std::make_shared<CGatewayConfig>(root.Path());
  CPopCollector collector{root.Path(), [this] { return config; }, state};

  explicit Fixture(int port) {
    fs::create_directories(root / "pop");
    fs::create_directories(root / "queproc");
    CPopAccountRecord account;
    account.Account = "box";
    account.Password = "secret";
    account.Host = "127.0.0.1:" + std::to_string(port);
    account.PrecedingText = "for";
    account.DefaultAddress = "postmaster@local.test";
    config->pop_accounts.push_back(account);
    config->local_domains = {"local.test", "branch.test"};
    collector.SetReplyTimeout(2);
  }

  QueueItemHeader Item(std::uint32_t n, std::string& text) {
    LockedFile file;
    std::string error;
    EXPECT_EQ(file.OpenLocked(root / "queproc" / std::to_string(n), Access::ReadOnly, error),
              LockResult::Locked);
    QueueItemHeader header;
    EXPECT_EQ(ReadQueueItemHeader(file, header), 0);
    text.clear();
    char block[4096];
    long got;
    while ((got = file.Read(block, sizeof block)) > 0) text.append(block, std::size_t(got));
    return header;
  }
};

TEST(PopCollectorRecipient, DetectModes) {
  const std::vector<std::string> locals = {"local.test", "branch.test"};
  const std::vector<std::string> three = {"a@x.test", "b@local.test", "c@y.test"};
  struct Case {
    const char* name;
    std::vector<std::string> found;
    int mode;
    int number;
    std::string want;
  };
  const Case cases[] = {
      {"mode 1, number 2 of three", three, 1, 2, "b@local.test"},
      {"mode 1, number 2 of one", {"only@x.test"}, 1, 2, "only@x.test"},
      {"mode 1, none found", {}, 1, 1, ""},
      {"mode 1, number below 1 counts as 1", three, 1, 0, "a@x.test"},
      {"mode 1, number past the end", three, 1, 9, "c@y.test"},
      {"mode 0, the last local one wins",
       {"a@local.test", "b@x.test", "c@Branch.TEST", "d@y.test"}, 0, 1, "c@Branch.TEST"},
      {"mode 0, none local", {"a@x.test"}, 0, 1, ""},
      {"mode 5 reads as mode 0", three, 5, 1, "b@local.test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DetectRecipient(c.found, c.mode, c.number, locals), c.want);
  }
}

TEST(PopCollectorBatch, ItemsQueuedThenDeleted) {
  const Lines first = {"Received: from relay.x.test by mx.x.test for <a@local.test>; Mon",
                       "Received: from b by c for <b@other.test>; Mon",
                       "Received: from d by e for c@branch.test; Mon",
                       "From: Someone <Sender@Remote.test>", "Subject: one", "", "..dotted", "..",
                       "body"};
  // Bare line ends inside a line of the server: a "." after them must never become a line
  // that ends the data at the next server.
  const Lines second = {"From: <alone@remote.test>", "Subject: two", "", "text", "lf\n.\nx",
                        "cr\r.\ry"};
  ScriptedPeer peer(Join({kLogin, {"C: STAT", "S: +OK 2 300"}, Served("200", first),
                          {"C: DELE 1", "S: +OK"}, Served("100", second),
                          {"C: DELE 2", "S: +OK", "C: Quit", "EOF"}}));
  Fixture f(peer.Port());
  PopBatchResult result = f.collector.RunBatch(*f.config);
  EXPECT_EQ(peer.Finish(), Lines{});
  EXPECT_EQ(result.collected, 2);
  EXPECT_FALSE(result.work_failed);
  EXPECT_FALSE(f.state.IsRunning());

  std::string text;
  QueueItemHeader one = f.Item(1, text);
  EXPECT_EQ(one.recipient, "c@branch.test");
  EXPECT_EQ(one.sender, "sender@remote.test");
  EXPECT_EQ(one.attempts, 0u);
  EXPECT_EQ(one.return_kind, kReturnNone);
  EXPECT_TRUE(text.starts_with("Received: from relay.x.test"));
  // The text is kept as an SMTP data stream: the dots that begin lines stay doubled, so the
  // line "." inside the message cannot end it at delivery.
  EXPECT_TRUE(text.ends_with("\r\n\r\n..dotted\r\n..\r\nbody\r\n.\r\n")) << text;
  QueueItemHeader two = f.Item(2, text);
  EXPECT_EQ(two.recipient, "postmaster@local.test");
  EXPECT_EQ(two.sender, "alone@remote.test");
  EXPECT_EQ(text,
            "From: <alone@remote.test>\r\nSubject: two\r\n\r\ntext\r\nlf\r\n..\r\nx\r\n"
            "cr\r..\ry\r\n.\r\n");
  // Nothing is left of the work files.
  EXPECT_TRUE(fs::is_empty(f.root / "pop"));
  EXPECT_EQ(f.log.Lines_(),
            (Lines{"connecting: account box on " + f.config->pop_accounts[0].Host + " ...",
                   "Downloading 1", "OK delivery for c@branch.test", "Downloading 2",
                   "Downloaded but could not detect recipient, will deliver to default "
                   "(postmaster@local.test)",
                   "batch complete"}));
}

TEST(PopCollectorBatch, LargeMessageStaysOnTheServer) {
  ScriptedPeer peer(Join({kLogin, {"C: STAT", "S: +OK 2 300"},
                          {"C: LIST 1", "S: +OK 1 5000"},
                          Served("10", {"Subject: small", "", "x"}),
                          {"C: DELE 2", "S: +OK", "C: Quit", "EOF"}}));
  Fixture f(peer.Port());
  f.config->POP3DownloadMaxSize = 4;  // KB
  PopBatchResult result = f.collector.RunBatch(*f.config);
  EXPECT_EQ(peer.Finish(), Lines{});
  EXPECT_EQ(result.collected, 1);
  EXPECT_EQ(ListItemNumbers(f.root / "queproc"), std::vector<std::uint32_t>{1});
  Lines lines = f.log.Lines_();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[2], "ERROR: Message 1 is larger than the limit of 4 KB; it stays on the server");
}

TEST(PopCollectorBatch, WorkFileFailureEndsTheBatchWithoutDelete) {
  // The work file's name is taken by a folder that cannot be removed: the item cannot be
  // built, so message 1 must stay on the server and message 2 waits for the next batch.
  ScriptedPeer peer(Join({kLogin, {"C: STAT", "S: +OK 2 300"},
                          Served("10", {"Subject: one", "", "x"}), {"C: Quit", "EOF"}}));
  Fixture f(peer.Port());
  fs::create_directories(f.root / "pop" / "tmpheader.dat" / "inside");
  PopBatchResult result = f.collector.RunBatch(*f.config);
  EXPECT_EQ(peer.Finish(), Lines{});
  EXPECT_TRUE(result.work_failed);
  EXPECT_EQ(result.collected, 0);
  EXPECT_TRUE(ListItemNumbers(f.root / "queproc").empty());
  EXPECT_FALSE(fs::exists(f.root / "pop" / "1"));
  Lines lines = f.log.Lines_();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(lines[3].starts_with("ERROR: Cannot write the work file ")) << lines[3];
  EXPECT_EQ(lines[4], "batch complete");
}

TEST(PopCollectorBatch, AccountFailuresGoOnToTheNextAccount) {
  ScriptedPeer refused({"S: +OK", "C: USER box", "S: -ERR", "C: Quit", "EOF"});
  ScriptedPeer no_stat(Join({kLogin, {"C: STAT", "S: -ERR locked", "C: Quit", "EOF"}}));
  Fixture f(refused.Port());
  CPopAccountRecord second = f.config->pop_accounts[0];
  second.Host = "127.0.0.1:" + std::to_string(no_stat.Port());
  CPopAccountRecord down = second;
  down.Host = "127.0.0.1:" + std::to_string(test::UnusedLoopbackPort());
  f.config->pop_accounts.push_back(second);
  f.config->pop_accounts.push_back(down);
  PopBatchResult result = f.collector.RunBatch(*f.config);
  EXPECT_EQ(refused.Finish(), Lines{});
  EXPECT_EQ(no_stat.Finish(), Lines{});
  EXPECT_EQ(result.collected, 0);
  Lines lines = f.log.Lines_();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[1], "user command timed out or rejected ");
  EXPECT_EQ(lines[3], "Could not receive number of messages");
  EXPECT_EQ(lines[5], "connection to the server failed");
  EXPECT_EQ(lines[6], "batch complete");
}

TEST(PopCollectorThread, IdleBatchWaitsAndStopWakesIt) {
  // Interval 0 and a server that is down: after a batch that collected nothing the thread
  // sleeps its idle pause instead of starting the next batch at once, and Stop ends the
  // sleep. The pause here is far longer than any test may run.
  Fixture f(test::UnusedLoopbackPort());
  f.collector.SetIdlePause(std::chrono::hours(1));
  f.collector.Start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (f.log.Lines_().size() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  f.collector.Stop();
  EXPECT_EQ(f.log.Lines_(), (Lines{"connecting: account box on " + f.config->pop_accounts[0].Host +
                                       " ...",
                                   "connection to the server failed", "batch complete"}));
  EXPECT_FALSE(f.state.IsRunning());
}

}  // namespace
}  // namespace tarnhold
