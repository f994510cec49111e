// The engine's effects as the final action sees them: the message file's disclaimer codes
// arrive as DisclaimerResult, so that "no HTML part" is not retried as a file error and a
// file error is not taken for "no HTML part".
#include "sweeper/live_effects.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sweeper/sweep_fixture.h"

namespace tarnhold {
namespace {

using test::SweepFixture;

// A queue item's header: the numbers, then recipient "r" and sender "s".
const std::string kHeader = std::string("\x01\x02\x03\x04", 4) + std::string(8, '\0') +
                            std::string("\x02\0\0\0r\0\x02\0\0\0s\0", 12);

const std::string kPlain = "Subject: hi\r\n\r\nHello\r\n.\r\n";
const std::string kMultipart =
    "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=\"bb\"\r\n\r\n"
    "--bb\r\nContent-Type: text/plain\r\n\r\nHello\r\n"
    "--bb\r\nContent-Type: text/html\r\n\r\n<html><body>Hi</body></html>\r\n--bb--\r\n.\r\n";

TEST(LiveEffects, DisclaimerResults) {
  struct Case {
    const char* label;
    bool html;
    const std::string& message;
    bool disclaimer_exists;
    DisclaimerResult want;
  } cases[] = {
      {"text added", false, kPlain, true, DisclaimerResult::Added},
      {"html added", true, kMultipart, true, DisclaimerResult::Added},
      {"html without an HTML part", true, kPlain, true, DisclaimerResult::NoHtmlPart},
      {"text, disclaimer file missing", false, kPlain, false, DisclaimerResult::FileError},
      {"html, disclaimer file missing", true, kMultipart, false, DisclaimerResult::FileError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    SweepFixture f;
    const auto item = f.root.Write("queproc/1", kHeader + c.message);
    const auto disclaimer = c.disclaimer_exists ? f.root.Write("text/d.txt", "Sent safely.\n")
                                                : f.root / "text/missing.txt";
    CGatewayMessageFile message(f.root / "temp");
    ASSERT_EQ(message.Read(item, ItemFormat::QueueItem), 0);
    LiveEffects effects(f.config, item, message, nullptr);
    EXPECT_EQ(
        c.html ? effects.AddHtmlDisclaimer(disclaimer) : effects.AddTextDisclaimer(disclaimer),
        c.want);
  }
}

}  // namespace
}  // namespace tarnhold
