// Encodings and nestings that would hide an attachment's name, the attachment itself or a
// keyword: each message of tests/data/sweeper/tricks/ goes through the real message reader
// and the rule walk, under a file-type rule and a keyword rule, as the sweeper runs them.
#include <gtest/gtest.h>

#include <algorithm>

#include "message/gateway_message_file.h"
#include "sweeper/message_facts.h"
#include "sweeper/rule_walk.h"
#include "tests/sweeper/sweep_fixture.h"

namespace tarnhold {
namespace {

namespace fs = std::filesystem;
using test::SweepFixture;

constexpr int kPassed = -1;
constexpr int kFileTypeRule = 0;
constexpr int kKeywordRule = 1;

struct Walked {
  int stopping_rule = kPassed;
  std::vector<std::string> lines;
  MessageFacts facts;
};

// Reads the trick as the sweeper reads an item and walks the two rules over it.
Walked Walk(const std::string& name) {
  SweepFixture f;
  const fs::path copy = f.root / name;
  fs::copy_file(test::DataFile("sweeper/tricks/" + name), copy);
  CGatewayMessageFile file(f.root / "temp");
  EXPECT_EQ(file.Read(copy, ItemFormat::PlainMessage), 0);
  f.message = FactsOf(file, "192.0.2.1", 1000);
  f.message.envelope_recipient = "bob@example.com";
  f.message.envelope_sender = "eve@outside.test";
  CRuleRecord file_types = SweepFixture::AllMailRule();
  file_types.BlockFileTypes = "exe";
  file_types.Action = kActionQuarantine;
  CRuleRecord keywords = SweepFixture::AllMailRule();
  keywords.BlockKeywords = "casino";
  keywords.ScanSubject = 1;
  keywords.ScanBody = 1;
  keywords.Action = kActionQuarantine;
  f.config.rules = {file_types, keywords};
  RuleContext ctx = f.Context();
  WalkRules(ctx);
  return {ctx.state.stopping_rule, f.lines, f.message};
}

TEST(Evasion, EveryTrickIsCaughtAndTheControlPasses) {
  const struct {
    const char* file;
    int want;
  } cases[] = {
      {"control.eml", kPassed},
      {"name-rfc2047-b.eml", kFileTypeRule},
      {"name-rfc2047-q.eml", kFileTypeRule},
      {"name-rfc2047-split.eml", kFileTypeRule},
      {"filename-rfc2047-b.eml", kFileTypeRule},
      {"name-rfc2231.eml", kFileTypeRule},
      {"name-rfc2231-continued.eml", kFileTypeRule},
      {"filename-rfc2231.eml", kFileTypeRule},
      {"filename-rfc2231-continued.eml", kFileTypeRule},
      {"disposition-name-wins.eml", kFileTypeRule},
      {"name-trailing-dot.eml", kFileTypeRule},
      {"name-long.eml", kFileTypeRule},
      {"decoy-content-type.eml", kFileTypeRule},
      {"nested-multipart.eml", kFileTypeRule},
      {"nested-alternative.eml", kFileTypeRule},
      {"attached-message.eml", kFileTypeRule},
      {"attached-message-base64-lf.eml", kFileTypeRule},
      {"single-part-message.eml", kFileTypeRule},
      {"message-in-mixed-in-message.eml", kFileTypeRule},
      {"no-mime-version.eml", kFileTypeRule},
      {"mime-version-unspaced.eml", kFileTypeRule},
      {"subject-folded.eml", kKeywordRule},
      {"subject-rfc2047-b.eml", kKeywordRule},
      {"body-base64-no-content-type.eml", kKeywordRule},
      {"body-base64-html.eml", kKeywordRule},
      {"body-base64-html-only-part.eml", kKeywordRule},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Walked walked = Walk(c.file);
    EXPECT_EQ(walked.stopping_rule, c.want);
    if (c.want == kFileTypeRule) {
      EXPECT_NE(
          std::find(walked.lines.begin(), walked.lines.end(), "rule 0 - triggered on file types"),
          walked.lines.end());
    }
  }
}

// The program found inside other parts is saved whole (the scanners read it), and a rebuild
// would leave it in its part: the outer attachments are the parts of the message itself.
TEST(Evasion, NestedPartsAreSavedForTheScannersOnly) {
  const struct {
    const char* file;
    std::size_t outer;  // attachments of the message itself
  } cases[] = {
      {"nested-multipart.eml", 1},
      {"attached-message.eml", 1},
      {"message-in-mixed-in-message.eml", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Walked walked = Walk(c.file);
    const auto& inner = walked.facts.inner_parts;
    auto program = std::find_if(inner.begin(), inner.end(),
                                [](const fs::path& p) { return p.filename() == "evil.exe"; });
    ASSERT_NE(program, inner.end());
    EXPECT_EQ(OuterAttachments(walked.facts).size(), c.outer);
  }
}

}  // namespace
}  // namespace tarnhold
