// The per-message processor on real message files, with the gateway's own SMTP receiver on the
// same data root: what is quarantined, resubmitted, forwarded or queued arrives where the
// engine would put it, and generated mail comes back into the processing queue.
#include "sweeper/item_processor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "gateway/queue_item.h"
#include "gateway/server_settings.h"
#include "platform/locked_file.h"
#include "platform/spool_folder.h"
#include "sweeper/dry_run_effects.h"
#include "tests/support/temp_root.h"
#include "tests/sweeper/log_capture.h"
#include "transport/smtp_server.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TempRoot;
using Lines = std::vector<std::string>;

struct Item {
  QueueItemHeader header;
  std::string text;
};

// A loopback port that nothing listens on.
std::uint16_t ClosedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

Item ReadItem(const fs::path& path) {
  Item item;
  LockedFile file;
  std::string error;
  EXPECT_EQ(file.OpenLocked(path, Access::ReadOnly, error), LockResult::Locked) << path;
  EXPECT_EQ(ReadQueueItemHeader(file, item.header), 0);
  char buffer[8192];
  for (long got; (got = file.Read(buffer, sizeof buffer)) > 0;) item.text.append(buffer, got);
  return item;
}

// A data root with its configuration, the real receiver listening on SMTPInPort and the
// engine's processor.
class Gateway {
 public:
  Gateway() {
    config.Load();  // no tarnhold.dat: defaults, and the data folders
    config.local_domains = {"example.com"};
    config.AdminEmail = "admin@example.com";
    server.SetSettings(&settings);
    server.SetServerNameSource([] { return std::string("gw.example.com"); });
    EXPECT_EQ(server.Start(0, "127.0.0.1"), 0);
    config.SMTPInPort = static_cast<std::uint16_t>(server.Port());
  }
  ~Gateway() { server.Stop(); }

  // Queues tests/data/sweeper/<name> as processing item `n` from `ip`.
  fs::path Queue(const std::string& name, std::uint32_t n = 1, const std::string& ip = "192.0.2.1",
                 const std::string& recipient = "bob@example.com") {
    fs::path path = root / "queproc" / std::to_string(n);
    LockedFile file;
    std::string error;
    EXPECT_EQ(file.CreateLocked(path, error), CreateResult::Created) << error;
    EXPECT_EQ(WriteQueueItemHeader(file, recipient, "eve@outside.test", 0, 0, 1), 0);
    std::string text = TempRoot::Read(test::DataFile("sweeper/" + name)) + ".\r\n";
    EXPECT_TRUE(file.WriteAll(text.data(), text.size()));
    file.Close();
    if (!ip.empty()) root.Write("stat/" + std::to_string(n), ip);
    return path;
  }

  // Queues `text` as processing item `n`.
  fs::path QueueText(const std::string& text, std::uint32_t n = 1) {
    fs::path path = root / "queproc" / std::to_string(n);
    LockedFile file;
    std::string error;
    EXPECT_EQ(file.CreateLocked(path, error), CreateResult::Created) << error;
    EXPECT_EQ(WriteQueueItemHeader(file, "bob@example.com", "eve@outside.test", 0, 0, 1), 0);
    EXPECT_TRUE(file.WriteAll(text.data(), text.size()));
    return path;
  }

  void Process(std::uint32_t n = 1) {
    processor.ProcessQueueItem(root / "queproc" / std::to_string(n), config);
  }

  CRuleRecord& Rule(int action) {
    CRuleRecord r;
    r.Enabled = 1;
    r.AllIncoming = 1;
    r.AllOutgoing = 1;
    r.Action = action;
    config.rules.push_back(r);
    return config.rules.back();
  }

  // Items the receiver has queued beyond `known` (waits up to 5 s for `count` of them).
  std::vector<Item> Received(std::size_t count, std::uint32_t after = 1) {
    auto deadline = std::chrono::steady_clock::now() + 5s;
    std::vector<std::uint32_t> numbers;
    auto fresh = [&] {
      numbers.clear();
      for (auto n : ListItemNumbers(root / "queproc")) {
        if (n > after) numbers.push_back(n);
      }
      return numbers.size() >= count;
    };
    while (!fresh() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    std::vector<Item> items;
    for (auto n : numbers) items.push_back(ReadItem(root / "queproc" / std::to_string(n)));
    return items;
  }

  TempRoot root;
  test::SweepLogCapture log;
  CGatewayConfig config{root.Path()};
  CServerSettings settings{root.Path()};
  CSmtpServer server;
  QueueItemProcessor processor;
};

TEST(ProcessQueueItem, QuarantinesAndNotifiesTheAdministrator) {
  Gateway g;
  auto& r = g.Rule(kActionQuarantine);
  r.BlockFileTypes = "exe";
  r.QuarantineArea = "content";
  r.NotifyAdminOnAction = 1;
  r.Comment = "no programs";
  std::string original = TempRoot::Read(g.Queue("exe-and-text.eml"));
  g.Process();
  EXPECT_EQ(g.log.Lines(),
            (Lines{"> Reading queue item 1 ...",
                   "> creating from file " + (g.root / "queproc/1").string(),
                   "> OK  <exe@outside.test> is from eve@outside.test for bob@example.com( "
                   "bob@example.com)",
                   "> reading source IP info", "> source IP is 192.0.2.1", "> verfying rule 0",
                   "> rule 0 applies - All Mail", "> rule 0 - triggered on file types",
                   "> sending notification to the administrator", "> notification sent",
                   "> rule 0 - skipping further checks and executing action directives",
                   "> rule 0 - message moved to quarantine area 'content'"}));
  EXPECT_EQ(TempRoot::Read(g.root / "quaran/content/1"), original);
  EXPECT_FALSE(fs::exists(g.root / "queproc/1"));
  EXPECT_FALSE(fs::exists(g.root / "stat/1"));
  EXPECT_TRUE(ListItemNumbers(g.root / "temp").empty());
  auto notices = g.Received(1);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].header.recipient, "admin@example.com");
  EXPECT_NE(notices[0].text.find("Subject: Tarnhold Notification rule 0 no programs\r\n"),
            std::string::npos);
  EXPECT_NE(notices[0].text.find("Triggered on message from eve@outside.test to bob@example.com"),
            std::string::npos);
}

TEST(ProcessQueueItem, RebuildDropsTheListedType) {
  Gateway g;
  auto& r = g.Rule(kActionRemoveListedTypes);
  r.BlockEverything = 1;
  r.RemoveFileTypes = "exe";
  g.Queue("exe-and-text.eml");
  g.Process();
  EXPECT_FALSE(fs::exists(g.root / "queproc/1"));
  auto resent = g.Received(1);
  ASSERT_EQ(resent.size(), 1u);
  EXPECT_EQ(resent[0].header.recipient, "bob@example.com");
  EXPECT_EQ(resent[0].header.sender, "eve@outside.test");
  const std::string& text = resent[0].text;
  EXPECT_NE(text.find("tools you asked for\r\n"), std::string::npos);  // lower-cased
  EXPECT_NE(text.find("Here are the tools."), std::string::npos);
  EXPECT_NE(text.find("begin 660 readme.txt"), std::string::npos);
  EXPECT_EQ(text.find("setup.exe"), std::string::npos);
  Lines lines = g.log.Lines();
  EXPECT_EQ(lines.back(), "> sent OK");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "> resending ..."), lines.end());
  // Each pass through the gateway counts as a hop, so a rebuild that never settles ends.
  EXPECT_NE(text.find("\r\nReceived: by example.com (resubmitted); "), std::string::npos) << text;
}

TEST(ProcessQueueItem, FailedResubmissionKeepsTheMessage) {
  Gateway g;
  auto& r = g.Rule(kActionRemoveAllAttachments);
  r.BlockEverything = 1;
  std::string original = TempRoot::Read(g.Queue("exe-and-text.eml"));
  g.config.SMTPInPort = ClosedPort();  // no receiver there
  g.Process();
  Lines lines = g.log.Lines();
  EXPECT_EQ(lines[lines.size() - 2], "> connecting to local SMTP server port");
  EXPECT_EQ(lines.back(),
            "> ... resubmission failed, message moved to errors quarantine area as 1");
  EXPECT_EQ(TempRoot::Read(g.root / "quaran/errors/1"), original);
  EXPECT_FALSE(fs::exists(g.root / "queproc/1"));
}

// An item's parts become files only when some enabled rule looks at them or may rebuild the
// message from them.
TEST(ProcessItem, PartsAreSavedOnlyForRulesThatReadThem) {
  struct Case {
    const char* name;
    std::function<void(CRuleRecord&)> tweak;
    bool saved;
  } cases[] = {
      {"keywords in subject and body", [](CRuleRecord&) {}, false},
      {"keywords in attachments", [](CRuleRecord& r) { r.ScanAttachments = 1; }, true},
      {"file types", [](CRuleRecord& r) { r.BlockFileTypes = "exe"; }, true},
      {"size by type", [](CRuleRecord& r) { r.SizeLimitExtList = "exe"; }, true},
      {"virus scan", [](CRuleRecord& r) { r.VirusScan = 1; }, true},
      {"passive virus scan", [](CRuleRecord& r) { r.PassiveVirusScan = 1; }, true},
      {"encrypted archives", [](CRuleRecord& r) { r.BlockPasswordZIPs = 1; }, true},
      {"content type", [](CRuleRecord& r) { r.BlockMIMEContentType = 1; }, true},
      {"strip action", [](CRuleRecord& r) { r.Action = kActionRemoveAllAttachments; }, true},
      {"compress action", [](CRuleRecord& r) { r.Action = kActionCompress; }, true},
      {"disabled virus rule",
       [](CRuleRecord& r) {
         r.Enabled = 0;
         r.VirusScan = 1;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gateway g;
    auto& r = g.Rule(kActionQuarantine);
    r.BlockKeywords = "never-present";
    r.ScanSubject = r.ScanBody = 1;
    c.tweak(r);
    EXPECT_EQ(RulesReadParts(g.config), c.saved);
    const fs::path item = g.Queue("exe-and-text.eml");
    ProcessSetup setup;
    setup.temp_root = g.root / "temp";
    setup.source_ip = "192.0.2.1";
    setup.log = [](std::string_view) {};
    std::size_t attachments = 0;
    bool folder = false;
    EffectsFactory effects = [&](const fs::path&, const MessageFacts& facts,
                                 CGatewayMessageFile& message) {
      attachments = facts.attachments.size();
      folder = !message.TempFolder().empty();
      return std::make_unique<DryRunEffects>(facts.item_size);
    };
    std::uint32_t hint = 0;
    (void)ProcessItem(item, g.config, setup, effects, hint);
    EXPECT_EQ(attachments > 0, c.saved);
    EXPECT_EQ(folder, c.saved);
  }
}

// The same as the sweeper's only processor and as one of several workers, whose archive lies
// in its own folder under temp and whose lines reach the log as one block.
TEST(ProcessQueueItem, CompressedResend) {
  for (int worker : {-1, 1}) {
    SCOPED_TRACE(worker);
    Gateway g;
    if (worker >= 0) g.processor.SetWorker(worker);
    auto& r = g.Rule(kActionCompress);
    r.BlockEverything = 1;
    r.CompressionTreshold = 50;
    g.Queue("compressible.eml");
    g.Process();
    Lines lines = g.log.Lines();
    EXPECT_EQ(lines.front(), "> Reading queue item 1 ...");
    EXPECT_NE(
        std::find_if(lines.begin(), lines.end(),
                     [](const std::string& l) {
                       return l.starts_with("> zip compression successful, compressed size is ");
                     }),
        lines.end());
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"> resending with a ZIP attachment", "> sent OK"}));
    auto resent = g.Received(1);
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_NE(resent[0].text.find("begin 660 attachments.zip"), std::string::npos);
    EXPECT_EQ(resent[0].text.find("row 1 of the quarterly figures"), std::string::npos);
    EXPECT_FALSE(fs::exists(g.root / "queproc/1"));
    EXPECT_FALSE(fs::exists(g.root / "attachments.zip"));
    if (worker >= 0) {
      EXPECT_TRUE(fs::is_empty(g.root / "temp" / std::to_string(worker)));
      EXPECT_EQ(std::distance(fs::directory_iterator(g.root / "temp"), {}), 1);
    }
  }
}

TEST(ProcessQueueItem, ExtractedArchiveMembersAreResent) {
  Gateway g;
  g.Rule(kActionDecompress).BlockEverything = 1;
  g.Queue("zipped.eml");
  g.Process();
  auto resent = g.Received(1);
  ASSERT_EQ(resent.size(), 1u);
  EXPECT_NE(resent[0].text.find("begin 660 a.txt"), std::string::npos);
  EXPECT_NE(resent[0].text.find("begin 660 b.txt"), std::string::npos);
  EXPECT_EQ(resent[0].text.find("docs.zip"), std::string::npos);
}

TEST(ProcessQueueItem, HtmlStripLeavesThePlainText) {
  Gateway g;
  g.Rule(kActionRemoveHtml).BlockEverything = 1;
  g.Queue("html-alternative.eml");
  g.Process();
  auto resent = g.Received(1);
  ASSERT_EQ(resent.size(), 1u);
  EXPECT_NE(resent[0].text.find("Plain version."), std::string::npos);
  EXPECT_EQ(resent[0].text.find("HTML version"), std::string::npos);
  EXPECT_EQ(resent[0].text.find("begin 660"), std::string::npos);
}

TEST(ProcessQueueItem, ForwardedCopyArchiveAndSendQueue) {
  Gateway g;
  auto& r = g.Rule(kActionContinue);
  r.BlockKeywords = "secret";
  r.ScanBody = 1;
  r.EnableForwardCopyTo = 1;
  r.ForwardCopyTo = "audit@example.com";
  r.Archive = 1;
  r.ArchivePath = "c:\\tarnhold\\archive\\legal";
  g.config.LogBandwidth = 1;
  std::string original = TempRoot::Read(g.Queue("plain.eml"));
  g.Process();
  Item copy = ReadItem(g.root / "que/1");
  EXPECT_EQ(copy.header.recipient, "audit@example.com");
  EXPECT_EQ(copy.header.sender, "eve@outside.test");
  Item item = ReadItem(g.root / "que/2");
  EXPECT_EQ(item.header.recipient, "bob@example.com");
  EXPECT_EQ(copy.text, item.text);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::string day = std::to_string(local.tm_mon + 1) + "-" + std::to_string(local.tm_mday) + "-" +
                    std::to_string(local.tm_year + 1900);
  EXPECT_EQ(TempRoot::Read(g.root / "archive/legal" / day / "1"), original);
  Lines lines = g.log.Lines();
  EXPECT_EQ(Lines(lines.begin() + 7, lines.end()),
            (Lines{"> rule 0 - keyword content identified",
                   "> marked for archive in c:\\tarnhold\\archive\\legal",
                   "> forwarding a copy of the message to audit@example.com",
                   "> rule 0 ... will continue checking further",
                   "> saving copy to c:\\tarnhold\\archive\\legal", "> obtaining new queue ID ...",
                   "> item in Send que with ID  2"}));
}

TEST(ProcessQueueItem, TextDisclaimerIsAddedBeforeQueueing) {
  Gateway g;
  g.root.Write("text/disc.txt", "-- scanned by the gateway\r\n");
  auto& r = g.Rule(kActionContinue);
  r.BlockEverything = 1;
  r.AddTextDisclaimer = 1;
  r.TextDisclaimerFile = "disc.txt";
  g.Queue("plain.eml");
  g.Process();
  Lines lines = g.log.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "> added text disclaimer from disc.txt"),
            lines.end());
  Item item = ReadItem(g.root / "que/1");
  EXPECT_NE(item.text.find("-- scanned by the gateway"), std::string::npos);
}

TEST(ProcessQueueItem, LockedItemStays) {
  Gateway g;
  auto path = g.Queue("plain.eml");
  LockedFile writer;
  std::string error;
  ASSERT_EQ(writer.OpenLocked(path, Access::ReadWrite, error), LockResult::Locked);
  g.Process();
  EXPECT_EQ(g.log.Lines(),
            (Lines{"> Reading queue item 1 ...", "> creating from file " + path.string(),
                   "> ... item locked by server"}));
  EXPECT_TRUE(fs::exists(path));
  EXPECT_TRUE(fs::exists(g.root / "stat/1"));
  // Later passes leave it alone without a line while it is held, and take it once released.
  g.Process();
  EXPECT_EQ(g.log.Lines().size(), 3u);
  writer.Close();
  g.Process();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(g.log.Lines().back(), "> item in Send que with ID  1");
}

TEST(ProcessQueueItem, UnreadableItemGoesToErrors) {
  Gateway g;
  auto path = g.root.Write("queproc/3", std::string("\x01\x02\x03", 3));
  g.Process(3);
  Lines lines = g.log.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], "> *fatal error while reading message " + path.string());
  EXPECT_EQ(lines[3], "> " + (g.root / "quaran/errors/1").string());
  EXPECT_EQ(lines[4], "> ... message moved to errors quarantine area and will not be processed");
  EXPECT_TRUE(fs::exists(g.root / "quaran/errors/1"));
}

// A message past MaxReceivedHeaders is looping: it is kept in the errors quarantine, and no rule
// sees it.
TEST(ProcessQueueItem, LoopingMessageGoesToErrors) {
  Gateway g;
  g.config.MaxReceivedHeaders = 3;
  g.Rule(kActionContinue);
  for (int hops = 3; hops <= 4; ++hops) {
    SCOPED_TRACE(hops);
    g.log.Clear();
    std::string trail;
    for (int i = 0; i < hops; ++i) trail += "Received: from hop" + std::to_string(i) + "\r\n\tby gw; date\r\n";
    const std::string text = trail + "Subject: loop\r\n\r\nagain\r\n.\r\n";
    g.QueueText(text, 10);
    g.Process(10);
    Lines lines = g.log.Lines();
    const bool looping = hops > 3;
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "> mail loop: the message has 4 Received headers, more than 3"),
              looping ? 1 : 0);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "> verfying rule 0"), looping ? 0 : 1);
    if (looping) {
      EXPECT_EQ(lines.back(), "> ... message moved to errors quarantine area and will not be processed");
      EXPECT_EQ(ReadItem(g.root / "quaran/errors/1").text, text);
    }
    EXPECT_FALSE(fs::exists(g.root / "queproc/10"));
  }
}

}  // namespace
}  // namespace tarnhold
