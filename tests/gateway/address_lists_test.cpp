#include "gateway/address_lists.h"

#include <gtest/gtest.h>

#include "tests/support/temp_root.h"

namespace tarnhold::lists {
namespace {

using test::TempRoot;

TEST(MatchWildcard, PlainAndStarredEntries) {
  struct Case {
    const char* address;
    const char* entry;
    bool want;
  } cases[] = {
      {"Bob@Example.COM", "bob@example.com", true},
      {"bob@example.com", "BOB@EXAMPLE.COM", true},
      {"bob@example.com", "bob@example.co", false},
      {"bob@example.com", "ob@example.com", false},
      {"", "", true},
      {"", "bob@example.com", false},
      {"bob@example.com", "*@example.com", true},
      {"bob@example.com.evil.test", "*@example.com", true},  // unanchored at the end
      {"bob@other.test", "*@example.com", false},
      {"192.168.0.7", "192.168.*", true},
      {"10.192.168.1", "192.168.*", true},  // unanchored at the start
      {"192.169.0.1", "192.168.*", false},
      {"anything", "*", true},
      {"", "*", true},
      {"alice@a.test", "a*@*.test", true},
      {"a.test@alice", "a*@*.test", false},  // segments must come in order
      {"aXb", "a**b", true},
      {"ab", "a*b", true},
      {"ba", "a*b", false},
      {"abab", "ab*ab", true},
      {"ab", "ab*ab", false},  // the second segment is looked for behind the first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " ~ " + c.entry);
    EXPECT_EQ(MatchWildcard(c.address, c.entry), c.want);
  }
}

TEST(RuleList, LineRules) {
  struct Case {
    const char* text;
    std::vector<std::string> want;
  } cases[] = {
      {"", {}},
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nlast", {"a"}},  // a last line without a line feed does not count
      {";comment\n a \n\n", {" a ", ""}},
      {"x;y\n;\n", {"x;y"}},
      {"a\r\r\n", {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseRuleList(c.text), c.want);
  }
}

TEST(RuleList, ReadFromFile) {
  TempRoot root;
  auto path = root.Write("lists/senders", "; senders\r\n*@spam.test\r\nbob@ok.test\r\nnoeol@x.test");
  std::vector<std::string> entries{"stale"};
  EXPECT_EQ(ReadListFile(path, entries), 1);
  EXPECT_EQ(entries, (std::vector<std::string>{"*@spam.test", "bob@ok.test"}));
  EXPECT_EQ(ReadListFile(root / "lists/missing", entries), 0);
  EXPECT_TRUE(entries.empty());
}

TEST(MatchListFile, FirstFittingEntry) {
  TempRoot root;
  auto path = root.Write("lists/l", ";*\n*@spam.test\nBob@OK.test\nlast@x.test");
  struct Case {
    const char* address;
    int want;
  } cases[] = {{"x@spam.test", 1},      {"x@spam.test.other", 1}, {"bob@ok.test", 1},
               {"BOB@ok.TEST", 1},      {"bob2@ok.test", 0},      {"last@x.test", 0},
               {"nobody@nowhere.test", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(MatchListFile(c.address, path), c.want);
  }
  EXPECT_EQ(MatchListFile("x@spam.test", root / "lists/missing"), 0);
  EXPECT_EQ(MatchListFile("x@spam.test", root.Path()), 0);  // a folder is no list
}

TEST(MatchListFile, EmptyLineMatchesOnlyEmptyAddress) {
  TempRoot root;
  auto with_empty = root.Write("ips1", "10.0.0.1\n\n");
  auto without = root.Write("ips2", "10.0.0.1\n");
  EXPECT_EQ(MatchListFile("", with_empty), 1);
  EXPECT_EQ(MatchListFile("", without), 0);
}

TEST(IsLocalDomain, IgnoresCase) {
  std::vector<std::string> domains{"example.com", "corp.test"};
  EXPECT_EQ(IsLocalDomain(domains, "EXAMPLE.com"), 1);
  EXPECT_EQ(IsLocalDomain(domains, "corp.test"), 1);
  EXPECT_EQ(IsLocalDomain(domains, "mail.example.com"), 0);
  EXPECT_EQ(IsLocalDomain(domains, ""), 0);
  EXPECT_EQ(IsLocalDomain({}, "example.com"), 0);
}

}  // namespace
}  // namespace tarnhold::lists
