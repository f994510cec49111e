#include "sweeper/rule_walk.h"

#include <gtest/gtest.h>

#include "tests/sweeper/sweep_fixture.h"

namespace tarnhold {
namespace {

using test::SweepFixture;
using Lines = std::vector<std::string>;

TEST(RuleWalk, ContinuingRuleThenStoppingRule) {
  SweepFixture f;
  CRuleRecord reply = SweepFixture::AllMailRule();
  reply.BlockEverything = 1;
  reply.ReplyOnAction = 1;
  reply.ReplyFile = "reply.txt";
  CRuleRecord quarantine = SweepFixture::AllMailRule();
  quarantine.BlockEverything = 1;
  quarantine.Action = kActionQuarantine;
  quarantine.QuarantineArea = "content";
  f.config.rules = {reply, quarantine};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  EXPECT_EQ(f.lines,
            (Lines{"verfying rule 0", "rule 0 applies - All Mail", "rule 0 - actioned always",
                   "sending reply from admin@example.com to eve@outside.test", "reply sent",
                   "rule 0 ... will continue checking further", "verfying rule 1",
                   "rule 1 applies - All Mail", "rule 1 - actioned always",
                   "rule 1 - skipping further checks and executing action directives"}));
  EXPECT_EQ(ctx.state.stopping_rule, 1);
  EXPECT_EQ(f.effects.calls,
            (Lines{"mail to=eve@outside.test from=admin@example.com subject=RE: Your message to "
                   "bob@example.com from Mon, 7 Dec 2026 10:00:00 +0000 text= file=reply.txt"}));
}

TEST(RuleWalk, DirectionLabels) {
  struct Case {
    int incoming, outgoing;
    const char* recipient;
    const char* want;  // "" when the rule is not selected
  } cases[] = {
      {1, 0, "bob@EXAMPLE.COM", "Incoming Mail"},
      {1, 0, "bob@elsewhere.test", ""},
      {0, 1, "bob@elsewhere.test", "Outgoing Mail"},
      {0, 1, "bob@example.com", ""},
      {1, 1, "bob@example.com", "All Mail"},
      {1, 1, "bob@elsewhere.test", "All Mail"},
      {0, 0, "bob@example.com", ""},
      {1, 0, "example.com", "Incoming Mail"},  // no "@": the whole text is the domain
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.recipient) + " " + std::to_string(c.incoming) +
                 std::to_string(c.outgoing));
    SweepFixture f;
    CRuleRecord r;
    r.Enabled = 1;
    r.AllIncoming = c.incoming;
    r.AllOutgoing = c.outgoing;
    f.config.rules = {r};
    f.message.envelope_recipient = c.recipient;
    RuleContext ctx = f.Context();
    std::string label;
    EXPECT_EQ(RuleApplies(0, r, ctx, label), *c.want != '\0');
    if (*c.want) {
      EXPECT_EQ(label, c.want);
    }
  }
}

TEST(RuleWalk, DisabledRulesLeaveNoLine) {
  SweepFixture f;
  CRuleRecord off = SweepFixture::AllMailRule();
  off.Enabled = 0;
  CRuleRecord odd = SweepFixture::AllMailRule();
  odd.Enabled = 2;  // on only when exactly 1
  CRuleRecord on = SweepFixture::AllMailRule();
  f.config.rules = {off, odd, on};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  EXPECT_EQ(f.lines, (Lines{"verfying rule 2", "rule 2 applies - All Mail"}));
  EXPECT_EQ(ctx.state.stopping_rule, -1);
}

TEST(RuleWalk, FromToLookup) {
  SweepFixture f;
  auto from = f.root.Write("lists/from", "*@outside.test\n");
  auto to = f.root.Write("lists/to", "bob@example.com\n");
  auto nobody = f.root.Write("lists/none", "nobody@x.test\n");
  struct Case {
    int incoming;
    std::filesystem::path from, to;
    Lines want;
  } cases[] = {
      {0,
       from,
       to,
       {"verfying rule 0", "checking from-to lookup", "ok FROM", "ok TO",
        "rule 0 applies - Sender+Recipient match"}},
      {1,
       from,
       to,
       {"verfying rule 0", "checking from-to lookup", "ok FROM", "ok TO",
        "rule 0 applies - Incoming Mail and Sender+Recipient match"}},
      {0, from, nobody, {"verfying rule 0", "checking from-to lookup", "ok FROM"}},
      {0, nobody, to, {"verfying rule 0", "checking from-to lookup"}},
      // The direction selects the rule even when the lists do not match.
      {1,
       nobody,
       to,
       {"verfying rule 0", "checking from-to lookup", "rule 0 applies - Incoming Mail"}},
      {0, f.root / "lists/missing", to, {"verfying rule 0", "checking from-to lookup"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want.back());
    SweepFixture g;
    CRuleRecord r;
    r.Enabled = 1;
    r.AllIncoming = c.incoming;
    r.AllFromTo = 1;
    r.From = c.from.string();
    r.To = c.to.string();
    g.config.rules = {r};
    RuleContext ctx = g.Context();
    WalkRules(ctx);
    EXPECT_EQ(g.lines, c.want);
  }
}

TEST(RuleWalk, ExceptionLists) {
  SweepFixture f;
  auto senders = f.root.Write("lists/senders", "eve@outside.test\n");
  auto recipients = f.root.Write("lists/recipients", "*@example.com\n");

  // A rule that is not selected still reports a sender found in its exception list.
  CRuleRecord unselected;
  unselected.Enabled = 1;
  unselected.AllOutgoing = 1;  // the recipient is local
  unselected.EnableSenderExceptionList = 1;
  unselected.SenderExceptionList = senders.string();
  CRuleRecord recipient_excepted = SweepFixture::AllMailRule();
  recipient_excepted.EnableRecipientExceptionList = 1;
  recipient_excepted.RecipientExceptionList = recipients.string();
  recipient_excepted.BlockEverything = 1;
  recipient_excepted.Action = kActionDelete;
  CRuleRecord no_match = SweepFixture::AllMailRule();
  no_match.EnableSenderExceptionList = 1;
  no_match.SenderExceptionList = (f.root / "lists/missing").string();
  no_match.EnableRecipientExceptionList = 1;
  no_match.RecipientExceptionList = (f.root / "lists/missing").string();
  f.config.rules = {unselected, recipient_excepted, no_match};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  EXPECT_EQ(f.lines, (Lines{"verfying rule 0", "checking sender exception list",
                            "rule 0 - skipping, sender found in the exception list",
                            "verfying rule 1", "checking recipient exception list",
                            "rule 1 - skipping, recipient found in the exception list",
                            "verfying rule 2", "checking sender exception list",
                            "checking recipient exception list", "rule 2 applies - All Mail"}));
  EXPECT_EQ(ctx.state.stopping_rule, -1);
}

TEST(RuleWalk, TearRuleEndsTheWalk) {
  SweepFixture f;
  CRuleRecord tear = SweepFixture::AllMailRule();
  tear.Tear = 1;
  tear.BlockKeywords = "nothing-like-this";
  tear.ScanBody = 1;
  CRuleRecord later = SweepFixture::AllMailRule();
  later.BlockEverything = 1;
  later.Action = kActionDelete;
  f.config.rules = {tear, later};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  EXPECT_EQ(f.lines, (Lines{"verfying rule 0", "rule 0 applies - All Mail",
                            "rule 0 - TEAR RULE, no further rules are checked"}));
  EXPECT_EQ(ctx.state.stopping_rule, -1);
  EXPECT_TRUE(ctx.state.torn);

  // A TEAR rule that does not apply leaves the walk going.
  SweepFixture g;
  tear.AllIncoming = 0;
  tear.AllOutgoing = 1;
  g.config.rules = {tear, later};
  RuleContext ctx2 = g.Context();
  WalkRules(ctx2);
  EXPECT_EQ(ctx2.state.stopping_rule, 1);
}

TEST(RuleWalk, OffPeakActionDefers) {
  SweepFixture f;
  CRuleRecord defer = SweepFixture::AllMailRule();
  defer.BlockEverything = 1;
  defer.Action = kActionOffPeak;
  CRuleRecord plain = SweepFixture::AllMailRule();
  plain.BlockEverything = 1;
  f.config.rules = {plain, defer, plain};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  EXPECT_EQ(ctx.state.stopping_rule, -1);
  EXPECT_TRUE(ctx.state.defer);
  EXPECT_EQ(ctx.state.defer_rule, 1);
  EXPECT_EQ(f.lines.back(), "rule 2 ... will continue checking further");
}

TEST(RuleWalk, RewritingActionStopsOnlyWithSomethingToDo) {
  SweepFixture f;
  CRuleRecord strip = SweepFixture::AllMailRule();
  strip.BlockEverything = 1;
  strip.Action = kActionRemoveAllAttachments;
  f.config.rules = {strip};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  EXPECT_EQ(f.lines.back(), "rule 0 ... will continue checking further");
  EXPECT_EQ(ctx.state.stopping_rule, -1);

  SweepFixture g;
  g.config.rules = {strip};
  g.message.attachments = {g.root / "temp/x/0/a.pdf"};
  RuleContext ctx2 = g.Context();
  WalkRules(ctx2);
  EXPECT_EQ(g.lines.back(), "rule 0 - skipping further checks and executing action directives");
  EXPECT_EQ(ctx2.state.stopping_rule, 0);
}

}  // namespace
}  // namespace tarnhold
