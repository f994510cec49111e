#include "sweeper/rule_checks.h"

#include <gtest/gtest.h>

#include "sweeper/rule_walk.h"
#include "tests/sweeper/sweep_fixture.h"

namespace tarnhold {
namespace {

using test::SweepFixture;
using Lines = std::vector<std::string>;

// Runs the checks of `rule` as rule 0; returns whether it triggered.
bool Check(SweepFixture& f, const CRuleRecord& rule) {
  f.config.rules = {rule};
  RuleContext ctx = f.Context();
  return RunChecks(0, rule, ctx);
}

TEST(SpamCheck, WhenTheTestRunsAndWhatClearsIt) {
  struct Case {
    const char* name;
    std::string to, cc, aliases, spamfree;
    bool want_spam;
  } cases[] = {
      {"recipient named in To", "bob@example.com", "", "", "", false},
      {"recipient named in Cc", "alice@x.test", "bob@example.com", "", "", false},
      {"local domain in To", "team@example.com", "", "", "", false},
      {"local domain in Cc", "x@y.test", "z@example.com", "", "", false},
      {"alias domain", "list@corp.test", "", "*@corp.test\n", "", false},
      {"plain alias", "sales@partner.test", "", "sales@partner.test\n", "", false},
      {"alias without line end ignored", "sales@partner.test", "", "sales@partner.test", "", true},
      {"sender in spamfree.dat", "x@y.test", "", "", "*@outside.test\n", false},
      {"nothing clears it", "x@y.test", "", "", "friend@else.test\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SweepFixture f;
    f.message.to = c.to;
    f.message.cc = c.cc;
    f.config.local_domains = {"example.com"};
    if (!c.aliases.empty()) f.root.Write("aliases.dat", c.aliases);
    if (!c.spamfree.empty()) f.root.Write("spamfree.dat", c.spamfree);
    f.message.envelope_recipient = "bob@example.com";
    CRuleRecord r = SweepFixture::AllMailRule();
    r.StopSPAM = 1;
    f.config.rules = {r};
    RuleContext ctx = f.Context();
    EXPECT_EQ(RunChecks(0, r, ctx), c.want_spam);
    EXPECT_EQ(ctx.state.spam, c.want_spam);
    EXPECT_EQ(f.lines, c.want_spam ? Lines{"rule 0 - message is SPAM"} : Lines{});
  }
}

TEST(SpamCheck, SpamReplyUsesTheSpamAddress) {
  SweepFixture f;
  f.message.to = "undisclosed-recipients:;";  // bob only in Bcc
  CRuleRecord r = SweepFixture::AllMailRule();
  r.StopSPAM = 1;
  r.ReplyOnAction = 1;
  r.ReplyFile = "spam.txt";
  f.config.rules = {r};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  EXPECT_EQ(f.lines[2], "rule 0 - message is SPAM");
  EXPECT_EQ(f.lines[3], "sending reply from spam@example.com to eve@outside.test");
  ASSERT_EQ(f.effects.calls.size(), 1u);
  EXPECT_NE(f.effects.calls[0].find("from=spam@example.com"), std::string::npos);
}

TEST(SpamCheck, NotSpamFlagHoldsForLaterRules) {
  SweepFixture f;
  f.message.to = "team@example.com";
  CRuleRecord r = SweepFixture::AllMailRule();
  r.StopSPAM = 1;
  f.config.rules = {r, r};
  RuleContext ctx = f.Context();
  EXPECT_FALSE(RunChecks(0, r, ctx));
  EXPECT_TRUE(ctx.state.not_spam);
  f.config.local_domains.clear();  // the flag alone now keeps the second rule quiet
  EXPECT_FALSE(RunChecks(1, r, ctx));
}

TEST(Checks, LinesOfTheFiringCheck) {
  SweepFixture f;
  auto exe = f.root.Write("temp/t/0/Setup.EXE", "MZ");
  auto txt = f.root.Write("temp/t/1/readme.txt", "hello");
  auto html = f.root.Write("temp/t/2/th_HTML_body.htm", "<html>");
  auto long_name = f.root.Write("temp/t/3/abcdefghi.txt", "x");  // 13 characters
  struct Case {
    const char* name;
    std::function<void(CRuleRecord&, MessageFacts&)> set;
    Lines want;  // empty: does not trigger
  } cases[] = {
      {"file types",
       [&](auto& r, auto& m) {
         r.BlockFileTypes = "exe,com";
         m.attachments = {exe};
       },
       {"rule 0 - triggered on file types"}},
      {"file types miss",
       [&](auto& r, auto& m) {
         r.BlockFileTypes = "exe,com";
         m.attachments = {txt};
       },
       {}},
      {"trailing comma fits all",
       [&](auto& r, auto& m) {
         r.BlockFileTypes = "exe,com,";
         m.attachments = {txt};
       },
       {"rule 0 - triggered on file types"}},
      {"all attachments with only the HTML body",
       [&](auto& r, auto& m) {
         r.BlockAllAttachments = 1;
         m.attachments = {html};
       },
       {"rule 0 - triggred on ALL file types"}},
      {"all attachments, none", [&](auto& r, auto&) { r.BlockAllAttachments = 1; }, {}},
      {"passive scan",
       [&](auto& r, auto& m) {
         r.PassiveVirusScan = 1;
         m.attachment_vanished = true;
       },
       {"rule 0 - passive virus scan denied access to file attachment"}},
      {"total size at the limit",
       [&](auto& r, auto& m) {
         r.EnableMaxSizeAnyTotal = 1;
         r.MaxSizeAnyTotal = 100;
         m.item_size = 102400;
       },
       {}},
      {"total size one byte over",
       [&](auto& r, auto& m) {
         r.EnableMaxSizeAnyTotal = 1;
         r.MaxSizeAnyTotal = 100;
         m.item_size = 102401;
       },
       {"rule limits the total size"}},
      {"file name length",
       [&](auto& r, auto& m) {
         r.EnableCheckAnyFileNameLength = 1;
         r.MaxAnyFileNameLength = 8;
         m.attachments = {html, long_name, txt};
       },
       {"file name length exceeds the allowed length",
        "file name length exceeds the allowed length"}},
      {"HTML body name never too long",
       [&](auto& r, auto& m) {
         r.EnableCheckAnyFileNameLength = 1;
         r.MaxAnyFileNameLength = 8;
         m.attachments = {html};
       },
       {}},
      {"MIME type",
       [&](auto& r, auto& m) {
         r.BlockMIMEContentType = 1;
         r.MIMEContentTypeKeyword = "VIDEO";
         m.content_types = {"video/mpeg"};
       },
       {"rule 0 - contains MIME Content-Type VIDEO"}},
      {"keyword in body",
       [&](auto& r, auto& m) {
         r.BlockKeywords = "secret";
         r.ScanBody = 1;
         m.body = "TOP SECRET";
       },
       {"rule 0 - keyword content identified"}},
      {"keyword only in body, subject scanned",
       [&](auto& r, auto& m) {
         r.BlockKeywords = "secret";
         r.ScanSubject = 1;
         m.body = "TOP SECRET";
       },
       {}},
      {"encrypted zip",
       [&](auto& r, auto& m) {
         r.BlockPasswordZIPs = 1;
         m.zip_encrypted = true;
       },
       {"rule 0 - detected an encrypted ZIP archive"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SweepFixture g;
    CRuleRecord r = SweepFixture::AllMailRule();
    g.message.attachments.clear();
    c.set(r, g.message);
    EXPECT_EQ(Check(g, r), !c.want.empty());
    EXPECT_EQ(g.lines, c.want);
  }
}

TEST(Checks, AdultKeywords) {
  SweepFixture f;
  f.message.subject = "hot stuff inside";
  CRuleRecord r = SweepFixture::AllMailRule();
  r.BlockAdult = 1;
  r.ScanSubject = 1;
  f.config.AdultKeywords = "";
  EXPECT_FALSE(Check(f, r));  // no keywords configured: nothing is adult content
  f.config.AdultKeywords = "xxx,HOT";
  EXPECT_TRUE(Check(f, r));
  EXPECT_EQ(f.lines, (Lines{"rule 0 - adult content identified"}));
}

TEST(Checks, SizeLimitsByType) {
  SweepFixture f;
  auto big_exe = f.root.Write("temp/t/0/big.exe", std::string(3000, 'x'));
  auto big_txt = f.root.Write("temp/t/1/big.txt", std::string(3000, 'x'));
  auto small_exe = f.root.Write("temp/t/2/small.exe", "x");
  CRuleRecord r = SweepFixture::AllMailRule();
  r.SizeLimitExtList = "exe";
  r.EnableMaxSizeExtList = 1;
  r.MaxSizeExtList = 2;
  r.EnableMaxSizeExtListCompressed = 1;
  r.MaxSizeExtListCompressed = 1;

  f.message.attachments = {big_exe, big_txt, small_exe};
  EXPECT_TRUE(Check(f, r));
  EXPECT_EQ(f.lines, (Lines{"file size limit exceeded"}));  // only the listed type counts

  SweepFixture g;
  g.message.attachments = {big_txt, small_exe};
  EXPECT_FALSE(Check(g, r));

  SweepFixture h;  // with an archive the whole message is measured
  h.message.attachments = {small_exe};
  h.message.has_zip = true;
  h.message.item_size = 1025;
  EXPECT_TRUE(Check(h, r));
  EXPECT_EQ(h.lines, (Lines{"compressed file size limit exceeded"}));
  h.lines.clear();
  h.message.item_size = 1024;
  EXPECT_FALSE(Check(h, r));
  EXPECT_TRUE(h.lines.empty());
}

TEST(Checks, SourceIpLists) {
  SweepFixture f;
  auto block = f.root.Write("lists/block", "10.1.*\n");
  auto allow = f.root.Write("lists/allow", "127.0.0.1\n");
  CRuleRecord r = SweepFixture::AllMailRule();
  r.BlockIPInList = 1;
  r.IPInList = block.string();
  f.message.source_ip = "10.1.2.3";
  EXPECT_TRUE(Check(f, r));
  EXPECT_EQ(f.lines, (Lines{"rule 0 - source IP 10.1.2.3 is in the block list"}));

  SweepFixture g;
  CRuleRecord a = SweepFixture::AllMailRule();
  a.BlockIPNotInList = 1;
  a.IPNotInList = allow.string();
  g.message.source_ip = "";
  EXPECT_TRUE(Check(g, a));
  EXPECT_EQ(g.lines, (Lines{"rule 0 - source IP  NOT found the allowed list"}));
  SweepFixture h;
  h.message.source_ip = "127.0.0.1";
  EXPECT_FALSE(Check(h, a));
}

TEST(Checks, FirstFiringCheckEndsTheRule) {
  SweepFixture f;
  CRuleRecord r = SweepFixture::AllMailRule();
  r.BlockAllAttachments = 1;
  r.BlockKeywords = "hello";
  r.ScanBody = 1;
  f.message.attachments = {f.root.Write("temp/t/0/a.txt", "x")};
  EXPECT_TRUE(Check(f, r));
  EXPECT_EQ(f.lines, (Lines{"rule 0 - triggred on ALL file types"}));
}

TEST(Checks, VirusCheckHasItsPlaceAfterSpam) {
  SweepFixture f;
  std::vector<int> seen;
  CRuleRecord r = SweepFixture::AllMailRule();
  r.VirusScan = 1;
  r.PassiveVirusScan = 1;
  f.message.attachment_vanished = true;
  f.config.rules = {r};
  RuleContext ctx = f.Context();
  EXPECT_TRUE(RunChecks(0, r, ctx));  // no scanner: check 2 is passed over
  EXPECT_EQ(f.lines, (Lines{"rule 0 - passive virus scan denied access to file attachment"}));
  ctx.virus_check = [&](int rule, const CRuleRecord&, RuleContext&) {
    seen.push_back(rule);
    return true;
  };
  f.lines.clear();
  EXPECT_TRUE(RunChecks(0, r, ctx));
  EXPECT_EQ(seen, (std::vector<int>{0}));
  EXPECT_TRUE(f.lines.empty());
}

}  // namespace
}  // namespace tarnhold
