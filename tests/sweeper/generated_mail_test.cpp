#include "sweeper/generated_mail.h"

#include <gtest/gtest.h>

#include "sweeper/rule_tasks.h"
#include "tests/sweeper/sweep_fixture.h"

namespace tarnhold {
namespace {

using test::SweepFixture;
using Lines = std::vector<std::string>;

constexpr const char* kReply = "reply";
constexpr const char* kRecipientNotice = "recipient notice";
constexpr const char* kAdminNotice = "admin notice";

// A rule that replies, notifies the recipient and notifies the administrator, run over
// messages that are and are not machine mail: which of the three mails go out, and the one
// line for each that does not.
TEST(GeneratedMail, RepliesAndNoticesAnswerNoMachineMail) {
  struct Case {
    const char* name;
    std::string sender;
    std::string auto_submitted;
    std::string precedence;
    Lines sent;
    Lines skipped;
  } cases[] = {
      {"person", "eve@outside.test", "", "", {kReply, kRecipientNotice, kAdminNotice}, {}},
      {"says no", "eve@outside.test", "no", "first-class", {kReply, kRecipientNotice, kAdminNotice}, {}},
      {"null sender", "", "", "", {kRecipientNotice, kAdminNotice},
       {"reply not sent: the sender is empty"}},
      {"daemon", "MAILER-DAEMON@outside.test", "", "", {kRecipientNotice, kAdminNotice},
       {"reply not sent: the sender is a mail daemon"}},
      {"postmaster", "Postmaster@outside.test", "", "", {kRecipientNotice, kAdminNotice},
       {"reply not sent: the sender is a mail daemon"}},
      {"daemon-like", "mailer-daemon-fan@outside.test", "", "", {kReply, kRecipientNotice, kAdminNotice}, {}},
      {"list", "eve@outside.test", "", "list", {kRecipientNotice, kAdminNotice},
       {"reply not sent: the message is bulk mail"}},
      {"junk", "eve@outside.test", "", "junk", {kRecipientNotice, kAdminNotice},
       {"reply not sent: the message is bulk mail"}},
      {"our own notice", "admin@example.com", "auto-generated", "", {},
       {"reply not sent: the message is auto-submitted",
        "notification to recipient not sent: the message is auto-submitted",
        "notification to the administrator not sent: the message is auto-submitted"}},
      {"vacation reply", "eve@outside.test", "auto-replied; owner-email=\"e@x\"", "", {},
       {"reply not sent: the message is auto-submitted",
        "notification to recipient not sent: the message is auto-submitted",
        "notification to the administrator not sent: the message is auto-submitted"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SweepFixture f;
    f.message.envelope_sender = c.sender;
    f.message.auto_submitted = c.auto_submitted;
    f.message.precedence = c.precedence;
    CRuleRecord r = SweepFixture::AllMailRule();
    r.ReplyOnAction = 1;
    r.NotifyRecipientOnAction = 1;
    r.NotifyAdminOnAction = 1;
    RuleContext ctx = f.Context();
    RunTasks(0, r, ctx);
    Lines sent;
    for (const std::string& call : f.effects.calls) {
      if (call.find("subject=RE: Your message") != std::string::npos) sent.push_back(kReply);
      if (call.find("subject=RE: Message to you") != std::string::npos) sent.push_back(kRecipientNotice);
      if (call.find("subject=Tarnhold Notification") != std::string::npos) sent.push_back(kAdminNotice);
    }
    EXPECT_EQ(sent, c.sent);
    Lines skipped;
    for (const std::string& line : f.lines) {
      if (line.find(" not sent: ") != std::string::npos) skipped.push_back(line);
    }
    EXPECT_EQ(skipped, c.skipped);
  }
}

TEST(GeneratedMail, HopLimitAndTheTrailOfAResubmission) {
  MessageFacts m;
  m.received = Lines(30, "Received: from a by b; date");
  EXPECT_FALSE(PastHopLimit(m, 30));
  EXPECT_TRUE(PastHopLimit(m, 29));
  EXPECT_FALSE(PastHopLimit(m, 0));  // no limit
  m.received = {"Received: from a\r\nX-Injected: 1 by b", "Received: from c"};
  EXPECT_EQ(ResubmissionTrail(m, "gw.example", "Mon, 7 Dec 2026 10:00:00 +0000"),
            (Lines{"Received: by gw.example (resubmitted); Mon, 7 Dec 2026 10:00:00 +0000",
                   "Received: from a  X-Injected: 1 by b", "Received: from c"}));
}

}  // namespace
}  // namespace tarnhold
