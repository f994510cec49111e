#include "admin/config_writer.h"

#include <gtest/gtest.h>

#include "tests/admin/admin_test_support.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::AdminFixture;
using test::TempRoot;

CGatewayConfig GatewayRead(const TempRoot& root) {
  CGatewayConfig config(root.Path());
  (void)config.Load();
  return config;
}

// Every rule field gets a value of its own, so a key written under the wrong name or lost on
// the way shows as a difference.
CRuleRecord DistinctRule(int seed) {
  CRuleRecord rule;
  int n = seed * 100;
  for (const RuleKey& k : RuleKeys()) {
    ++n;
    if (k.number)
      rule.*k.number = k.key == "Enabled" ? 1 : n;
    else
      rule.*k.text = std::string(k.key) + "-" + std::to_string(n);
  }
  return rule;
}

TEST(ConfigWriter, WhatThadminSavesTheGatewayReadsBackUnchanged) {
  AdminFixture f;
  CGatewayConfig& c = f.S().Config();
  c.AdminEmail = "admin@example.test";
  c.AdultKeywords = " padded value ";  // blanks at the ends must survive the reader's trim
  c.InboundGatewayType = 1;
  c.SMTPInPort = 2525;
  c.POP3DownloadInterval = 7;
  c.DialTUE = 1;
  c.OffPeakToMM = 45;
  c.local_domains = {"a.test", "b.test"};
  c.dial_times = {"08:00", "17:30"};
  c.rules = {DistinctRule(1), DistinctRule(2)};
  c.rules[1].QuarantineArea = "junk";
  c.rules[0].QuarantineArea = "virus";
  c.rules[0].AllFromTo = c.rules[1].AllFromTo = 0;
  c.rules[0].EnableSenderExceptionList = c.rules[1].EnableSenderExceptionList = 0;
  c.rules[0].EnableRecipientExceptionList = c.rules[1].EnableRecipientExceptionList = 0;
  c.pop_accounts = {{1, "def@a.test", "for", 1, 3, "acct", "pop.test:1110", "pw"}};
  c.local_users = {{1, "", "", 0, 1, "alice", "", "secret"}, {0, "", "", 0, 1, "bob", "", "x"}};
  c.mailbox_pairs = {{"alice", "alice"}, {"alice", "sales"}, {"bob", "bob"}};
  c.scanners = {{1, 0, "OK", "FOUND", "a", "b", "--scan temp", "/bin/true", "Scanner"}};

  ASSERT_EQ(f.S().Ok({}), SaveOutcome::Saved) << f.boxes.LastText();
  CGatewayConfig read = GatewayRead(f.root);
  EXPECT_EQ(read, c);
  EXPECT_TRUE(fs::is_directory(f.root / "popstore/1"));
}

TEST(ConfigWriter, HandWrittenFileLosesNothingTheGatewayReads) {
  const std::string hand =
      "; written by hand\n"
      "[Defaults]\n"
      "AdminEmail = root@example.test\n"
      "FutureSetting=\"  kept  \"\n"
      "LocalDomain0=Example.TEST\n"
      "LocalDomain2=hidden-after-gap.test\n"
      "[Rule0]\nEnabled=1\nComment=only rule\nUnknownRuleKey=lost\n"
      "[Rule2]\nEnabled=1\nComment=behind a gap\n"
      "[Extra]\n; comment\nName=value with = sign\n";
  AdminFixture f(hand);
  CGatewayConfig before = GatewayRead(f.root);
  ASSERT_EQ(f.S().Ok({}), SaveOutcome::Saved) << f.boxes.LastText();

  EXPECT_EQ(GatewayRead(f.root), before);
  ProfileFile saved;
  ASSERT_TRUE(saved.Load(f.root / "tarnhold.dat"));
  EXPECT_EQ(saved.GetString("Defaults", "FutureSetting"), "  kept  ");
  EXPECT_EQ(saved.GetString("Extra", "Name"), "value with = sign");
  // What the gateway never saw stays unseen: the rule behind the gap and the domain after it.
  EXPECT_FALSE(saved.HasSection("Rule2"));
  EXPECT_FALSE(saved.HasKey("Defaults", "LocalDomain2"));
}

TEST(ConfigWriter, DeletedRulesDoNotComeBackFromTheOldFile) {
  AdminFixture f(std::string(test::kOneRule) + "[Rule1]\nEnabled=1\nComment=second\n");
  ASSERT_EQ(f.S().DeleteRule({"Rule 1 - second", ""}), Handled::Done);
  ASSERT_EQ(f.S().Ok({}), SaveOutcome::Saved) << f.boxes.LastText();
  EXPECT_EQ(GatewayRead(f.root).rules.size(), 1u);
}

TEST(DurableWrite, AFailedWriteLeavesTheOldFileAndNoLeftovers) {
  TempRoot root;
  fs::path target = root.Write("list.dat", "old\n");
  fs::create_directory(root / "blocked");
  std::string error;
  // A folder in the way of the rename: the write must fail without touching anything.
  EXPECT_EQ(WriteDurably(root / "blocked", "new\n", error), WriteResult::Failed);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(WriteDurably(root / "missing/list.dat", "new\n", error), WriteResult::Failed);
  EXPECT_EQ(TempRoot::Read(target), "old\n");
  int files = 0;
  for (const auto& e : fs::directory_iterator(root.Path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

}  // namespace
}  // namespace tarnhold
