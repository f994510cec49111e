#include "gateway/gateway_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_root.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::TempRoot;

CGatewayConfig LoadText(const TempRoot& root, const std::string& text) {
  root.Write("tarnhold.dat", text);
  CGatewayConfig config(root.Path());
  config.Load();
  return config;
}

TEST(GatewayConfigLoad, MissingFileGivesDefaultsAndFolders) {
  TempRoot root;
  CGatewayConfig config(root.Path());
  ConfigLoadReport report = config.Load();
  EXPECT_FALSE(report.file_read);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(config, CGatewayConfig(root.Path()));
  for (std::string_view folder : SpoolLayout::kFolders) {
    EXPECT_TRUE(fs::is_directory(root / folder)) << folder;
  }
}

TEST(GatewayConfigLoad, NoDefaultsSectionGivesTheDeliveryDefaults) {
  TempRoot root;
  CGatewayConfig config = LoadText(root, "[Rule0]\nEnabled=1\n[Other]\nSMTPInPort=99\n");
  EXPECT_EQ(config.SMTPInPort, 25);
  EXPECT_EQ(config.SMTPMaxIn, 250);
  EXPECT_EQ(config.SMTPMaxOut, 25);
  EXPECT_EQ(config.SMTPMaxRetries, 5);
  EXPECT_EQ(config.SMTPRetryInterval, 300);
  EXPECT_EQ(config.InboundPort, 25);
  EXPECT_EQ(config.OutboundPort, 25);
  EXPECT_EQ(config.POP3Port, 100);
  EXPECT_EQ(config.rules.size(), 1u);
  // The receiver's guards are on by default.
  EXPECT_EQ(config.AllowRelay, 0);
  EXPECT_EQ(config.RelayNetworksFileName, "c:\\tarnhold\\lists\\relaynets.dat");
  EXPECT_EQ(config.SMTPMaxMessageSize, 51200);
  EXPECT_EQ(config.MaxReceivedHeaders, 30);
}

TEST(GatewayConfigLoad, KeysWithBlanksAndCaseReadAlike) {
  TempRoot root;
  CGatewayConfig config = LoadText(root,
                                   "[defaults]\r\n"
                                   "InboundGatewayType =1\r\n"
                                   "  OutboundGatewayType  =  0\r\n"
                                   "enableclustering = 1\r\n"
                                   "SMTPINPORT=2525\r\n");
  EXPECT_EQ(config.InboundGatewayType, 1);
  EXPECT_EQ(config.OutboundGatewayType, 0);
  EXPECT_EQ(config.EnableClustering, 1);
  EXPECT_EQ(config.SMTPInPort, 2525);
}

TEST(GatewayConfigLoad, PortsOutsideSixteenBitsKeepTheirDefaults) {
  struct Case {
    const char* value;
    int want;
  } cases[] = {{"2525", 2525}, {"0", 0},   {"65535", 65535}, {"65536", 25},
               {"70000", 25},  {"-1", 25}, {"x", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    TempRoot root;
    CGatewayConfig config = LoadText(root, std::string("[Defaults]\nSMTPInPort=") + c.value + "\n");
    EXPECT_EQ(config.SMTPInPort, c.want);
  }
}

TEST(GatewayConfigLoad, NumberedListsEndAtTheFirstGap) {
  TempRoot root;
  CGatewayConfig config = LoadText(root,
                                   "[Defaults]\n"
                                   "LocalDomain0=Example.COM\nLocalDomain1=mail.example.org\n"
                                   "LocalDomain3=hidden.example\n"
                                   "DialTime0=08:30\nDialTime1=\nDialTime2=12:00\n"
                                   "DialTime0=ignored, the first wins\n");
  EXPECT_EQ(config.local_domains, (std::vector<std::string>{"example.com", "mail.example.org"}));
  EXPECT_EQ(config.dial_times, (std::vector<std::string>{"08:30"}));
}

TEST(GatewayConfigLoad, RuleSectionsStopAtTheFirstGap) {
  struct Case {
    const char* file;
    std::size_t rules;
  } cases[] = {
      {"[Rule0]\nEnabled=1\n[Rule1]\nEnabled=0\n[Rule3]\nEnabled=1\n", 2},
      {"[Rule0]\nEnabled=1\n[Rule2]\nEnabled=1\n", 1},
      {"[Rule0]\nEnabled=1\n[Rule1]\nEnabled=-1\n[Rule2]\nEnabled=1\n", 1},
      {"[Rule0]\nComment=no Enabled\n[Rule1]\nEnabled=1\n", 0},
      {"[Rule1]\nEnabled=1\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempRoot root;
    EXPECT_EQ(LoadText(root, c.file).rules.size(), c.rules);
  }
}

TEST(GatewayConfigLoad, RecordListsEndAtAnEmptyListKey) {
  TempRoot root;
  CGatewayConfig config = LoadText(root,
                                   "[POP0]\naccount=\nhost=a\n[POP1]\naccount=b\n"
                                   "[POP3User0]\naccount=alice\npassword=pw\nactive=1\n"
                                   "EmailAddress0=alice\nEmailAddress1=Postmaster\n"
                                   "EmailAddress3=hidden\n"
                                   "[POP3User1]\nAccount=bob\nEmailAddress0=bob\n"
                                   "[POP3User2]\nPassword=no account\nEmailAddress0=lost\n"
                                   "[POP3User3]\nAccount=carol\n"
                                   "[Scanner0]\nTitle=scan\nEnabled=1\nExePath=/usr/bin/clamscan\n"
                                   "[Scanner1]\nEnabled=1\n[Scanner2]\nTitle=hidden\n");
  EXPECT_TRUE(config.pop_accounts.empty());
  ASSERT_EQ(config.local_users.size(), 2u);
  EXPECT_EQ(config.local_users[0].Account, "alice");
  EXPECT_EQ(config.local_users[0].Password, "pw");
  EXPECT_EQ(config.local_users[0].Active, 1);
  EXPECT_EQ(config.local_users[1].Active, 0);
  EXPECT_EQ(
      config.mailbox_pairs,
      (std::vector<MailboxPair>{{"alice", "alice"}, {"alice", "Postmaster"}, {"bob", "bob"}}));
  ASSERT_EQ(config.scanners.size(), 1u);
  EXPECT_EQ(config.scanners[0].ExePath, "/usr/bin/clamscan");
}

TEST(GatewayConfigLoad, RemoteMailboxDefaults) {
  TempRoot root;
  CGatewayConfig config =
      LoadText(root,
               "[POP0]\naccount=a\n[POP1]\naccount=b\nActive=1\nRecipientDetectMode=1\n"
               "RecipientHeaderNumber=3\nPrecedingText=for\nDefaultAddress=x@y\n");
  ASSERT_EQ(config.pop_accounts.size(), 2u);
  EXPECT_EQ(config.pop_accounts[0].RecipientHeaderNumber, 1);
  EXPECT_EQ(config.pop_accounts[0].Active, 0);
  EXPECT_EQ(config.pop_accounts[1].RecipientHeaderNumber, 3);
  EXPECT_EQ(config.pop_accounts[1].DefaultAddress, "x@y");
}

TEST(GatewayConfigLoad, ListFilesAreReadOnlyWhenSwitchedOn) {
  TempRoot root;
  root.Write("lists/dns.txt", "; servers in order\n127.0.0.2\n\n");
  root.Write("lists/cluster.txt", "/mnt/host2\r\n;comment\r\n/mnt/host3\r\n");
  std::string names = "DNSLookupFileName=c:\\tarnhold\\lists\\dns.txt\nClusterFileName=" +
                      (root / "lists/cluster.txt").string() + "\n";
  CGatewayConfig off = LoadText(root, "[Defaults]\n" + names);
  EXPECT_TRUE(off.dns_servers.empty());
  EXPECT_TRUE(off.cluster_hosts.empty());

  CGatewayConfig on =
      LoadText(root, "[Defaults]\nOutboundGatewayType =1\nEnableClustering =1\n" + names);
  EXPECT_EQ(on.dns_servers, (std::vector<std::string>{"127.0.0.2", ""}));
  EXPECT_EQ(on.cluster_hosts, (std::vector<std::string>{"/mnt/host2", "/mnt/host3"}));
}

TEST(GatewayConfigLoad, ReloadReplacesEveryList) {
  TempRoot root;
  root.Write("lists/dns.txt", "127.0.0.2\n127.0.0.3\n");
  root.Write("tarnhold.dat",
             "[Defaults]\nOutboundGatewayType=1\nDNSLookupFileName=c:\\tarnhold\\lists\\dns.txt\n"
             "LocalDomain0=a.test\n[Rule0]\nEnabled=1\n[POP3User0]\nAccount=u\nEmailAddress0=u\n");
  CGatewayConfig config(root.Path());
  config.Load();
  config.Load();
  EXPECT_EQ(config.dns_servers.size(), 2u);
  EXPECT_EQ(config.local_domains.size(), 1u);
  EXPECT_EQ(config.rules.size(), 1u);
  EXPECT_EQ(config.mailbox_pairs.size(), 1u);

  root.Write("lists/dns.txt", "127.0.0.4\n");
  root.Write("tarnhold.dat",
             "[Defaults]\nOutboundGatewayType=1\n"
             "DNSLookupFileName=c:\\tarnhold\\lists\\dns.txt\n");
  config.Load();
  EXPECT_EQ(config.dns_servers, std::vector<std::string>{"127.0.0.4"});
  EXPECT_TRUE(config.local_domains.empty());
  EXPECT_TRUE(config.rules.empty());
  EXPECT_TRUE(config.mailbox_pairs.empty());
}

TEST(GatewayConfigLoad, UnreadableListFileLeavesTheListEmpty) {
  TempRoot root;
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  fs::create_directories(root / "adir");
  for (const char* name : {"missing.txt", "fifo", "adir", ""}) {
    SCOPED_TRACE(name);
    CGatewayConfig config =
        LoadText(root, "[Defaults]\nOutboundGatewayType=1\nDNSLookupFileName=" +
                           (std::string(*name ? (root / name).string() : "")) + "\n");
    EXPECT_TRUE(config.dns_servers.empty());
    CGatewayConfig again(root.Path());
    ConfigLoadReport report = again.Load();
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_NE(report.problems[0].find("cannot read the DNS server list"), std::string::npos);
  }
}

TEST(GatewayConfigLoad, EachRuleGetsItsQuarantineFolderInsideQuaran) {
  TempRoot root;
  fs::create_directories(root / "deep/down");
  CGatewayConfig config(root / "deep/down");
  root.Write("deep/down/tarnhold.dat",
             "[Rule0]\nEnabled=1\nQuarantineArea=NewArea\n"
             "[Rule1]\nEnabled=0\nQuarantineArea=../../escaped\n"
             "[Rule2]\nEnabled=0\nQuarantineArea=c:\\tarnhold\\quaran\\held\n"
             "[Rule3]\nEnabled=0\nQuarantineArea=..\n"
             "[Rule4]\nEnabled=0\n");
  config.Load();
  EXPECT_EQ(config.rules.size(), 5u);
  EXPECT_TRUE(fs::is_directory(root / "deep/down/quaran/NewArea"));
  EXPECT_TRUE(fs::is_directory(root / "deep/down/quaran/escaped"));
  EXPECT_TRUE(fs::is_directory(root / "deep/down/quaran/held"));
  EXPECT_FALSE(fs::exists(root / "escaped"));
  EXPECT_FALSE(fs::exists(root / "deep/escaped"));
  EXPECT_EQ(config.rules[1].QuarantineArea, "../../escaped");  // kept as written
}

TEST(GatewayConfigLoad, EachLocalUserGetsItsMailboxFolder) {
  TempRoot root;
  CGatewayConfig config(root.Path());
  root.Write("tarnhold.dat",
             "[POP3User0]\naccount=ann\nEmailAddress0=ann\n"
             "[POP3User1]\naccount=bob\n[POP3User2]\naccount=\n");
  config.Load();
  EXPECT_EQ(config.local_users.size(), 2u);
  EXPECT_TRUE(fs::is_directory(root / "popstore/0"));
  EXPECT_TRUE(fs::is_directory(root / "popstore/1"));
  EXPECT_FALSE(fs::exists(root / "popstore/2"));
}

TEST(GatewayConfigPaths, QuarantinePathNeverLeavesQuaran) {
  CGatewayConfig config("/r");
  struct Case {
    std::string area;
    const char* want;
  } cases[] = {{"junk", "/r/quaran/junk"},
               {"", "/r/quaran"},
               {"..", "/r/quaran"},
               {".", "/r/quaran"},
               {"../../etc", "/r/quaran/etc"},
               {"..\\..\\etc", "/r/quaran/etc"},
               {"/etc/passwd", "/r/quaran/passwd"},
               {"sub/", "/r/quaran"},
               {std::string("a\0/../b", 7), "/r/quaran/b"},
               {std::string("x\0y", 3), "/r/quaran/x"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.area);
    EXPECT_EQ(config.QuarantinePath(c.area).string(), c.want);
  }
  EXPECT_EQ(config.MapPath("C:\\Tarnhold\\lists\\x.lst").string(), "/r/lists/x.lst");
  EXPECT_EQ(config.MapPath("/abs/x").string(), "/abs/x");
}

TEST(GatewayConfigLoad, BadFilesLoadWithDefaults) {
  for (const char* name :
       {"garbage-binary.dat", "no-equals.dat", "overlong-values.dat", "truncated-mid-line.dat"}) {
    SCOPED_TRACE(name);
    TempRoot root;
    fs::copy_file(test::DataFile(std::string("config/") + name), root / "tarnhold.dat");
    CGatewayConfig config(root.Path());
    ConfigLoadReport report = config.Load();
    EXPECT_TRUE(report.file_read);
    EXPECT_EQ(config.SMTPMaxIn, 250);
    for (const CRuleRecord& rule : config.rules) {
      EXPECT_LE(rule.Comment.size(), kMaxConfigValueLength);
      EXPECT_LE(rule.QuarantineArea.size(), kMaxConfigValueLength);
    }
    EXPECT_LE(config.AdminEmail.size(), kMaxConfigValueLength);
    EXPECT_TRUE(fs::is_directory(root / "quaran/errors"));
  }
}

TEST(GatewayConfigLoad, CrLfAndLfFilesReadAlike) {
  TempRoot lf_root;
  TempRoot crlf_root;
  std::string lf = test::TempRoot::Read(test::DataFile("config/full.dat"));
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  CGatewayConfig from_lf = LoadText(lf_root, lf);
  CGatewayConfig from_crlf = LoadText(crlf_root, crlf);
  EXPECT_EQ(from_lf.rules, from_crlf.rules);
  EXPECT_EQ(from_lf.local_users, from_crlf.local_users);
  EXPECT_EQ(from_lf.mailbox_pairs, from_crlf.mailbox_pairs);
  EXPECT_EQ(from_lf.AdminEmail, from_crlf.AdminEmail);
  EXPECT_EQ(from_lf.AdminEmail, "postmaster@example.test");
  EXPECT_EQ(from_lf.rules.size(), 2u);
  EXPECT_EQ(from_lf.local_domains, std::vector<std::string>{"example.test"});
}

// Every field set to something other than its default, lists included.
CGatewayConfig EveryFieldSet(const fs::path& root) {
  CGatewayConfig c(root);
  c.AdultKeywords = "foul,words";
  c.InboundGatewayAddress = "192.0.2.1";
  c.InboundGatewayType = 1;
  c.OutboundGatewayAddress = "192.0.2.2";
  c.OutboundGatewayType = 1;
  c.DNSLookupFileName = "c:\\tarnhold\\lists\\dns.txt";
  c.SMTPRoutingFileName = "c:\\tarnhold\\lists\\routes.txt";
  c.EnableClustering = 1;
  c.ClusterFileName = (root / "lists/cluster.txt").string();
  c.LogPOP3 = 1;
  c.LogSMTPIn = 2;
  c.LogSMTPInTraffic = 3;
  c.LogSweeper = 4;
  c.LogSMTPOut = 5;
  c.LogBandwidth = 6;
  c.AdminEmail = "admin@example.test";
  c.SpamReplyEmail = "spam@example.test";
  c.EnablePOP3Server = 7;
  c.DefaultPOP3LocalUserID = 1;
  c.EnablePOP3Download = 8;
  c.POP3DownloadInterval = 9;
  c.SMTPInPort = 2525;
  c.InboundPort = 2527;
  c.OutboundPort = 2528;
  c.POP3Port = 1110;
  c.SMTPMaxIn = 11;
  c.SMTPMaxOut = 12;
  c.SMTPMaxRetries = 13;
  c.SMTPRetryInterval = 14;
  c.DialEntry = "provider";
  c.DialUserName = "dialer";
  c.DialPassword = " pass word ";
  c.DialModem = "ttyS0";
  c.EnableRas = 15;
  c.DialASAP = 16;
  c.DialMON = 17;
  c.DialTUE = 18;
  c.DialWED = 19;
  c.DialTHU = 20;
  c.DialFRI = 21;
  c.DialSAT = 22;
  c.DialSUN = 23;
  c.OffPeakFromHH = 24;
  c.OffPeakFromMM = 25;
  c.OffPeakToHH = -26;
  c.OffPeakToMM = 27;
  c.VirusScanTimeout = 28;  // written because it differs from its default
  c.POP3DownloadMaxSize = 29;
  c.AllowRelay = 1;
  c.RelayNetworksFileName = "c:\\tarnhold\\lists\\nets.dat";
  c.SMTPMaxMessageSize = 30;
  c.MaxReceivedHeaders = 31;
  c.MetricsFileName = "c:\\tarnhold\\metrics.prom";
  c.MetricsInterval = 32;
  c.TLSCertificateFile = "c:\\tarnhold\\tls\\gate.crt";
  c.TLSKeyFile = (root / "tls/gate.key").string();
  c.SMTPOutTLS = 0;
  c.SMTPOutTLSVerify = 1;
  c.POP3RequireTLS = 1;
  c.local_domains = {"example.test", "example.org"};
  c.dial_times = {"08:30", "17:45"};
  for (int n = 0; n < 3; ++n) {
    CRuleRecord rule;
    int i = 0;
    for (const RuleKey& k : RuleKeys()) {
      ++i;
      if (k.number) rule.*k.number = 100 * n + i;
      if (k.text) rule.*k.text = "rule " + std::to_string(n) + " key " + std::to_string(i);
    }
    rule.Enabled = n % 2;
    rule.QuarantineArea = "area" + std::to_string(n);
    c.rules.push_back(rule);
  }
  c.pop_accounts = {
      {1, "default@example.test", "for", 1, 3, "remote1", "pop.example.net", "pw1"},
      {0, "other@example.test", "to", 0, 1, "remote2", "pop2.example.net", "'quoted pw'"}};
  c.local_users = {{1, "", "", 0, 1, "alice", "", "apw"}, {0, "", "", 0, 1, "bob", "", "bpw"}};
  c.mailbox_pairs = {{"alice", "alice"}, {"alice", "postmaster"}, {"bob", "bob"}};
  c.scanners = {{1, 1, "Infected files: 0", "Scanned files: 0", "a", "b", "-r", "/usr/bin/x", "X"},
                {0, 0, "", "", "", "", "", "/usr/bin/y", "Y"}};
  c.cluster_hosts = {"/mnt/host2", ""};
  c.dns_servers = {"127.0.0.2"};
  return c;
}

TEST(GatewayConfigSave, LoadOfSaveGivesBackEveryField) {
  TempRoot root;
  CGatewayConfig saved = EveryFieldSet(root.Path());
  // The DNS and cluster lists come from the files the configuration names.
  root.Write("lists/dns.txt", "127.0.0.2\n");
  root.Write("lists/cluster.txt", "/mnt/host2\n\n");
  std::string error;
  ASSERT_TRUE(saved.Save(error)) << error;
  CGatewayConfig loaded(root.Path());
  ConfigLoadReport report = loaded.Load();
  EXPECT_TRUE(report.file_read);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(loaded.rules, saved.rules);
  EXPECT_EQ(loaded.pop_accounts, saved.pop_accounts);
  EXPECT_EQ(loaded.local_users, saved.local_users);
  EXPECT_EQ(loaded.mailbox_pairs, saved.mailbox_pairs);
  EXPECT_EQ(loaded.scanners, saved.scanners);
  EXPECT_EQ(loaded, saved);
  EXPECT_TRUE(fs::is_directory(root / "quaran/area2"));
}

// A text key beyond the layout whose default is not empty: turned off (empty) it must stay off
// after a save and a load, not come back as its default.
TEST(GatewayConfigSave, EmptyMetricsFileNameStaysEmpty) {
  TempRoot root;
  CGatewayConfig c(root.Path());
  EXPECT_EQ(c.MetricsFileName, "c:\\tarnhold\\logs\\tarnhold.prom");
  c.MetricsFileName.clear();
  std::string error;
  ASSERT_TRUE(c.Save(error)) << error;
  CGatewayConfig loaded(root.Path());
  (void)loaded.Load();
  EXPECT_EQ(loaded.MetricsFileName, "");
}

TEST(GatewayConfigSave, WritesTheAdministratorLayout) {
  TempRoot root;
  CGatewayConfig c(root.Path());
  c.local_domains = {"example.test"};
  c.rules.resize(2);
  c.rules[1].Enabled = 1;
  c.pop_accounts.push_back({1, "d@example.test", "for", 0, 1, "remote", "pop.example.net", "pw"});
  c.local_users.push_back({1, "", "", 0, 1, "alice", "", "apw"});
  c.mailbox_pairs = {{"ALICE", "alice"}, {"someone", "else"}, {"alice", "postmaster"}};
  c.scanners.push_back({1, 0, "ok", "", "", "", "-r", "/usr/bin/clamscan", "ClamAV"});
  std::string error;
  ASSERT_TRUE(c.Save(error)) << error;
  EXPECT_EQ(TempRoot::Read(c.ConfigPath()),
            TempRoot::Read(test::DataFile("config/saved-layout.dat")));
  EXPECT_TRUE(fs::is_directory(root / "popstore/0"));
}

TEST(GatewayConfigSave, EntriesThatWouldEndTheirListAreLeftOut) {
  TempRoot root;
  CGatewayConfig c(root.Path());
  c.local_domains = {"a.test", "", "b.test"};
  c.pop_accounts = {{}, {}};
  c.pop_accounts[1].Account = "kept";
  c.scanners = {{}, {}};
  c.scanners[1].Title = "kept";
  c.rules.resize(2);
  c.rules[0].Enabled = -1;
  std::string error;
  ASSERT_TRUE(c.Save(error)) << error;
  CGatewayConfig loaded(root.Path());
  loaded.Load();
  EXPECT_EQ(loaded.local_domains, (std::vector<std::string>{"a.test", "b.test"}));
  ASSERT_EQ(loaded.pop_accounts.size(), 1u);
  EXPECT_EQ(loaded.pop_accounts[0].Account, "kept");
  ASSERT_EQ(loaded.scanners.size(), 1u);
  EXPECT_EQ(loaded.scanners[0].Title, "kept");
  EXPECT_EQ(loaded.rules.size(), 2u);
}

TEST(GatewayConfigSave, FailureIsReported) {
  TempRoot root;
  CGatewayConfig c(root / "missing/folder");
  std::string error;
  EXPECT_FALSE(c.Save(error));
  EXPECT_NE(error.find("tarnhold.dat"), std::string::npos);
}

TEST(GatewayConfig, CopiesAreIndependent) {
  TempRoot root;
  CGatewayConfig original = EveryFieldSet(root.Path());
  CGatewayConfig copy = original;
  copy.cluster_hosts.erase(copy.cluster_hosts.begin());
  copy.rules[0].Comment = "changed";
  EXPECT_EQ(original.cluster_hosts.size(), 2u);
  EXPECT_EQ(original.rules[0].Comment, "rule 0 key 50");
}

}  // namespace
}  // namespace tarnhold
