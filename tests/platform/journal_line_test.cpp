#include "platform/journal_line.h"

#include <gtest/gtest.h>

namespace tarnhold {
namespace {

TEST(JournalLine, FailuresRankAsErrors) {
  const struct {
    const char* line;
    LinePriority want;
  } cases[] = {
      {"load: 10:00:00 OK", LinePriority::Info},
      {"SMTP Server: 10:00:01 Mail received OK from 127.0.0.1", LinePriority::Info},
      {"SMTP Server: 10:00:01 Error: cannot listen on port 25", LinePriority::Error},
      {"Content Sweeper: 10:00:02 > *fatal error while reading message 7", LinePriority::Error},
      {"SMTP Agent: 10:00:03 ERROR: cannot parse line:x", LinePriority::Error},
      {"SMTP Agent: 10:00:03 critical failrue while processing routes.txt", LinePriority::Error},
      {"thgate: the POP3 server CANNOT listen on port 110", LinePriority::Error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(PriorityOfLine(c.line), c.want);
  }
}

TEST(JournalLine, PrefixOnlyWhenAsked) {
  EXPECT_EQ(JournalLine("load: OK", LinePriority::Info, true), "<6>load: OK");
  EXPECT_EQ(JournalLine("x: Error", LinePriority::Error, true), "<3>x: Error");
  EXPECT_EQ(JournalLine("x: Error", LinePriority::Error, false), "x: Error");
}

}  // namespace
}  // namespace tarnhold
