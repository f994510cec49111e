#include "gateway/rule_record.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "platform/profile_file.h"

namespace tarnhold {
namespace {

ProfileFile Parsed(const std::string& text) {
  ProfileFile p;
  p.Parse(text);
  return p;
}

TEST(RuleRecord, OnlyEnabledGivesTheDefaults) {
  CRuleRecord rule;
  rule.Comment = "left over";
  ASSERT_TRUE(rule.Load(Parsed("[Rule0]\nEnabled=0\n"), 0));
  EXPECT_EQ(rule, CRuleRecord{});
  EXPECT_EQ(rule.MaxAnyFileNameLength, 100);
  for (const RuleKey& k : RuleKeys()) {
    SCOPED_TRACE(k.key);
    if (k.number && k.number != &CRuleRecord::MaxAnyFileNameLength) {
      EXPECT_EQ(rule.*k.number, 0);
    }
    if (k.text) {
      EXPECT_EQ(rule.*k.text, "");
    }
  }
}

TEST(RuleRecord, EnabledDecidesWhetherTheListGoesOn) {
  struct Case {
    const char* section;
    bool loads;
    int enabled;
  } cases[] = {
      {"[Rule0]\nComment=no enabled key\n", false, 0},
      {"[Rule0]\nEnabled=-1\nComment=x\n", false, 0},
      {"[Rule0]\nEnabled=0\n", true, 0},
      {"[rule0]\n  enabled = 1\n", true, 1},
      {"[Rule0]\r\nEnabled=1\r\n", true, 1},
      {"[Rule0]\nEnabled=yes\n", true, 0},  // not a number: reads 0
      {"[Rule1]\nEnabled=1\n", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.section);
    CRuleRecord rule;
    rule.Comment = "untouched";
    EXPECT_EQ(rule.Load(Parsed(c.section), 0), c.loads);
    if (c.loads) {
      EXPECT_EQ(rule.Enabled, c.enabled);
    } else {
      EXPECT_EQ(rule.Comment, "untouched");
    }
  }
}

TEST(RuleRecord, ContentTypeKeywordReadsUnderEitherSpelling) {
  for (const char* key :
       {"MimeContentTypeKeyword", "MIMEContentTypeKeyword", "mimecontenttypekeyword"}) {
    SCOPED_TRACE(key);
    CRuleRecord rule;
    ASSERT_TRUE(rule.Load(Parsed(std::string("[Rule0]\nEnabled=1\n") + key + "=audio/\n"), 0));
    EXPECT_EQ(rule.MIMEContentTypeKeyword, "audio/");
  }
  ProfileFile out;
  CRuleRecord rule;
  rule.MIMEContentTypeKeyword = "video/";
  rule.Write(out, 0);
  EXPECT_NE(out.Text().find("\nMimeContentTypeKeyword=video/\n"), std::string::npos);
}

TEST(RuleRecord, KeyTableCoversEveryFieldOnce) {
  std::set<std::string> keys;
  auto all = RuleKeys();
  for (std::size_t i = 0; i < all.size(); ++i) {
    const RuleKey& k = all[i];
    EXPECT_TRUE((k.number == nullptr) != (k.text == nullptr)) << k.key;
    std::string folded(k.key);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    keys.insert(folded);
    for (std::size_t j = 0; j < i; ++j) {
      // Member pointers have no order; each field must appear once.
      EXPECT_FALSE(k.number && k.number == all[j].number) << k.key;
      EXPECT_FALSE(k.text && k.text == all[j].text) << k.key;
    }
  }
  EXPECT_EQ(all.size(), 56u);
  EXPECT_EQ(keys.size(), 56u);
  EXPECT_EQ(RuleKeys().front().key, "AllIncoming");
  EXPECT_EQ(RuleKeys().back().key, "MaxAnyFileNameLength");
}

TEST(RuleRecord, WriteThenLoadGivesBackEveryField) {
  CRuleRecord rule;
  int i = 0;
  for (const RuleKey& k : RuleKeys()) {
    ++i;
    if (k.number) rule.*k.number = 1000 + i;
    if (k.text) rule.*k.text = "value " + std::to_string(i);
  }
  rule.Enabled = 1;
  rule.Comment = " blanks at both ends ";
  rule.BlockKeywords = "\"quoted\"";
  rule.MaxSizeAnyTotal = -7;
  ProfileFile out;
  rule.Write(out, 3);
  CRuleRecord back;
  ASSERT_TRUE(back.Load(Parsed(out.Text()), 3));
  EXPECT_EQ(back, rule);
}

TEST(RuleRecord, WrittenValuesStayWithinTheirBounds) {
  CRuleRecord rule;
  rule.Enabled = -1;  // would end the list on the next load
  rule.Comment = std::string(400, 'c');
  rule.ReplyFile = "two\nlines";
  ProfileFile out;
  rule.Write(out, 0);
  CRuleRecord back;
  ASSERT_TRUE(back.Load(Parsed(out.Text()), 0));
  EXPECT_EQ(back.Enabled, 0);
  EXPECT_EQ(back.Comment, std::string(kMaxConfigValueLength, 'c'));
  EXPECT_EQ(back.ReplyFile, "two lines");

  CRuleRecord long_read;
  ASSERT_TRUE(long_read.Load(Parsed("[Rule0]\nEnabled=1\nTo=" + std::string(1000, 't') + "\n"), 0));
  EXPECT_EQ(long_read.To.size(), kMaxConfigValueLength);
}

}  // namespace
}  // namespace tarnhold
