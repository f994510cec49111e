#include "transport/smtp_reply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/smtp_dialogue.h"

namespace tarnhold {
namespace {

using Status = SmtpReplyStatus;

SmtpReply ParseBytewise(std::string_view text, SmtpReplyLimits limits = {}) {
  SmtpReplyParser parser(limits);
  for (char c : text) {
    if (parser.Done()) break;
    parser.Feed(std::string_view(&c, 1));
  }
  return parser.Finish();
}

TEST(SmtpReply, ParsedWholeAndByteByByte) {
  struct Case {
    std::string text;
    Status status;
    int code;
    std::vector<std::string> lines;
  } cases[] = {
      {"250 OK\r\n", Status::Complete, 250, {"250 OK"}},
      {"250\r\n", Status::Complete, 250, {"250"}},
      {"220 lf only\n", Status::Complete, 220, {"220 lf only"}},
      {"250-first\r\n250-second\r\n250 last\r\n",
       Status::Complete,
       250,
       {"250-first", "250-second", "250 last"}},
      // A dash and then a space right after the code also goes on.
      {"250- hello there\r\n250 OK\r\n", Status::Complete, 250, {"250- hello there", "250 OK"}},
      // The last line's code counts.
      {"250-a\r\n550 b\r\n", Status::Complete, 550, {"250-a", "550 b"}},
      {"354 Start mail input\r\n", Status::Complete, 354, {"354 Start mail input"}},
      // No three-digit code: complete, but with code 0, which no step accepts.
      {"hello\r\n", Status::Complete, 0, {"hello"}},
      {"25 short\r\n", Status::Complete, 0, {"25 short"}},
      {"\r\n", Status::Complete, 0, {""}},
      // Control bytes never reach a log line as they came; other bytes stay.
      {std::string("250 a\0b\x1b[2J\tc\xff\r\n", 16),
       Status::Complete,
       250,
       {"250 a?b?[2J\tc\xff"}},
      {"250 a\rb\r\n", Status::Complete, 250, {"250 a?b"}},
      // Cut off by a close: the partial line is kept for the log, the code is 0.
      {"250-more to come\r\n", Status::Closed, 0, {"250-more to come"}},
      {"421 going away", Status::Closed, 0, {"421 going away"}},
      {"", Status::Closed, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    for (const SmtpReply& got : {ParseSmtpReply(c.text), ParseBytewise(c.text)}) {
      EXPECT_EQ(got.status, c.status);
      EXPECT_EQ(got.code, c.code);
      EXPECT_EQ(got.lines, c.lines);
    }
  }
}

TEST(SmtpReply, PositiveAndIntermediate) {
  struct Case {
    const char* text;
    bool positive;
    bool intermediate;
  } cases[] = {
      {"200 a\r\n", true, false},  {"299 a\r\n", true, false},  {"199 a\r\n", false, false},
      {"300 a\r\n", false, true},  {"354 a\r\n", false, true},  {"399 a\r\n", false, true},
      {"400 a\r\n", false, false}, {"550 a\r\n", false, false}, {"250-a\r\n", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SmtpReply got = ParseSmtpReply(c.text);
    EXPECT_EQ(got.IsPositive(), c.positive);
    EXPECT_EQ(got.IsIntermediate(), c.intermediate);
  }
}

TEST(SmtpReply, StopsAfterTheLastLine) {
  SmtpReplyParser parser;
  std::string two = "250-a\r\n250 b\r\n354 next reply\r\n";
  EXPECT_EQ(parser.Feed(two), 14u);
  ASSERT_TRUE(parser.Done());
  EXPECT_EQ(parser.Finish().lines.size(), 2u);
  // The parser starts over for the next reply.
  EXPECT_EQ(parser.Feed(std::string_view(two).substr(14)), 16u);
  EXPECT_EQ(parser.Finish().code, 354);
}

TEST(SmtpReply, ContinueTakesAFurtherLine) {
  SmtpReplyParser parser;
  parser.Feed("220 first greeting\r\n");
  ASSERT_TRUE(parser.Done());
  parser.Continue();
  EXPECT_FALSE(parser.Done());
  parser.Feed("250 second\r\n");
  SmtpReply got = parser.Finish();
  EXPECT_EQ(got.status, Status::Complete);
  EXPECT_EQ(got.code, 250);
  EXPECT_EQ(got.lines.size(), 2u);
}

TEST(SmtpReplyLimits, LongLineIsCutNotSplit) {
  std::string text = "250 " + std::string(2000, 'x') + "\r\n";
  for (const SmtpReply& got : {ParseSmtpReply(text), ParseBytewise(text)}) {
    EXPECT_EQ(got.status, Status::Complete);
    EXPECT_EQ(got.code, 250);
    ASSERT_EQ(got.lines.size(), 1u);
    EXPECT_EQ(got.lines[0].size(), 510u);
  }
  // A CR that lies past the limit is still taken as the line end, not as text.
  SmtpReplyLimits small{.line_chars = 6};
  EXPECT_EQ(ParseSmtpReply("250 ab\r\n", small).lines[0], "250 ab");
  EXPECT_EQ(ParseSmtpReply("250 abc\r\n", small).lines[0], "250 ab");
}

TEST(SmtpReplyLimits, EndlessReplyEndsAsTooLong) {
  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += "250-again\r\n";
  SmtpReplyParser parser;
  std::size_t used = parser.Feed(lines);
  EXPECT_TRUE(parser.Done());
  EXPECT_EQ(used, 100u * 11u);
  SmtpReply got = parser.Finish();
  EXPECT_EQ(got.status, Status::TooLong);
  EXPECT_EQ(got.code, 0);
  EXPECT_FALSE(got.IsPositive());
  EXPECT_EQ(ParseBytewise(lines).status, Status::TooLong);
}

TEST(SmtpReplyLimits, EndlessLineEndsAsTooLong) {
  std::string endless(100000, 'y');
  SmtpReplyParser parser;
  EXPECT_EQ(parser.Feed(endless), 64u * 1024u);
  EXPECT_TRUE(parser.Done());
  EXPECT_EQ(parser.Finish().status, Status::TooLong);
}

TEST(SmtpReplyLimits, ContinuePastTheLineLimitIsTooLong) {
  SmtpReplyParser parser(SmtpReplyLimits{.max_lines = 1});
  parser.Feed("250 a\r\n");
  parser.Continue();
  EXPECT_TRUE(parser.Done());
  EXPECT_EQ(parser.Finish().status, Status::TooLong);
}

TEST(SmtpDialogue, EachStepReactsToItsReply) {
  struct Case {
    SmtpStep step;
    const char* reply;
    SmtpStep want;
  } cases[] = {
      {SmtpStep::Greeting, "220 ready\r\n", SmtpStep::Helo},
      {SmtpStep::Greeting, "554 go away\r\n", SmtpStep::Helo},
      {SmtpStep::Greeting, "220-never ends\r\n", SmtpStep::Refused},
      {SmtpStep::Greeting, "", SmtpStep::Refused},
      {SmtpStep::Helo, "250 hello\r\n", SmtpStep::Ready},
      {SmtpStep::Helo, "250-a\r\n250 b\r\n", SmtpStep::Ready},
      {SmtpStep::Helo, "501 no\r\n", SmtpStep::Refused},
      {SmtpStep::Mail, "250 OK\r\n", SmtpStep::Rcpt},
      {SmtpStep::Mail, "451 later\r\n", SmtpStep::Refused},
      {SmtpStep::Rcpt, "251 forwarded\r\n", SmtpStep::Data},
      {SmtpStep::Rcpt, "550 unknown\r\n", SmtpStep::Refused},
      {SmtpStep::Data, "354 go ahead\r\n", SmtpStep::Message},
      {SmtpStep::Data, "350 odd\r\n", SmtpStep::Refused},
      {SmtpStep::Data, "250 odd\r\n", SmtpStep::Refused},
      {SmtpStep::Message, "250 queued\r\n", SmtpStep::Ready},
      {SmtpStep::Message, "554 rejected\r\n", SmtpStep::Refused},
      {SmtpStep::Message, "250-cut", SmtpStep::Refused},
      {SmtpStep::Ready, "250 x\r\n", SmtpStep::Ready},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(StepName(c.step)) + " <- " + c.reply);
    EXPECT_EQ(ReactToReply(c.step, ParseSmtpReply(c.reply)), c.want);
  }
  // The outbound delivery takes any 3xx as the go-ahead for its data.
  EXPECT_EQ(ReactToReply(SmtpStep::Data, ParseSmtpReply("350 odd\r\n"), DataGoAhead::Any3xx),
            SmtpStep::Message);
  EXPECT_EQ(ReactToReply(SmtpStep::Data, ParseSmtpReply("250 no\r\n"), DataGoAhead::Any3xx),
            SmtpStep::Refused);
}

}  // namespace
}  // namespace tarnhold
